// eocd_search_test.cpp - the backward search for the end record's signature.
#include "archive/eocd_search.h"

#include <gtest/gtest.h>

#include <string>

#include "test_zip_builder.h"

namespace {

const std::string k_signature = "PK\x05\x06";

// A file of length bytes of filler with signatures placed at the offsets given.
std::string file_with_signatures(std::size_t length, std::initializer_list<std::size_t> offsets) {
  std::string bytes(length, 'x');
  for (std::size_t offset : offsets) bytes.replace(offset, 4, k_signature);
  return bytes;
}

struct Found {
  ArchiveError code;
  std::uint32_t offset;
  std::string output;
};

Found search(const std::string& bytes, std::uint32_t lower_bound) {
  TempArchive archive(bytes);
  Found found{ArchiveError::none, 0xFFFFFFFF, ""};
  testing::internal::CaptureStdout();
  found.code = find_end_of_central(archive.stream(), &found.offset, lower_bound);
  fflush(stdout);
  found.output = testing::internal::GetCapturedStdout();
  return found;
}

std::uint32_t window_bound(std::size_t length) {
  return length > k_end_record_window ? static_cast<std::uint32_t>(length - k_end_record_window) : 0;
}

TEST(EocdSearchTest, ShortFilesHoldNoRecord) {
  for (std::size_t length : {0, 1, 2, 3}) {
    Found found = search(std::string(length, 'P'), 0);
    EXPECT_EQ(found.code, ArchiveError::invalid_archive) << length;
    EXPECT_EQ(found.output, "Did not find end-of-central\n");
    EXPECT_EQ(found.offset, 0xFFFFFFFF) << "untouched on failure";
  }
}

TEST(EocdSearchTest, FindsSignatureAtItsTrueOffset) {
  struct Case {
    std::size_t length;
    std::size_t offset;
  };
  const Case cases[] = {
      {100, 78},           // a record without comment at L - 22
      {100, 96},           // the signature in the last 4 bytes
      {4, 0},              // the whole file is the signature
      {4096, 0},           // one block covers the whole file
      {10000, 10000 - 4097},  // across the first block boundary
      {10000, 10000 - 4098},
      {10000, 10000 - 4099},
      {10000, 10000 - 4096},
      {60000, 3},          // a long comment: searched down to the start
      {70000, 70000 - 66000},  // exactly at the window's lower bound
  };
  for (const Case& c : cases) {
    Found found = search(file_with_signatures(c.length, {c.offset}), window_bound(c.length));
    EXPECT_EQ(found.code, ArchiveError::none) << c.length << " " << c.offset;
    EXPECT_EQ(found.offset, c.offset) << c.length;
    EXPECT_EQ(found.output, "");
  }
}

TEST(EocdSearchTest, SignatureBelowTheWindowIsNotFound) {
  std::size_t length = 70000;
  Found found = search(file_with_signatures(length, {length - 66001}), window_bound(length));
  EXPECT_EQ(found.code, ArchiveError::invalid_archive);
  EXPECT_EQ(found.output, "Did not find end-of-central\n");
}

TEST(EocdSearchTest, HighestOfSeveralSignaturesWins) {
  Found same_block = search(file_with_signatures(5000, {4900, 4950}), 0);
  EXPECT_EQ(same_block.offset, 4950u);
  Found other_blocks = search(file_with_signatures(20000, {100, 9000}), 0);
  EXPECT_EQ(other_blocks.offset, 9000u);
}

TEST(EocdSearchTest, FileWithoutSignatureReportsOnce) {
  Found found = search(std::string(200000, 'P'), window_bound(200000));
  EXPECT_EQ(found.code, ArchiveError::invalid_archive);
  EXPECT_EQ(found.output, "Did not find end-of-central\n");
}

}  // namespace
