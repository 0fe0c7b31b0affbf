// disk_writer_test.cpp - the output limits and the layout of a spanned set.
#include "disk_writer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "mksfx_platform.h"

namespace {

class DiskWriterTest : public testing::Test {
 protected:
  void SetUp() override {
    std::uint64_t random = 0;
    ASSERT_TRUE(read_random_bytes(&random, sizeof random));
    folder_ = (std::filesystem::temp_directory_path() / ("disk-writer-" + std::to_string(random))).string();
    ASSERT_TRUE(std::filesystem::create_directory(folder_));
  }
  void TearDown() override {
    if (writer_.file != nullptr) std::fclose(writer_.file);
    std::filesystem::remove_all(folder_);
  }
  std::string read_disk(std::size_t index) {
    std::ifstream in(writer_.disk_paths.at(index), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::string folder_;
  DiskWriter writer_;
};

TEST_F(DiskWriterTest, AnOutputPassesFourGiB) {
  open_single_output(writer_, folder_ + "/out");
  // Pretend 4 GiB minus 10 bytes are written; nothing needs to be.
  writer_.used = 0xFFFFFFFFull - 10;
  EXPECT_NO_THROW(write_whole(writer_, std::string(10, 'x')));
  EXPECT_NO_THROW(write_spanning(writer_, "y", 1));
  EXPECT_EQ(current_position(writer_).offset, 0x100000000ull);
}

TEST_F(DiskWriterTest, HeadersStayOnOneDiskAndDataRunsOn) {
  open_split_output(writer_, folder_, "setup", 100);
  EXPECT_EQ(write_whole(writer_, std::string(60, 'a')).disk, 0);
  DiskPosition moved = write_whole(writer_, std::string(60, 'b'));
  EXPECT_EQ(moved.disk, 1);
  EXPECT_EQ(moved.offset, 0u);
  write_spanning(writer_, std::string(150, 'c').data(), 150);
  close_output(writer_);
  ASSERT_EQ(writer_.disk_paths.size(), 4u);
  EXPECT_EQ(writer_.disk_paths[1], folder_ + "/disk2/setup");
  EXPECT_EQ(read_disk(0), std::string(60, 'a'));
  EXPECT_EQ(read_disk(1), std::string(60, 'b') + std::string(40, 'c'));
  EXPECT_EQ(read_disk(2), std::string(100, 'c'));
  EXPECT_EQ(read_disk(3), std::string(10, 'c'));
}

TEST_F(DiskWriterTest, HeaderLargerThanADiskIsRefused) {
  open_split_output(writer_, folder_, "setup", 100);
  EXPECT_THROW(write_whole(writer_, std::string(101, 'a')), BuildError);
}

// The end record names the disk it lies on, the disk and offset where the
// directory starts and how many headers the last disk holds.
TEST_F(DiskWriterTest, EndRecordDescribesADirectoryOverTwoDisks) {
  open_split_output(writer_, folder_, "setup", 120);
  write_whole(writer_, std::string(50, 'm'));
  std::vector<CentralRecord> records(2);
  records[0].name = "first-entry";  // 57-byte headers: one fits behind the member
  records[1].name = "other-entry";
  write_directory(writer_, records, "");
  close_output(writer_);
  ASSERT_EQ(writer_.disk_paths.size(), 2u);
  std::string last = read_disk(1);
  ASSERT_EQ(last.size(), 57u + k_end_record_size);
  std::string end = last.substr(57);
  EXPECT_EQ(get_le32(end, 0), end_record_signature());
  EXPECT_EQ(get_le16(end, 4), 1);   // this disk
  EXPECT_EQ(get_le16(end, 6), 0);   // directory starts on disk 1
  EXPECT_EQ(get_le16(end, 8), 1);   // entries on this disk
  EXPECT_EQ(get_le16(end, 10), 2);  // entries in all
  EXPECT_EQ(get_le32(end, 12), 114u);
  EXPECT_EQ(get_le32(end, 16), 50u);
}

}  // namespace
