// output_path_test.cpp - member names into local paths, and names kept inside the folder.
#include "extract/output_path.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#include <string>
#include <vector>

#include "extract/extract_loop.h"
#include "test_zip_builder.h"

namespace {

struct PathCase {
  const char* name;
  const char* local_path;
  std::vector<std::string> directories;  // created below the current folder
};

const PathCase k_path_cases[] = {
    {"readme.txt", "readme.txt", {}},
    {"docs/readme.txt", "docs/readme.txt", {"docs"}},
    {"a/b/c.txt", "a/b/c.txt", {"a", "a/b"}},
    {"/etc/x", "etc/x", {"etc"}},
    {"a//b///c", "a/b/c", {"a", "a/b"}},
    {"a\\b.txt", "a\\b.txt", {}},
    {"docs/", "docs", {}},
};

TEST(OutputPathTest, JoinsComponentsAndCreatesFolders) {
  for (const PathCase& c : k_path_cases) {
    ScopedTempDir scratch;
    end_extraction_run();
    char* path = make_output_path(strdup(c.name));
    EXPECT_STREQ(path, c.local_path) << c.name;
    for (const std::string& directory : c.directories) EXPECT_TRUE(file_exists(directory)) << c.name;
    free(path);
  }
}

TEST(OutputPathTest, NameWithoutComponentIsReturnedItself) {
  char* name = strdup("///");
  char* path = make_output_path(name);
  EXPECT_EQ(path, name);
  free(path);
}

TEST(OutputPathTest, RecreatesFoldersRemovedBetweenRuns) {
  ScopedTempDir scratch;
  end_extraction_run();
  free(make_output_path(strdup("x/y/one")));
  ASSERT_EQ(system("rm -rf x"), 0);
  end_extraction_run();
  free(make_output_path(strdup("x/y/two")));
  EXPECT_TRUE(file_exists("x/y"));
}

TEST(OutputPathTest, SiblingFolderIsNotMistakenForCreated) {
  ScopedTempDir scratch;
  end_extraction_run();
  free(make_output_path(strdup("ab/c/file")));
  free(make_output_path(strdup("a/file")));  // "a" is a prefix of "ab" but another folder
  EXPECT_TRUE(file_exists("a"));
}

struct SafetyCase {
  const char* name;
  bool outside;
};

const SafetyCase k_safety_cases[] = {
    {"a/b.txt", false},
    {"/abs/x", false},  // leading separators are dropped: lands in ./abs
    {"a//b", false},
    {"..x/y", false},
    {"x../y", false},
    {"./a", false},
    {"a/./b", false},
    {"../x", true},
    {"a/../../x", true},
    {"a/..", true},
    {"..", true},
    {"C:/x", true},
    {"c:", true},
    {"//C:/x", true},
    {"a/C:/x", false},  // only a first component names a drive
};

TEST(PathSafetyTest, RefusesNamesLeadingOutside) {
  for (const SafetyCase& c : k_safety_cases) {
    EXPECT_EQ(is_outside_current_directory(c.name), c.outside) << c.name;
  }
}

TEST(PathSafetyTest, BackslashNamesFollowThePlatform) {
  // On Linux a backslash is an ordinary character in a file name.
  EXPECT_FALSE(is_outside_current_directory("..\\x"));
  EXPECT_FALSE(is_outside_current_directory("\\abs"));
  EXPECT_FALSE(is_outside_current_directory("C:x"));
}

struct LinkCase {
  const char* link_path;
  const char* target;
  bool inside;
};

const LinkCase k_link_cases[] = {
    {"l", "t.txt", true},
    {"l", "sub/t.txt", true},
    {"l", "./t.txt", true},
    {"l", ".", true},
    {"a/l", "..", true},
    {"a/b/l", "../../t.txt", true},
    {"a/b/l", "../x/../../t", true},
    {"l", "..", false},
    {"l", "../t.txt", false},
    {"a/l", "../../t.txt", false},
    {"a/l", "x/../../../t", false},  // climbs out on the way, whatever follows
    {"l", "/etc/passwd", false},
    {"l", "", false},
    {"a//l", "../t", true},  // local paths never hold empty components
};

TEST(LinkSafetyTest, TargetsAreResolvedFromTheLinksFolder) {
  for (const LinkCase& c : k_link_cases) {
    EXPECT_EQ(link_stays_inside(c.link_path, c.target), c.inside) << c.link_path << " -> " << c.target;
  }
}

TEST(OutputPathTest, StopsAtAFolderLinkLeadingOutside) {
  ScopedTempDir outside;
  std::string outside_path = outside.path();
  {
    ScopedTempDir scratch;
    end_extraction_run();
    ASSERT_EQ(symlink(outside_path.c_str(), "d"), 0);
    FolderResult result = FolderResult::ready;
    free(make_output_path(strdup("d/sub/x.txt"), &result));
    EXPECT_EQ(result, FolderResult::outside);
    EXPECT_FALSE(file_exists(outside_path + "/sub"));
  }
}

TEST(OutputPathTest, FolderLinkLeadingInsideIsReady) {
  ScopedTempDir scratch;
  end_extraction_run();
  ASSERT_EQ(mkdir("real", 0755), 0);
  ASSERT_EQ(symlink("real", "d"), 0);
  FolderResult result = FolderResult::failed;
  free(make_output_path(strdup("d/sub/x.txt"), &result));
  EXPECT_EQ(result, FolderResult::ready);
  EXPECT_TRUE(file_exists("real/sub"));
}

TEST(OutputPathTest, FileInTheWayFailsTheFolder) {
  ScopedTempDir scratch;
  end_extraction_run();
  FILE* blocker = fopen("f", "wb");
  ASSERT_NE(blocker, nullptr);
  fclose(blocker);
  FolderResult result = FolderResult::ready;
  free(make_output_path(strdup("f/x.txt"), &result));
  EXPECT_EQ(result, FolderResult::failed);
}

struct DeviceCase {
  const char* name;
  bool device;
};

const DeviceCase k_device_cases[] = {
    {"NUL", true},          {"nul", true},         {"nul.txt", true},      {"nul.tar.gz", true},
    {"NUL .txt", true},     {"Nul.", true},        {"nul ", true},         {"d/NUL", true},
    {"d\\aux\\x", true},  {"AUX", true},         {"CON", true},          {"PRN", true},
    {"COM0", true},         {"COM9.log", true},    {"lpt1", true},         {"LPT9", true},
    {"CONIN$", true},       {"conout$.txt", true}, {"COM\xc2\xb9", true},  {"lpt\xc2\xb3.x", true},
    {"CONSOLE.txt", false}, {"nul0", false},       {"com10", false},       {"COM", false},
    {"xnul", false},        {"a.nul", false},      {"COM\xc2\xb4", false}, {"LPTx", false},
    {"", false},            {"dir/", false},       {"CONIN", false},       {"conout$$", false},
};

TEST(DeviceNameTest, FindsDevicesInAnyComponent) {
  for (const DeviceCase& c : k_device_cases) EXPECT_EQ(names_a_windows_device(c.name), c.device) << c.name;
}

TEST(OutputPathTest, FolderNamesEndInASeparator) {
  EXPECT_TRUE(is_folder_name("docs/", 5));
  EXPECT_FALSE(is_folder_name("docs", 4));
  EXPECT_FALSE(is_folder_name("", 0));
  // On Linux a backslash is an ordinary character.
  EXPECT_FALSE(is_folder_name("docs\\", 5));
}

}  // namespace
