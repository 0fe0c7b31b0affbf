// central_directory.h - open the archive and read its central directory.
#pragma once

#include <cstdio>

#include "archive/archive_state.h"
#include "front/messages.h"

// Warning bits, each printed at most once, in this order.
constexpr int k_warn_newer_version = 1;
constexpr int k_warn_unknown_method = 2;
constexpr int k_warn_too_many_entries = 4;
constexpr int k_warn_too_few_entries = 8;

// Opens path for binary reading (the running executable when path is a bare
// name or cannot be opened) and reads its directory into archive_state.
// Returns the stream, or nullptr after printing why the directory could not
// be read.
[[nodiscard]] FILE* open_archive(const char* path);

// Reads the end record and every central header into archive_state, asking
// for other segments as needed, then prints the directory warnings.
// Returns none, or unexpected_end, invalid_archive, out_of_memory,
// read_error, or whatever switch_segment returned.
[[nodiscard]] ArchiveError read_central_directory(FILE* stream);

// Prints the text of every bit set in warnings on standard error.
void print_directory_warnings(int warnings);
