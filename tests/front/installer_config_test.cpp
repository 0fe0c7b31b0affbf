// installer_config_test.cpp - reading the installer block from the archive comment.
#include "front/installer_config.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

ConfigResult parse(const std::string& comment, InstallerConfig* config, const char** problem) {
  return parse_installer_config(reinterpret_cast<const unsigned char*>(comment.data()), comment.size(), config,
                                problem);
}

TEST(InstallerConfigTest, CommentWithoutBlockChangesNothing) {
  for (std::string comment : {std::string(), std::string("made by zip"), std::string("sfxstub installer"),
                              std::string("Sfxstub installer 1\nend\n"), std::string(" sfxstub installer 1\nend\n")}) {
    InstallerConfig config;
    const char* problem;
    EXPECT_EQ(parse(comment, &config, &problem), ConfigResult::parsed) << comment;
    EXPECT_FALSE(config.present) << comment;
    release_installer_config(&config);
  }
}

TEST(InstallerConfigTest, ReadsEverySetting) {
  InstallerConfig config;
  const char* problem;
  std::string comment =
      "sfxstub installer 1\r\ntitle=Installing My App\ntemp\nrun=app/setup.sh\narg=--prefix\narg=/opt/x y\n"
      "arg==\none-password\nsilent\nend\nfree text after the block\n";
  ASSERT_EQ(parse(comment, &config, &problem), ConfigResult::parsed) << problem;
  EXPECT_TRUE(config.present);
  EXPECT_STREQ(config.title, "Installing My App");
  EXPECT_EQ(config.destination, nullptr);
  EXPECT_TRUE(config.temporary);
  EXPECT_STREQ(config.program, "app/setup.sh");
  ASSERT_EQ(config.argument_count, 3);
  EXPECT_STREQ(config.arguments[0], "--prefix");
  EXPECT_STREQ(config.arguments[1], "/opt/x y");
  EXPECT_STREQ(config.arguments[2], "=");
  EXPECT_TRUE(config.one_password);
  EXPECT_TRUE(config.silent);
  release_installer_config(&config);
}

TEST(InstallerConfigTest, ReadsDestinationAlone) {
  InstallerConfig config;
  const char* problem;
  ASSERT_EQ(parse("sfxstub installer 1\ndest=My App/sub\nend\n", &config, &problem), ConfigResult::parsed);
  EXPECT_STREQ(config.destination, "My App/sub");
  EXPECT_EQ(config.program, nullptr);
  EXPECT_FALSE(config.one_password);
  release_installer_config(&config);
}

struct RefusedCase {
  const char* label;
  std::string comment;
  ConfigResult result;
};

const std::string k_head = "sfxstub installer 1\n";

const RefusedCase k_refused_cases[] = {
    {"version 2", "sfxstub installer 2\nend\n", ConfigResult::unknown_version},
    {"version 10", "sfxstub installer 10\nsomething new\nend\n", ConfigResult::unknown_version},
    {"version 01 is not 1", "sfxstub installer 01x\nend\n", ConfigResult::malformed},
    {"no version", "sfxstub installer \nend\n", ConfigResult::malformed},
    {"marker line without end", "sfxstub installer 1", ConfigResult::malformed},
    {"no end line", k_head + "silent\n", ConfigResult::malformed},
    {"end line without its line end", k_head + "silent\nend", ConfigResult::malformed},
    {"unknown key", k_head + "shell=sh -c x\nend\n", ConfigResult::malformed},
    {"flag given a value", k_head + "silent=yes\nend\n", ConfigResult::malformed},
    {"repeated flag", k_head + "silent\nsilent\nend\n", ConfigResult::malformed},
    {"repeated run", k_head + "run=a\nrun=b\nend\n", ConfigResult::malformed},
    {"empty run", k_head + "run=\nend\n", ConfigResult::malformed},
    {"empty line", k_head + "\nend\n", ConfigResult::malformed},
    {"absolute program", k_head + "run=/bin/sh\nend\n", ConfigResult::malformed},
    {"program outside", k_head + "run=../x.sh\nend\n", ConfigResult::malformed},
    {"program deeper outside", k_head + "run=a/../../x.sh\nend\n", ConfigResult::malformed},
    {"program on a drive", k_head + "run=c:/x.exe\nend\n", ConfigResult::malformed},
    {"program rooted by backslash", k_head + "run=\\x.exe\nend\n", ConfigResult::malformed},
    {"program is a folder", k_head + "run=app/\nend\n", ConfigResult::malformed},
    {"absolute folder", k_head + "dest=/etc\nend\n", ConfigResult::malformed},
    {"folder outside", k_head + "dest=..\nend\n", ConfigResult::malformed},
    {"dest and temp", k_head + "dest=x\ntemp\nrun=a\nend\n", ConfigResult::malformed},
    {"temp without run", k_head + "temp\nend\n", ConfigResult::malformed},
    {"arg without run", k_head + "arg=x\nend\n", ConfigResult::malformed},
    {"control character", k_head + "title=a\x1b[2Jb\nend\n", ConfigResult::malformed},
    {"zero byte in the block", k_head + std::string("title=a\0b\nend\n", 14), ConfigResult::malformed},
    {"title too long", k_head + "title=" + std::string(256, 't') + "\nend\n", ConfigResult::malformed},
};

TEST(InstallerConfigTest, RefusesBadBlocks) {
  for (const RefusedCase& test : k_refused_cases) {
    InstallerConfig config;
    const char* problem = nullptr;
    EXPECT_EQ(parse(test.comment, &config, &problem), test.result) << test.label;
    EXPECT_TRUE(config.present) << test.label;
    EXPECT_NE(problem, nullptr);
    EXPECT_STRNE(problem, "") << test.label;
    release_installer_config(&config);
  }
}

TEST(InstallerConfigTest, TakesAtMostTheArgumentsTheStubHolds) {
  std::string comment = k_head + "run=x\n";
  for (int i = 0; i < k_max_program_arguments; ++i) comment += "arg=" + std::to_string(i) + "\n";
  InstallerConfig config;
  const char* problem;
  EXPECT_EQ(parse(comment + "end\n", &config, &problem), ConfigResult::parsed);
  EXPECT_EQ(config.argument_count, k_max_program_arguments);
  release_installer_config(&config);
  EXPECT_EQ(parse(comment + "arg=one more\nend\n", &config, &problem), ConfigResult::malformed);
  release_installer_config(&config);
}

TEST(InstallerConfigTest, ZeroByteAfterTheEndLineIsFreeText) {
  InstallerConfig config;
  const char* problem;
  std::string comment = k_head + "silent\nend\n" + std::string("x\0y", 3);
  EXPECT_EQ(parse(comment, &config, &problem), ConfigResult::parsed);
  EXPECT_TRUE(config.silent);
  release_installer_config(&config);
}

}  // namespace
