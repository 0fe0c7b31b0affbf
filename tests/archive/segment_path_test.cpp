// segment_path_test.cpp - archive paths as names below drive A's folder.
#include "archive/segment_switch.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

struct NormaliseCase {
  const char* name;
  const char* normalised;
};

const NormaliseCase k_normalise_cases[] = {
    {"setup", "setup"},
    {"../set/disk1/setup", "set/disk1/setup"},
    {"../../setup", "setup"},
    {"./setup", "setup"},
    {"a/./b//c/", "a/b/c"},
    {"/media/floppy/setup", "media/floppy/setup"},
    {"a/b/../c", "a/c"},
    {"a/b/../../../c", "c"},
    {"a/..", ""},
    {"..", ""},
    {"", ""},
    {"...", "..."},          // a plain name on POSIX
    {".hidden/..x/x..", ".hidden/..x/x.."},
    {"ab/../cd/ef/..", "cd"},
    {"a\\..\\b", "a\\..\\b"},  // a backslash is part of a POSIX name
};

TEST(SegmentPathTest, NeverClimbsAboveTheDrive) {
  for (const NormaliseCase& c : k_normalise_cases) {
    std::string out(strlen(c.name) + 1, 'X');
    normalise_segment_name(c.name, out.data());
    EXPECT_STREQ(out.c_str(), c.normalised) << c.name;
  }
}

TEST(SegmentPathTest, TellsBareNamesFromPaths) {
  EXPECT_FALSE(has_folder_part("setup"));
  EXPECT_FALSE(has_folder_part(""));
  EXPECT_FALSE(has_folder_part("C:setup"));  // a drive only on Windows
  EXPECT_TRUE(has_folder_part("./setup"));
  EXPECT_TRUE(has_folder_part("/usr/bin/setup"));
  EXPECT_TRUE(has_folder_part("bin/"));
}

}  // namespace
