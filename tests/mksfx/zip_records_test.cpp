// zip_records_test.cpp - Zip64 fields in the headers and end records mksfx writes.
#include "zip_records.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "archive/zip64_fields.h"
#include "disk_writer.h"

namespace {

const unsigned char* bytes_of(const std::string& text) { return reinterpret_cast<const unsigned char*>(text.data()); }

constexpr std::uint64_t k_four_gib = 1ull << 32;

// What the stub reads back from a central header: its 32-bit fields with the
// Zip64 block applied.
Zip64Values read_back(const std::string& header, Zip64Result* result) {
  Zip64Values values{get_le32(header, 24), get_le32(header, 20), get_le32(header, 42), get_le16(header, 34)};
  std::size_t name_length = get_le16(header, 28);
  std::string extra = header.substr(k_central_header_size + name_length, get_le16(header, 30));
  *result = apply_zip64_extra(bytes_of(extra), extra.size(), &values);
  return values;
}

TEST(ZipRecordsTest, CentralHeaderTakesZip64OnlyWhereNeeded) {
  struct Case {
    const char* label;
    std::uint64_t compressed, uncompressed, offset;
    std::size_t block_values;  // 8-byte values in the Zip64 block
  };
  const Case cases[] = {
      {"small", 10, 20, 30, 0},
      {"just below the marker", 0xFFFFFFFE, 0xFFFFFFFE, 0xFFFFFFFE, 0},
      {"the marker itself", 0xFFFFFFFF, 5, 6, 1},
      {"5 GiB stored", 5 * (k_four_gib / 4), 5 * (k_four_gib / 4), 7, 2},
      {"offset past 4 GiB", 10, 20, k_four_gib + 3, 1},
      {"all three", k_four_gib, k_four_gib + 1, k_four_gib + 2, 3},
  };
  for (const Case& c : cases) {
    CentralRecord record;
    record.name = "m.bin";
    record.version_needed = 20;
    record.extra = std::string("\x55\x54\x01\x00\x03", 5);
    record.compressed_size = c.compressed;
    record.uncompressed_size = c.uncompressed;
    record.local_header_offset = c.offset;
    std::string header = encode_central_header(record);
    std::size_t expected_extra = record.extra.size() + (c.block_values == 0 ? 0 : 4 + 8 * c.block_values);
    EXPECT_EQ(get_le16(header, 30), expected_extra) << c.label;
    EXPECT_EQ(get_le16(header, 6), c.block_values == 0 ? 20 : 45) << c.label;
    Zip64Result result = Zip64Result::ok;
    Zip64Values values = read_back(header, &result);
    EXPECT_EQ(result, Zip64Result::ok) << c.label;
    EXPECT_EQ(values.compressed_size, c.compressed) << c.label;
    EXPECT_EQ(values.uncompressed_size, c.uncompressed) << c.label;
    EXPECT_EQ(values.local_header_offset, c.offset) << c.label;
  }
}

TEST(ZipRecordsTest, LocalHeaderHoldsBothSizesOrNone) {
  CentralRecord record;
  record.name = "big";
  record.version_needed = 10;
  record.compressed_size = 12;
  record.uncompressed_size = 5 * k_four_gib;
  std::string header = encode_local_header(record);
  EXPECT_EQ(get_le16(header, 4), 45);
  EXPECT_EQ(get_le32(header, 18), 0xFFFFFFFFu);
  EXPECT_EQ(get_le32(header, 22), 0xFFFFFFFFu);
  ASSERT_EQ(get_le16(header, 28), 20);
  EXPECT_EQ(get_le16(header, 33), 1);  // the block's id, after the 3-byte name
  EXPECT_EQ(get_le64(header, 37), 5 * k_four_gib);
  EXPECT_EQ(get_le64(header, 45), 12u);
  record.uncompressed_size = 99;
  header = encode_local_header(record);
  EXPECT_EQ(get_le16(header, 4), 10);
  EXPECT_EQ(get_le16(header, 28), 0);
}

TEST(ZipRecordsTest, ZipBlockRemovedOthersKept) {
  std::string time_block("\x55\x54\x01\x00\x03", 5);
  std::string zip64("\x01\x00\x08\x00\x01\x02\x03\x04\x05\x06\x07\x08", 12);
  EXPECT_EQ(without_zip64_block(zip64 + time_block), time_block);
  EXPECT_EQ(without_zip64_block(time_block + zip64), time_block);
  EXPECT_EQ(without_zip64_block(time_block + "xy"), time_block + "xy");
}

// Past 65535 entries the end record counts all ones and the Zip64 end
// record, right before its locator, holds the real numbers.
TEST(ZipRecordsTest, DirectoryOfManyEntriesEndsInZip64Records) {
  std::string path = (std::filesystem::temp_directory_path() / "zip-records-test.run").string();
  for (std::size_t count : {65535u, 65536u}) {
    DiskWriter writer;
    open_single_output(writer, path);
    CentralRecord one;
    one.name.assign(1, 'e');
    std::vector<CentralRecord> records(count, one);
    write_directory(writer, records, "");
    close_output(writer);
    std::ifstream in(path, std::ios::binary);
    std::string written((std::istreambuf_iterator<char>(in)), {});
    ASSERT_GE(written.size(), k_end_record_size + k_zip64_locator_size + k_zip64_end_size);
    const unsigned char* tail = bytes_of(written) + written.size();
    std::string end(reinterpret_cast<const char*>(tail) - k_end_record_size, k_end_record_size);
    bool zip64 = count > 65535;
    EXPECT_EQ(get_le16(end, 10), zip64 ? 0xFFFF : count) << count;
    EXPECT_EQ(get_le32(end, 12), count * 47) << count;
    if (!zip64) {
      EXPECT_EQ(written.size(), count * 47 + k_end_record_size);
      continue;
    }
    Zip64Locator found{};
    ASSERT_EQ(decode_zip64_locator(tail - k_end_record_size - k_zip64_locator_size, &found), Zip64Result::ok);
    EXPECT_EQ(found.end_offset, count * 47);
    EXPECT_EQ(found.total_disks, 1u);
    Zip64End zip64_end{};
    ASSERT_EQ(found.end_offset + k_zip64_end_size + k_zip64_locator_size + k_end_record_size, written.size());
    ASSERT_EQ(decode_zip64_end(bytes_of(written) + found.end_offset, &zip64_end), Zip64Result::ok);
    EXPECT_EQ(zip64_end.total_entries, count);
    EXPECT_EQ(zip64_end.directory_size, count * 47);
    EXPECT_EQ(zip64_end.directory_offset, 0u);
  }
  std::filesystem::remove(path);
}

}  // namespace
