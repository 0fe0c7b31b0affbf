// extract_loop.h - extract every member of the opened archive.
#pragma once

#include <cstdio>

#include "archive/archive_state.h"

// Walks the entry list and writes each member below the current directory.
// Returns 0, or 1 when a member failed or was refused (a wrong password
// does not count) or the walk stopped early.
int extract_all(FILE* archive);

// Reads the local header's extra-field length into entry. Returns the count
// of values read: 1, or 0 when the read came up short (the field keeps the
// central directory's value).
int read_local_extra_length(ZipEntry* entry, FILE* archive);
