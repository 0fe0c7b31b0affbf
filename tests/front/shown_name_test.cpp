// shown_name_test.cpp - member names as they are shown on a terminal.
#include "front/messages.h"

#include <gtest/gtest.h>

#include <iterator>

namespace {

struct ShownCase {
  const char* name;
  const char* shown;
};

// The Linux build: C1 controls are hidden, other bytes kept.
const ShownCase k_shown_cases[] = {
    {"plain/name.txt", "plain/name.txt"},
    {"", ""},
    {"\x1b[2J\x7f.txt", "?[2J?.txt"},
    {"a\x9b" "31m", "a?31m"},                              // CSI as a byte
    {"a\xc2\x9b" "31m", "a?31m"},                          // CSI in UTF-8: one '?'
    {"\xc2\x80\xc2\x85\xc2\x9f", "???"},                   // U+0080, U+0085, U+009F
    {"\xc2\xa0\xc3\xa9t\xc3\xa9", "\xc2\xa0\xc3\xa9t\xc3\xa9"},  // U+00A0 and beyond stay
    {"\xe2\x80\x9b", "\xe2\x80\x9b"},                      // 80 and 9B inside U+201B
    {"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},              // four bytes
    {"\xe2\x80" "x", "\xe2?x"},                            // cut short: the lead stays
    {"\xe0\x80\x9b", "\xe0??"},                            // overlong: no sequence
    {"\xed\xa0\x80", "\xed\xa0?"},                         // surrogate
    {"\xf4\x90\x80\x80", "\xf4???"},                       // above U+10FFFF
    {"\xc0\x9b\xc1\x80", "\xc0?\xc1?"},                    // overlong two-byte leads
    {"\xa0\xff\xfe", "\xa0\xff\xfe"},                      // other stray bytes stay
    {"end\xc2", "end\xc2"},                                // lead at the very end
    {"\xc2\x1b", "\xc2?"},                                 // C0 after a lead
};

TEST(ShownNameTest, HidesControlCharacters) {
  for (std::size_t i = 0; i < std::size(k_shown_cases); ++i) {
    EXPECT_STREQ(shown_name(k_shown_cases[i].name), k_shown_cases[i].shown) << "case " << i;
  }
}

TEST(ShownNameTest, AbsentNameShowsEmpty) { EXPECT_STREQ(shown_name(nullptr), ""); }

}  // namespace

namespace {

struct Utf8Case {
  const char* text;
  bool valid;
};

const Utf8Case k_utf8_cases[] = {
    {"", true},
    {"plain.txt", true},
    {"Gr\xc3\xbc\xc3\x9f" "e/\xe6\x97\xa5\xe6\x9c\xac.txt", true},
    {"\xf0\x9f\x98\x80", true},
    {"\xf4\x8f\xbf\xbf", true},       // U+10FFFF, the last one
    {"bad\xff.txt", false},
    {"caf\x82.txt", false},           // a DOS code page byte
    {"\xc3", false},                  // cut short at the end
    {"\xe2\x80" "x", false},          // cut short inside
    {"\xc0\xaf", false},              // overlong '/'
    {"\xe0\x80\xaf", false},          // overlong '/' in three bytes
    {"\xed\xa0\x80", false},          // a surrogate
    {"\xf4\x90\x80\x80", false},      // past U+10FFFF
};

TEST(Utf8Test, TellsWellFormedNames) {
  for (const Utf8Case& c : k_utf8_cases) EXPECT_EQ(is_valid_utf8(c.text), c.valid) << c.text;
}

}  // namespace
