// central_directory_test.cpp - reading the directory into ZipEntry records.
#include "archive/central_directory.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "extract/extract_loop.h"
#include "test_zip_builder.h"

namespace {

struct DirectoryRead {
  ArchiveError code;
  std::string output;
  std::string errors;
  std::vector<std::string> names;
};

DirectoryRead read_directory(const std::string& bytes) {
  end_extraction_run();
  TempArchive archive(bytes);
  DirectoryRead read{};
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  read.code = read_central_directory(archive.stream());
  fflush(stdout);
  read.output = testing::internal::GetCapturedStdout();
  read.errors = testing::internal::GetCapturedStderr();
  for (ZipEntry* entry = archive_state.entries; entry != nullptr; entry = entry->next) {
    if (entry->name != nullptr) read.names.push_back(entry->name);
  }
  return read;
}

const char* const k_newer_version =
    "Warning: Some files were found that require a newer version of Vintra to decompress.\n";
const char* const k_unknown_method =
    "Warning: I can handle the 'deflate' compression type. Some files cannot be decompressed.\n";
const char* const k_too_many = "Warning: Too many files were found in the archive. The archive may be corrupted.\n";
const char* const k_too_few = "Warning: Too few files were found in the archive. The archive may be corrupted.";

TEST(CentralDirectoryTest, WarningsAndCounts) {
  struct Case {
    const char* label;
    std::vector<TestMember> members;
    TestEndRecord end;
    std::string expected_errors;
    std::size_t expected_entries;
  };
  TestMember plain{"a.txt", "hello"};
  TestMember newer{"b.txt", "x", 0, 21};
  TestMember bzip2{"c.bz2", "x", 12};
  const Case cases[] = {
      {"empty archive", {}, {}, "", 0},
      {"two announced, none there", {}, {2, -1, ""}, k_too_few, 0},
      {"three there, two announced", {plain, plain, plain}, {2, -1, ""}, k_too_many, 3},
      {"version 20, methods 0 and 8", {plain, {"d", "x", 8, 20}}, {}, "", 2},
      {"each warning once, in order",
       {bzip2, newer, newer, bzip2},
       {},
       std::string(k_newer_version) + k_unknown_method,
       4},
      {"all of them", {newer, bzip2}, {1, -1, ""}, std::string(k_newer_version) + k_unknown_method + k_too_many, 2},
  };
  for (const Case& c : cases) {
    DirectoryRead read = read_directory(build_zip(c.members, 0, c.end));
    EXPECT_EQ(read.code, ArchiveError::none) << c.label;
    EXPECT_EQ(read.errors, c.expected_errors) << c.label;
    EXPECT_EQ(read.names.size(), c.expected_entries) << c.label;
    EXPECT_EQ(read.output, "") << c.label;
  }
}

// The AES extra field: AE-2, vendor "AE", strength 3, the real method.
std::string aes_extra(std::uint16_t method, const char* vendor = "AE", int strength = 3) {
  std::string extra;
  put_le16(extra, 0x9901);
  put_le16(extra, 7);
  put_le16(extra, 2);
  extra += vendor;
  extra.push_back(static_cast<char>(strength));
  put_le16(extra, method);
  return extra;
}

// An AES member (method 99, version 5.1) whose real method is stored or
// deflate is no unknown method and needs no newer version; any other is.
TEST(CentralDirectoryTest, WarningsForAesMembers) {
  std::string ntfs_block("\x0a\x00\x04\x00" "abcd", 8);
  const struct {
    const char* label;
    TestMember member;
    std::string expected_errors;
  } cases[] = {
      {"AES, deflate", {"a", "x", 99, 51, 1, aes_extra(8)}, ""},
      {"AES, stored, after another block", {"a", "x", 99, 51, 1, ntfs_block + aes_extra(0)}, ""},
      {"AES, version 52", {"a", "x", 99, 52, 1, aes_extra(8)}, k_newer_version},
      {"AES, bzip2 inside", {"a", "x", 99, 51, 1, aes_extra(12)}, std::string(k_newer_version) + k_unknown_method},
      {"method 99, no extra field", {"a", "x", 99, 51, 1}, std::string(k_newer_version) + k_unknown_method},
      {"method 99, not encrypted", {"a", "x", 99, 51, 0, aes_extra(8)}, std::string(k_newer_version) + k_unknown_method},
      {"AES field cut short", {"a", "x", 99, 20, 1, aes_extra(8).substr(0, 9)}, k_unknown_method},
      {"other vendor", {"a", "x", 99, 20, 1, aes_extra(8, "XY")}, k_unknown_method},
      {"strength 4", {"a", "x", 99, 20, 1, aes_extra(8, "AE", 4)}, k_unknown_method},
  };
  for (const auto& c : cases) {
    DirectoryRead read = read_directory(build_zip({c.member}));
    EXPECT_EQ(read.code, ArchiveError::none) << c.label;
    EXPECT_EQ(read.errors, c.expected_errors) << c.label;
  }
}

TEST(CentralDirectoryTest, VersionFourFiveNeedsNoWarning) {
  // A Zip64 block that replaces nothing: the member's sizes fit their fields.
  std::string zip64_block("\x01\x00\x08\x00\x05\x00\x00\x00\x00\x00\x00\x00", 12);
  struct Case {
    const char* label;
    std::uint16_t version_needed;
    std::string extra;
    std::string expected_errors;
  };
  const Case cases[] = {
      {"4.5 with a Zip64 block", 45, zip64_block, ""},
      {"4.5 without one (Zip64 in the local header or data descriptor only)", 45, "", ""},
      {"2.1 (Deflate64)", 21, "", k_newer_version},
      {"4.6 with a Zip64 block", 46, zip64_block, k_newer_version},
      {"2.0", 20, zip64_block, ""},
  };
  for (const Case& c : cases) {
    TestMember member{"z.txt", "hello", 0, c.version_needed, 0, c.extra};
    DirectoryRead read = read_directory(build_zip({member}));
    EXPECT_EQ(read.code, ArchiveError::none) << c.label;
    EXPECT_EQ(read.errors, c.expected_errors) << c.label;
    // A field that holds only blocks nothing reads is not kept.
    ASSERT_NE(archive_state.entries, nullptr) << c.label;
    EXPECT_EQ(archive_state.entries->extra_field, nullptr) << c.label;
    EXPECT_EQ(archive_state.entries->local_extra_length, c.extra.size()) << c.label;
  }
}

// Zip64 end records as Info-ZIP unzip, Python's zipfile and libarchive take
// them: every field of all ones (disk numbers included) from the Zip64 end
// record, and a locator's signature that names no Zip64 end record ignored
// where the end record needs none.
TEST(CentralDirectoryTest, Zip64EndRecordsOtherReadersAccept) {
  // The last 20 bytes before the end record are a member's comment that
  // starts with the locator's signature: the Zip64 end record would be on
  // disk `disk`, at an offset inside the first member's data.
  auto comment_like_a_locator = [](std::uint32_t disk) {
    std::string text = "PK\x06\x07";
    put_le32(text, disk);
    put_le64(text, 40);
    put_le32(text, 1);
    return text;
  };
  TestMember first{"a.txt", std::string(100, 'a')};
  TestMember chance{"b.txt", "b", 0, 20, 0, "", comment_like_a_locator(0)};
  TestMember chance_on_disk_7{"b.txt", "b", 0, 20, 0, "", comment_like_a_locator(7)};
  TestEndRecord all_ones{-1, -1, "", true, true};
  struct Case {
    const char* label;
    std::string bytes;
  };
  const Case cases[] = {
      {"every field all ones, the Zip64 end record on disk 0", build_zip({first, chance}, 0, all_ones)},
      {"a locator's signature by chance", build_zip({first, chance})},
      {"a locator's signature by chance, naming disk 7", build_zip({first, chance_on_disk_7})},
  };
  for (const Case& c : cases) {
    DirectoryRead read = read_directory(c.bytes);
    EXPECT_EQ(read.code, ArchiveError::none) << c.label;
    EXPECT_EQ(read.output + read.errors, "") << c.label;
    EXPECT_EQ(read.names, (std::vector<std::string>{"a.txt", "b.txt"})) << c.label;
    EXPECT_EQ(archive_state.last_segment, 0) << c.label;
    EXPECT_EQ(archive_state.directory_segment, 0) << c.label;
  }
  // Where the end record needs the Zip64 one, a locator that names none
  // still ends the run.
  std::string needed = build_zip({first, chance}, 0, all_ones);
  std::size_t at = needed.size() - 22 - 20 + 8;  // the locator's offset of the Zip64 end record
  needed[at] = 'x';
  DirectoryRead read = read_directory(needed);
  EXPECT_EQ(read.code, ArchiveError::invalid_archive);
  EXPECT_EQ(read.errors, "Error: the Zip64 end locator points to no Zip64 end record.\n");
}

TEST(CentralDirectoryTest, FailureCodes) {
  std::string good = build_zip({{"a.txt", "hello"}});
  std::string truncated_end = good.substr(0, good.size() - 10);
  std::string long_comment = good;
  long_comment[long_comment.size() - 2] = 50;  // comment length 50, no comment bytes
  // Inside the directory: no signature there, and none where a shift would put it.
  std::string garbage_offset = build_zip({{"a.txt", "hello"}}, 0, {-1, 44, ""});
  struct Case {
    const char* label;
    std::string bytes;
    ArchiveError expected;
  };
  const Case cases[] = {
      {"end record cut short", truncated_end, ArchiveError::unexpected_end},
      {"comment longer than the file", long_comment, ArchiveError::unexpected_end},
      {"directory offset at garbage", garbage_offset, ArchiveError::invalid_archive},
      {"empty name", build_zip({{"", "x"}}), ArchiveError::unexpected_end},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(read_directory(c.bytes).code, c.expected) << c.label;
  }
}

TEST(CentralDirectoryTest, FieldsOfAnEntry) {
  TestMember member{"dir/file.txt", "data", 8, 20, 0x0009, std::string(16, 'e'), "a comment"};
  DirectoryRead read = read_directory(build_zip({member, {"plain", "x"}}, 0, {-1, -1, "archive note"}));
  ASSERT_EQ(read.code, ArchiveError::none);
  const ZipEntry* entry = archive_state.entries;
  ASSERT_NE(entry, nullptr);
  EXPECT_STREQ(entry->name, "dir/file.txt");
  EXPECT_EQ(entry->compression_method, 8);
  EXPECT_EQ(entry->flags, 0x0009);
  EXPECT_EQ(entry->modification_time_and_date, 0x5A216000u);
  EXPECT_EQ(entry->crc32, crc32_of("data"));
  EXPECT_EQ(entry->local_extra_length, 16);
  EXPECT_STREQ(entry->comment, "a comment");
  EXPECT_EQ(entry->version_made_by >> 8, 3);
  const ZipEntry* second = entry->next;
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->local_extra_length, 0);
  EXPECT_EQ(second->extra_field, nullptr);
  EXPECT_EQ(second->comment, nullptr);
  EXPECT_EQ(archive_state.archive_comment_length, 12);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(archive_state.archive_comment), 12), "archive note");
}

TEST(CentralDirectoryTest, ArchiveAppendedWithoutAbsoluteOffsets) {
  std::string stub(5000, 's');
  std::string zip = build_zip({{"a.txt", "hello"}, {"b.txt", "world"}});
  // Offsets counted from the archive's own start, as plain concatenation leaves them.
  DirectoryRead shifted = read_directory(stub + zip);
  ASSERT_EQ(shifted.code, ArchiveError::none);
  ASSERT_EQ(shifted.names.size(), 2u);
  EXPECT_EQ(archive_state.entries->local_header_offset, 5000u);
  // Offsets made absolute are used as they stand.
  DirectoryRead absolute = read_directory(stub + build_zip({{"a.txt", "hello"}}, 5000));
  ASSERT_EQ(absolute.code, ArchiveError::none);
  EXPECT_EQ(archive_state.entries->local_header_offset, 5000u);
}

TEST(CentralDirectoryTest, ShiftIsNotGuessedAcrossDisks) {
  std::string stub(5000, 's');
  std::string zip = build_zip({{"a.txt", "hello"}});
  zip[zip.size() - 22 + 6] = 1;  // directory on disk 2 of 2: never shifted
  zip[zip.size() - 22 + 4] = 1;
  DirectoryRead read = read_directory(stub + zip);
  EXPECT_EQ(read.code, ArchiveError::invalid_archive);
}

}  // namespace
