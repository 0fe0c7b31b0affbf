// extra_field_test.cpp - blocks of an extra field found by their id.
#include "archive/extra_field.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct ExtraCase {
  const char* what;
  std::string field;
  std::uint16_t id;
  int offset;  // of the block's data in the field, -1 when none is found
  std::uint16_t size;
};

const ExtraCase k_extra_cases[] = {
    {"the only block", std::string("\x75\x70\x03\x00" "abc", 7), 0x7075, 4, 3},
    {"the second block", std::string("\x55\x54\x01\x00" "t" "\x75\x70\x02\x00" "uv", 11), 0x7075, 9, 2},
    {"an empty block", std::string("\x75\x70\x00\x00", 4), 0x7075, 4, 0},
    {"no such block", std::string("\x55\x54\x01\x00" "t", 5), 0x7075, -1, 0},
    {"a block running past the end", std::string("\x75\x70\x09\x00" "abc", 7), 0x7075, -1, 0},
    {"one before it running past the end", std::string("\x55\x54\x20\x00" "t\x75\x70\x00\x00", 9), 0x7075, -1, 0},
    {"a header cut short", std::string("\x75\x70\x01", 3), 0x7075, -1, 0},
    {"no field", std::string(), 0x7075, -1, 0},
};

TEST(ExtraFieldTest, FindsBlocksWithinTheField) {
  for (const ExtraCase& c : k_extra_cases) {
    const unsigned char* field = reinterpret_cast<const unsigned char*>(c.field.data());
    std::uint16_t size = 0;
    const unsigned char* found =
        find_extra_block(c.field.empty() ? nullptr : field, static_cast<std::uint16_t>(c.field.size()), c.id, &size);
    if (c.offset < 0) {
      EXPECT_EQ(found, nullptr) << c.what;
    } else {
      EXPECT_EQ(found, field + c.offset) << c.what;
      EXPECT_EQ(size, c.size) << c.what;
    }
  }
}

}  // namespace
