// build_options_test.cpp - the mksfx command line, parsed as getopt_long parses it.
#include "build_options.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace {

// Parses words (after the program's name) into *options; returns the error.
std::string parse(std::initializer_list<const char*> words, BuildOptions* options) {
  std::vector<std::string> storage = {"mksfx"};
  storage.insert(storage.end(), words.begin(), words.end());
  std::vector<char*> argv;
  for (std::string& word : storage) argv.push_back(word.data());
  argv.push_back(nullptr);
  return parse_build_options(static_cast<int>(storage.size()), argv.data(), nullptr, options);
}

TEST(BuildOptionsTest, AcceptsTheUsualUnixForms) {
  const struct {
    std::initializer_list<const char*> words;
    const char* output;
    std::vector<std::string> inputs;
    int level;
    bool quiet;
  } cases[] = {
      {{"-oout", "in"}, "out", {"in"}, 6, false},
      {{"-q9", "-o", "out", "in"}, "out", {"in"}, 9, true},
      {{"-9qoout", "in"}, "out", {"in"}, 9, true},
      {{"--output=out", "--quiet", "in"}, "out", {"in"}, 6, true},
      {{"--out", "out", "in"}, "out", {"in"}, 6, false},  // an unambiguous abbreviation
      {{"in", "-o", "out", "other", "-0"}, "out", {"in", "other"}, 0, false},
      {{"-o", "out", "--", "-q", "in"}, "out", {"-q", "in"}, 6, false},
      {{"-o", "-q", "in"}, "-q", {"in"}, 6, false},  // a value may start with '-'
      // Values and inputs after "--" are no levels.
      {{"-o", "-10", "--password", "-12", "--", "-34", "in"}, "-10", {"-34", "in"}, 6, false},
      {{"-q9o", "-10", "--out", "-56", "in"}, "-56", {"in"}, 9, true},
  };
  for (const auto& c : cases) {
    BuildOptions options;
    std::string first = *c.words.begin();
    ASSERT_EQ(parse(c.words, &options), "") << first;
    EXPECT_EQ(options.output, c.output) << first;
    EXPECT_EQ(options.inputs, c.inputs) << first;
    EXPECT_EQ(options.level, c.level) << first;
    EXPECT_EQ(options.quiet, c.quiet) << first;
  }
}

TEST(BuildOptionsTest, TakesValuesJoinedOrApart) {
  BuildOptions options;
  ASSERT_EQ(
      parse({"--split=1440k", "--mtime", "1700000000", "--target=win32", "--password=a=b", "-o", "o", "i"}, &options),
      "");
  EXPECT_EQ(options.split_size, 1474560u);
  EXPECT_EQ(options.mtime, 1700000000);
  EXPECT_EQ(options.target, "win32");
  EXPECT_EQ(options.password, "a=b");
}

TEST(BuildOptionsTest, NamesWhatIsWrong) {
  const struct {
    std::initializer_list<const char*> words;
    const char* error;
  } cases[] = {
      {{"-x", "-o", "out", "in"}, "unknown option -x"},
      {{"--quiet", "-qx", "-o", "out", "in"}, "unknown option -x"},
      {{"--quiet", "-xq", "-o", "out", "in"}, "unknown option -x"},
      {{"--bogus", "-o", "out", "in"}, "unknown option --bogus"},
      {{"--bogus=1", "-o", "out", "in"}, "unknown option --bogus"},
      {{"in", "-o"}, "-o needs a value"},
      {{"in", "-qo"}, "-o needs a value"},
      {{"in", "--output"}, "--output needs a value"},
      {{"in", "-o", "out", "--target"}, "--target needs a value"},
      {{"--quiet=yes", "-o", "out", "in"}, "--quiet takes no value"},
      {{"--qui=yes", "-o", "out", "in"}, "--quiet takes no value"},
      {{"--pass", "x", "-o", "out", "in"}, "ambiguous option --pass (--password, --password-file)"},
      {{"--split", "1.44M", "-o", "out", "in"}, "invalid --split size '1.44M'"},
      {{"-10", "-o", "out", "in"}, "invalid level in -10"},
      {{"-q10", "-o", "out", "in"}, "invalid level in -q10"},
      {{"-o", "out"}, "no input given"},
      {{"in"}, "no output given (-o OUTPUT)"},
  };
  for (const auto& c : cases) {
    BuildOptions options;
    EXPECT_EQ(parse(c.words, &options).rfind(c.error, 0), 0u) << c.error << ": " << parse(c.words, &options);
  }
}

}  // namespace
