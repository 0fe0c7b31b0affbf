// source_tree_test.cpp - member names the stubs would refuse, sizes and DOS times.
#include "source_tree.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "build_options.h"
#include "zip_records.h"

namespace {

struct NameCase {
  const char* name;
  bool refused_for_linux;
  bool refused_for_windows;
};

TEST(SourceTreeTest, RefusesNamesOutsideTheExtractionFolder) {
  const NameCase cases[] = {
      {"docs/readme.txt", false, false},
      {"..hidden/x", false, false},
      {"a/b/", false, false},
      {"../x", true, true},
      {"a/../../x", true, true},
      {"a/..", true, true},
      {"/etc/passwd", true, true},
      {"c:/x", true, true},
      {"c:", true, true},
      {"a\\..\\x", false, true},
      {"\\x", false, true},
      {"a/.../x", false, true},
      {"a/.. /x", false, true},
      {"a:b", false, true},
      {"", true, true},
  };
  for (const NameCase& c : cases) {
    EXPECT_EQ(!refusal_of_name(c.name, NameRules::linux_stub).empty(), c.refused_for_linux) << c.name;
    EXPECT_EQ(!refusal_of_name(c.name, NameRules::windows_stub).empty(), c.refused_for_windows) << c.name;
  }
}

TEST(SourceTreeTest, ParsesDiskSizes) {
  const struct {
    const char* text;
    bool valid;
    std::uint64_t size;
  } cases[] = {{"1440k", true, 1474560}, {"1M", true, 1048576}, {"720K", true, 737280},
               {"4096", true, 4096},     {"", false, 0},        {"k", false, 0},
               {"12x", false, 0},        {"-1", false, 0},      {"1.44M", false, 0}};
  for (const auto& c : cases) {
    std::uint64_t size = 0;
    EXPECT_EQ(parse_size(c.text, &size), c.valid) << c.text;
    if (c.valid) {
      EXPECT_EQ(size, c.size) << c.text;
    }
  }
}

TEST(SourceTreeTest, DosTimesAreClampedAndKeepEvenSeconds) {
  setenv("TZ", "UTC", 1);
  tzset();
  // 2020-09-13 12:26:41 UTC: the odd second rounds down to 40.
  std::uint32_t time = dos_time_of(1600000001);
  EXPECT_EQ(time >> 16, (40u << 9) | (9u << 5) | 13u);
  EXPECT_EQ(time & 0xFFFF, (12u << 11) | (26u << 5) | 20u);
  EXPECT_EQ(dos_time_of(0), (1u << 21) | (1u << 16));  // 1970: the earliest DOS time
  EXPECT_EQ(dos_time_of(4354819200), (127u << 25 | 12u << 21 | 31u << 16 | 23u << 11 | 59u << 5 | 29u));  // 2108
}

}  // namespace
