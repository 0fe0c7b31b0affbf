// extract_loop.h - extract every member of the opened archive.
#pragma once

#include <cstdio>

#include "archive/archive_state.h"

// Walks the entry list and writes each member below the current directory.
// Returns 0, or 1 when a member failed or was refused (a wrong password
// does not count) or the walk stopped early.
int extract_all(FILE* archive);

// Ends what an extraction run keeps from one member to the next (the
// directory read, the folder made last, the passwords, the inflater, the
// whole-member decoder and its memory, the cipher keys) and sets the run's
// switches back to their defaults, so that the next run in this process
// starts as the first did. The stub reads one archive and leaves this to
// the process end; tests call it between cases.
void end_extraction_run();

// On Windows, whether extracted files keep a member's system attribute (the
// read-only and hidden ones they always keep): only in a folder that an
// installer made for its own files (dest=, temp). Off at start.
void set_system_files_kept(bool kept);
