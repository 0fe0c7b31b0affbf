// build_options.h - the mksfx command line.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "installer_block.h"

struct BuildOptions {
  std::string output;
  std::vector<std::string> inputs;
  std::string target;     // "linux", "linux-arm64", "win32", "win64"; empty: the host's
  std::string stub_file;  // --stub, instead of an embedded stub
  int level = 6;
  std::optional<std::string> password;
  std::string password_file;
  std::string encryption;  // "aes" or "zipcrypto"; empty: aes
  std::uint64_t split_size = 0;  // 0: one file
  std::optional<std::time_t> mtime;
  bool quiet = false;
  bool dereference = false;    // follow symbolic links instead of storing them
  InstallerOptions installer;  // --dest, --temp, --run, --one-password, --silent, --title
  bool show_help = false;
  bool show_version = false;
};

// Parses the command line (argv[0] is the program's name) the way getopt_long
// does: bundled short options, "-oFILE", "--name=VALUE", unambiguous
// abbreviations, "--" before inputs that start with '-'; the words may be
// reordered. source_date_epoch is the value of SOURCE_DATE_EPOCH or
// nullptr. Returns "" or the usage error to show.
std::string parse_build_options(int argc, char** argv, const char* source_date_epoch, BuildOptions* options);

// Parses a size in bytes, with an optional k (1024) or M (1024 * 1024).
bool parse_size(const std::string& text, std::uint64_t* size);

extern const char* const k_usage_text;
