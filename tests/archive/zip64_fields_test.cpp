// zip64_fields_test.cpp - decoding the Zip64 locator, end record and extra field.
#include "archive/zip64_fields.h"

#include <gtest/gtest.h>

#include <string>

#include "archive/zip_format.h"
#include "test_zip_builder.h"

namespace {

const unsigned char* bytes_of(const std::string& text) { return reinterpret_cast<const unsigned char*>(text.data()); }

std::string block(std::uint16_t id, const std::string& data) {
  std::string out;
  put_le16(out, id);
  put_le16(out, static_cast<std::uint32_t>(data.size()));
  return out + data;
}

std::string values64(std::initializer_list<std::uint64_t> values) {
  std::string out;
  for (std::uint64_t value : values) put_le64(out, value);
  return out;
}

constexpr std::uint32_t k_ones = 0xFFFFFFFF;
constexpr std::uint64_t k_five_gib = 5ull << 30;

TEST(Zip64FieldsTest, ExtraFieldReplacesAllOnesInOrder) {
  struct Case {
    const char* label;
    Zip64Values given;
    std::string extra;
    Zip64Result result;
    Zip64Values expected;
  };
  std::string time_block = block(0x5455, std::string(5, 't'));
  std::string disk(4, '\0');
  disk[0] = 3;
  const Case cases[] = {
      {"nothing all ones, no block", {1, 2, 3, 0}, "", Zip64Result::ok, {1, 2, 3, 0}},
      {"nothing all ones, block ignored", {1, 2, 3, 0}, block(1, values64({9, 9})), Zip64Result::ok, {1, 2, 3, 0}},
      {"all ones without a block", {k_ones, 2, 3, 0}, time_block, Zip64Result::absent, {k_ones, 2, 3, 0}},
      {"uncompressed only", {k_ones, 2, 3, 0}, block(1, values64({k_five_gib})), Zip64Result::ok,
       {k_five_gib, 2, 3, 0}},
      {"compressed only takes the first value", {1, k_ones, 3, 0}, block(1, values64({7})), Zip64Result::ok,
       {1, 7, 3, 0}},
      {"offset only", {1, 2, k_ones, 0}, block(1, values64({k_five_gib})), Zip64Result::ok, {1, 2, k_five_gib, 0}},
      {"all four, after another block", {k_ones, k_ones, k_ones, 0xFFFF},
       time_block + block(1, values64({10, 11, 12}) + disk), Zip64Result::ok, {10, 11, 12, 3}},
      {"sizes, block longer than needed", {k_ones, k_ones, 3, 0}, block(1, values64({4, 5, 6})), Zip64Result::ok,
       {4, 5, 3, 0}},
      {"block shorter than its two values", {k_ones, k_ones, 3, 0}, block(1, values64({4})),
       Zip64Result::too_short, {}},
      {"disk missing", {1, 2, k_ones, 0xFFFF}, block(1, values64({4})), Zip64Result::too_short, {}},
      {"block cut by the field's end", {k_ones, 2, 3, 0}, block(1, values64({4})).substr(0, 9),
       Zip64Result::too_short, {}},
      {"size past 2^63", {k_ones, 2, 3, 0}, block(1, values64({1ull << 63})), Zip64Result::too_large, {}},
      {"offset and size wrap", {1, k_ones, k_ones, 0},
       block(1, values64({k_largest_zip64_value, k_largest_zip64_value})), Zip64Result::too_large, {}},
      {"disk past 65535", {1, 2, 3, 0xFFFF}, block(1, std::string("\0\0\1\0", 4)), Zip64Result::too_large, {}},
  };
  for (const Case& c : cases) {
    Zip64Values values = c.given;
    EXPECT_EQ(apply_zip64_extra(bytes_of(c.extra), c.extra.size(), &values), c.result) << c.label;
    if (c.result != Zip64Result::ok && c.result != Zip64Result::absent) continue;
    EXPECT_EQ(values.uncompressed_size, c.expected.uncompressed_size) << c.label;
    EXPECT_EQ(values.compressed_size, c.expected.compressed_size) << c.label;
    EXPECT_EQ(values.local_header_offset, c.expected.local_header_offset) << c.label;
    EXPECT_EQ(values.starting_disk, c.expected.starting_disk) << c.label;
  }
}

std::string zip64_end(std::uint32_t this_disk, std::uint32_t directory_disk, std::uint64_t entries,
                      std::uint64_t size, std::uint64_t offset) {
  std::string out;
  put_le32(out, k_zip64_end_signature);
  put_le64(out, k_zip64_end_size - 12);
  put_le16(out, 45);
  put_le16(out, 45);
  put_le32(out, this_disk);
  put_le32(out, directory_disk);
  put_le64(out, entries);
  put_le64(out, entries);
  put_le64(out, size);
  put_le64(out, offset);
  return out;
}

TEST(Zip64FieldsTest, EndRecord) {
  struct Case {
    const char* label;
    std::string bytes;
    Zip64Result result;
  };
  std::string wrong_signature = zip64_end(0, 0, 1, 46, 0);
  wrong_signature[3] = 7;
  const Case cases[] = {
      {"plain", zip64_end(0, 0, 70000, 4000000, k_five_gib), Zip64Result::ok},
      {"no signature", wrong_signature, Zip64Result::absent},
      {"2^31 entries", zip64_end(0, 0, 1ull << 31, 46, 0), Zip64Result::too_large},
      {"disk past 65535", zip64_end(0x10000, 0, 1, 46, 0), Zip64Result::too_large},
      {"directory disk past 65535", zip64_end(0, 0x10000, 1, 46, 0), Zip64Result::too_large},
      {"offset and size wrap", zip64_end(0, 0, 1, k_largest_zip64_value, 2), Zip64Result::too_large},
  };
  for (const Case& c : cases) {
    Zip64End end{};
    EXPECT_EQ(decode_zip64_end(bytes_of(c.bytes), &end), c.result) << c.label;
  }
  Zip64End end{};
  std::string good = zip64_end(2, 1, 70000, 4000000, k_five_gib);
  ASSERT_EQ(decode_zip64_end(bytes_of(good), &end), Zip64Result::ok);
  EXPECT_EQ(end.this_disk, 2u);
  EXPECT_EQ(end.directory_disk, 1u);
  EXPECT_EQ(end.total_entries, 70000u);
  EXPECT_EQ(end.directory_size, 4000000u);
  EXPECT_EQ(end.directory_offset, k_five_gib);
}

TEST(Zip64FieldsTest, Locator) {
  std::string bytes;
  put_le32(bytes, k_zip64_locator_signature);
  put_le32(bytes, 1);
  put_le64(bytes, k_five_gib);
  put_le32(bytes, 2);
  Zip64Locator locator{};
  ASSERT_EQ(decode_zip64_locator(bytes_of(bytes), &locator), Zip64Result::ok);
  EXPECT_EQ(locator.end_disk, 1u);
  EXPECT_EQ(locator.end_offset, k_five_gib);
  EXPECT_EQ(locator.total_disks, 2u);
  bytes[0] = 'Q';
  EXPECT_EQ(decode_zip64_locator(bytes_of(bytes), &locator), Zip64Result::absent);
}

TEST(Zip64FieldsTest, BlocksKeptAndDropped) {
  struct Case {
    const char* label;
    std::string extra;
    bool unused;
  };
  std::string zip_r = block(0x5455, std::string(5, 't')) + block(0x7875, std::string(11, 'u'));
  const Case cases[] = {
      {"what zip -r writes", zip_r, true},
      {"with Zip64 and NTFS times", zip_r + block(1, values64({1})) + block(0x000A, std::string(32, 'n')), true},
      {"an AES block is kept", zip_r + block(0x9901, std::string(7, 'a')), false},
      {"a block cut short is kept", zip_r.substr(0, zip_r.size() - 1), false},
      {"stray bytes after the blocks are kept", zip_r + "xy", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(holds_only_unused_blocks(bytes_of(c.extra), c.extra.size()), c.unused) << c.label;
  }
}

}  // namespace
