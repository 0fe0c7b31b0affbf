// mksfx_platform_test.cpp - the system services behind mksfx's temporary output and its earlier-output check.
#include "mksfx_platform.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

namespace {

class MksfxPlatformTest : public testing::Test {
 protected:
  void SetUp() override {
    std::uint64_t random = 0;
    ASSERT_TRUE(read_random_bytes(&random, sizeof random));
    folder_ = std::filesystem::temp_directory_path() / ("mksfx-platform-" + std::to_string(random));
    ASSERT_TRUE(std::filesystem::create_directory(folder_));
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }
  std::string path(const char* name) const { return (folder_ / name).string(); }

  std::filesystem::path folder_;
};

TEST_F(MksfxPlatformTest, CreatesOnlyNewFiles) {
  FILE* created = create_new_file(path("partial"));
  ASSERT_NE(created, nullptr);
  std::fclose(created);
  errno = 0;
  EXPECT_EQ(create_new_file(path("partial")), nullptr);
  EXPECT_EQ(errno, EEXIST);  // the name is taken: open_output tries another
  std::filesystem::create_directory(path("folder"));
  EXPECT_EQ(create_new_file(path("folder")), nullptr);
}

TEST_F(MksfxPlatformTest, KnowsOneFileByItsNamesAndLinks) {
  std::fclose(create_new_file(path("output")));
  std::fclose(create_new_file(path("other")));
  std::filesystem::create_symlink(path("output"), path("link"));
  std::filesystem::create_directory(path("set"));
  FileIdentity output, link, other, set, set_again;
  ASSERT_TRUE(identify_file(path("output"), &output));
  ASSERT_TRUE(identify_file(path("link"), &link));
  ASSERT_TRUE(identify_file(path("other"), &other));
  ASSERT_TRUE(identify_file(path("set"), &set));
  ASSERT_TRUE(identify_file(path("set") + "/.", &set_again));
  EXPECT_EQ(output, link);
  EXPECT_FALSE(output == other);
  EXPECT_EQ(set, set_again);
  EXPECT_FALSE(identify_file(path("missing"), &other));
}

TEST_F(MksfxPlatformTest, RandomBytesDiffer) {
  unsigned char first[16] = {}, second[16] = {};
  ASSERT_TRUE(read_random_bytes(first, sizeof first));
  ASSERT_TRUE(read_random_bytes(second, sizeof second));
  EXPECT_NE(std::memcmp(first, second, sizeof first), 0);
}

}  // namespace
