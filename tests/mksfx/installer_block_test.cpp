// installer_block_test.cpp - the --run words and the installer block mksfx writes.
#include "installer_block.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "front/installer_config.h"

namespace {

TEST(InstallerBlockTest, SplitsRunWords) {
  const struct {
    const char* text;
    std::vector<std::string> words;
  } cases[] = {
      {"app/install.sh --prefix /opt/x", {"app/install.sh", "--prefix", "/opt/x"}},
      {"  setup.exe\t/quiet  ", {"setup.exe", "/quiet"}},
      {"'my app/run.sh' \"a b\" c'd e'f", {"my app/run.sh", "a b", "cd ef"}},
      {"x '' \"\"", {"x", "", ""}},
      {"x 'it\"s' \"it's\"", {"x", "it\"s", "it's"}},
      {"setup.exe /dir=C:\\Program\\x\\", {"setup.exe", "/dir=C:\\Program\\x\\"}},  // backslashes stay
  };
  for (const auto& test : cases) {
    std::vector<std::string> words;
    EXPECT_EQ(split_run_words(test.text, &words), "") << test.text;
    EXPECT_EQ(words, test.words) << test.text;
  }
  std::vector<std::string> words;
  EXPECT_NE(split_run_words("x 'open", &words), "");
  EXPECT_NE(split_run_words("   ", &words), "");
  EXPECT_NE(split_run_words("'' x", &words), "");
}

// What mksfx writes, the stub reads back the same.
TEST(InstallerBlockTest, StubReadsWhatIsWritten) {
  InstallerOptions options;
  options.temporary = true;
  options.run = "ignored";
  options.one_password = true;
  options.silent = true;
  options.title = "Installing \xc3\xa9t\xc3\xa9";
  std::vector<std::string> words = {"app/setup.exe", "/quiet", "a b", ""};
  std::string block = make_installer_block(options, words);
  EXPECT_EQ(block.compare(0, 20, "sfxstub installer 1\n"), 0);
  InstallerConfig config;
  const char* problem = "";
  ASSERT_EQ(parse_installer_config(reinterpret_cast<const unsigned char*>(block.data()), block.size(), &config,
                                   &problem),
            ConfigResult::parsed)
      << problem;
  EXPECT_TRUE(config.temporary && config.one_password && config.silent);
  EXPECT_STREQ(config.title, options.title->c_str());
  EXPECT_STREQ(config.program, "app/setup.exe");
  ASSERT_EQ(config.argument_count, 3);
  EXPECT_STREQ(config.arguments[1], "a b");
  EXPECT_STREQ(config.arguments[2], "");
  release_installer_config(&config);
}

TEST(InstallerBlockTest, RefusesWhatTheStubWouldRefuse) {
  const struct {
    const char* label;
    std::string destination;
    bool temporary;
    std::vector<std::string> run;
    NameRules rules;
  } cases[] = {
      {"temp and dest", "x", true, {"a"}, NameRules::linux_stub},
      {"temp without run", "", true, {}, NameRules::linux_stub},
      {"absolute dest", "/opt", false, {}, NameRules::linux_stub},
      {"dest outside", "a/../..", false, {}, NameRules::linux_stub},
      {"dest rooted by backslash", "\\x", false, {}, NameRules::linux_stub},
      {"dest a device", "NUL", false, {}, NameRules::windows_stub},
      {"absolute program", "", false, {"/bin/sh"}, NameRules::linux_stub},
      {"program outside", "", false, {"../setup.exe"}, NameRules::windows_stub},
      {"program on a drive", "", false, {"c:setup.exe"}, NameRules::windows_stub},
      {"program a folder", "", false, {"app/"}, NameRules::linux_stub},
      {"argument with a line break", "", false, {"a", "x\ny"}, NameRules::linux_stub},
  };
  for (const auto& test : cases) {
    InstallerOptions options;
    options.destination = test.destination;
    options.temporary = test.temporary;
    if (!test.run.empty()) options.run = "given";
    EXPECT_NE(check_installer_options(options, test.run, test.rules), "") << test.label;
  }
  InstallerOptions fine;
  fine.destination = "My App";
  fine.run = "given";
  EXPECT_EQ(check_installer_options(fine, {"app/setup.exe", "/quiet"}, NameRules::windows_stub), "");
}

TEST(InstallerBlockTest, ConvertedCommentKeepsItsTextAfterTheOldBlock) {
  const struct {
    const char* comment;
    const char* kept;
    const char* program;
  } cases[] = {
      {"made by zip", "made by zip", ""},
      {"sfxstub installer 1\nsilent\nend\nkept", "kept", ""},
      {"sfxstub installer 1\nsilent\n", "", ""},
      {"sfxstub installer 1\nrun=app/x.sh\narg=end\nend\nkept\nend\n", "kept\nend\n", "app/x.sh"},
      // The stub drops a carriage return before a line feed: the first end line counts.
      {"sfxstub installer 1\r\nrun=a.exe\r\nend\r\nkept\nend\nmore", "kept\nend\nmore", "a.exe"},
      {"sfxstub installer 2\nrun=new.exe\nend\n", "", "new.exe"},
  };
  for (const auto& test : cases) {
    EXPECT_EQ(comment_without_block(test.comment), test.kept) << test.comment;
    EXPECT_EQ(program_of_block(test.comment), test.program) << test.comment;
  }
}

}  // namespace
