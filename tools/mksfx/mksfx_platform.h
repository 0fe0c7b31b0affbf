// mksfx_platform.h - the few system services mksfx needs beyond standard C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

// Paths and names travel through mksfx as byte strings: on POSIX the bytes
// the system uses, on Windows UTF-8, which is turned into the system's
// UTF-16 only where a file is named to it. std::filesystem would read a
// narrow string in the ANSI code page, so every path is handed to it
// through native_path and read back through name_of_path.

// The command-line words, argv[0] first: argv on POSIX; on Windows the wide
// command line in UTF-8, as argv holds only what the ANSI code page can
// show of each word.
std::vector<std::string> command_line_words(int argc, char** argv);

// The std::filesystem path that path names.
std::filesystem::path native_path(const std::string& path);

// The name of path as mksfx keeps it (UTF-8 on Windows).
std::string name_of_path(const std::filesystem::path& path);

// Opens path as std::fopen does, with one of its modes ("rb", "wb").
// Returns nullptr with errno set on failure.
FILE* open_file(const std::string& path, const char* mode);

// The permission bits stored for a file or folder the system reports with
// permissions. Windows has no Unix modes and reports every file 0666 (0444
// read-only, 0777 for a program's ending such as .exe) and every folder
// 0777: the write bits of group and others are taken away, so a Linux
// self-extractor made there creates 0644 files and 0755 folders.
unsigned stored_permissions(std::filesystem::perms permissions);

// Fills buffer from the system's random source. Returns false on failure,
// with errno set where the system gives one.
[[nodiscard]] bool read_random_bytes(void* buffer, std::size_t size);

// Creates path as a new file that only its owner may read, failing when
// anything already has that name. Returns the file open for binary writing,
// or nullptr with errno set (EEXIST when the name is taken).
FILE* create_new_file(const std::string& path);

// A temporary file for data that does not fit in memory, open for writing
// and reading back, in the system's temporary folder (on Windows the one
// GetTempPathW names: the C library's tmpfile would make it in the root of
// the current drive, where a user may not write). It is gone once closed,
// however mksfx ends. Returns nullptr with errno set on failure.
FILE* create_spill_file();

// Positions stream at an absolute offset that may pass 2 GiB where long is
// 32 bits. False on failure.
bool seek_file(FILE* stream, std::uint64_t offset);

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

// The target of the system mksfx runs on, its default: "win32" for
// mksfx.exe (a 32-bit self-extractor runs on every Windows), "linux-arm64"
// for a build on arm64, "linux" for x86-64.
const char* native_target_name();

// The modification time of the symbolic link at path itself, not of what
// it leads to. Returns false with errno set when it cannot be read.
bool read_link_time(const std::string& path, std::time_t* mtime);

// The DOS attributes of the file or folder at path, as Windows zip tools
// store them in the low byte of the external attributes: read-only (0x01),
// hidden (0x02), system (0x04), folder (0x10) and archive (0x20). Windows
// only; 0 elsewhere, and when they cannot be read.
std::uint32_t read_dos_attributes(const std::string& path);
