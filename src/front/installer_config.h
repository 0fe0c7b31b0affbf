// installer_config.h - the installer block a maker puts in the archive comment.
#pragma once

#include <cstddef>

// The block's first line names it and its version; an archive comment that
// starts with anything else carries no installer block.
constexpr char k_installer_marker[] = "sfxstub installer ";
constexpr int k_installer_version = 1;
constexpr int k_max_program_arguments = 64;
constexpr std::size_t k_max_title_length = 255;

// What the maker chose; the texts point into the block's own copy.
struct InstallerConfig {
  bool present = false;  // false: the archive behaves as it always has
  const char* title = nullptr;
  const char* destination = nullptr;  // a relative folder, created as needed
  bool temporary = false;  // a private temporary folder, removed at the end
  const char* program = nullptr;  // a member, relative to the extraction folder
  const char* arguments[k_max_program_arguments] = {};
  int argument_count = 0;
  bool one_password = false;
  bool silent = false;
  char* storage = nullptr;  // the copy of the block that the texts point into
};

enum class ConfigResult {
  parsed,   // *config is filled in (present is false when there is no block)
  unknown_version,
  malformed,
  out_of_memory,
};

// Reads the installer block at the start of an archive comment of length
// bytes (comment may be nullptr when length is 0). A block is the marker
// line "sfxstub installer 1", lines "key=value" or a bare flag, and a line
// "end"; lines end in "\n" (or "\r\n"), and whatever follows the end line is
// the comment's free text. Returns unknown_version for another version
// number and malformed for any other fault (an unknown or repeated key, a
// missing end line, an unsafe folder or program name, a control character),
// with *problem set to a short text naming it.
ConfigResult parse_installer_config(const unsigned char* comment, std::size_t length, InstallerConfig* config,
                                    const char** problem);

// Releases the copy that parse_installer_config made.
void release_installer_config(InstallerConfig* config);
