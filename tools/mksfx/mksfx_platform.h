// mksfx_platform.h - the few system services mksfx needs beyond standard C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// Fills buffer from the system's random source. Returns false on failure,
// with errno set where the system gives one.
[[nodiscard]] bool read_random_bytes(void* buffer, std::size_t size);

// Creates path as a new file that only its owner may read, failing when
// anything already has that name. Returns the file open for binary writing,
// or nullptr with errno set (EEXIST when the name is taken).
FILE* create_new_file(const std::string& path);

// The characters that end a folder's name in a path given on the command
// line: "/", and on Windows "\\" too.
const char* path_separators();

// True when stream is a terminal or console.
bool is_console(FILE* stream);

// The permission bits taken away from a new file's 0777 (the umask; 022 on
// Windows, which has none).
unsigned file_creation_mask();

// What tells two names of one file apart from two files: the device (the
// volume on Windows) and the file's number on it.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t number = 0;
  bool operator==(const FileIdentity&) const = default;
};

// The identity of the file or folder that path names, through links.
// Returns false when it cannot be told.
bool identify_file(const std::string& path, FileIdentity* identity);
