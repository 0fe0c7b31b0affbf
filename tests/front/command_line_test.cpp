// command_line_test.cpp - the console's rules for splitting a command line.
#include "front/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct SplitCase {
  const char* text;
  std::vector<std::string> words;
};

const SplitCase k_split_cases[] = {
    {"", {}},
    {" \t  ", {}},
    {"setup.exe", {"setup.exe"}},
    {"  setup.exe   a\tb ", {"setup.exe", "a", "b"}},
    {"\"C:\\Program Files\\setup.exe\" x", {"C:\\Program Files\\setup.exe", "x"}},
    {"C:\\Program Files\\setup.exe", {"C:\\Program", "Files\\setup.exe"}},
    {"a\"b c\"d", {"ab cd"}},                          // quoted stretch inside a word
    {"\"\" x", {"", "x"}},                            // empty word
    {"a \"\"", {"a", ""}},
    {"\"open to the end  ", {"open to the end  "}},   // unclosed quote runs to the end
    {"a\\\"b c\" d", {"a\\b c", "d"}},                // backslash copied, quote still opens
    {"a\\\\ b", {"a\\\\", "b"}},
    {"x\ny\r z", {"x\ny\r", "z"}},                    // only blanks and tabs separate
    {"\"a\"\"b\"", {"ab"}},                           // two stretches side by side
};

TEST(CommandLineTest, SplitsByConsoleRules) {
  for (const SplitCase& c : k_split_cases) {
    CommandWords result = split_command_line(c.text);
    ASSERT_EQ(result.count, static_cast<int>(c.words.size())) << c.text;
    ASSERT_NE(result.words, nullptr) << c.text;
    for (int i = 0; i < result.count; ++i) EXPECT_EQ(result.words[i], c.words[i]) << c.text;
    EXPECT_EQ(result.words[result.count], nullptr) << c.text;
    release_command_words(&result);
  }
}

// The words after word 0 go to an installer's program: split as Windows
// programs split theirs, so that they reach it as the user typed them.
const SplitCase k_argument_cases[] = {
    {"s \"say \\\"hi\\\"\"", {"s", "say \"hi\""}},
    {"s \"q\\\"uote\" \"\" \"end\\\\\" x\\\\\\\"y \"a b\"", {"s", "q\"uote", "", "end\\", "x\\\"y", "a b"}},
    {"s a\\\\b \\\\\\\\\"c d\"", {"s", "a\\\\b", "\\\\c d"}},  // backslashes count only before a quote
    {"\"C:\\dir\\\" x", {"C:\\dir\\", "x"}},             // word 0 keeps the console's rules
};

TEST(CommandLineTest, SplitsLaterWordsAsWindowsProgramsDo) {
  for (const SplitCase& c : k_argument_cases) {
    CommandWords result = split_command_line(c.text);
    ASSERT_EQ(result.count, static_cast<int>(c.words.size())) << c.text;
    for (int i = 0; i < result.count; ++i) EXPECT_EQ(result.words[i], c.words[i]) << c.text;
    release_command_words(&result);
  }
}

}  // namespace
