// program_run.h - the whole run: open the archive, extract it, end the process.
#pragma once

// Takes words[0] as the archive path, reads its directory and extracts every
// member. Returns the exit status: 0, or 1 when anything failed.
int run_program(int word_count, char** words);

// Holds a console window open until Enter is pressed, then ends the process
// with status.
[[noreturn]] void end_process(int status);
