// messages.h - the printers, the archive error codes and their texts.
#pragma once

// Archive error codes with their pinned values; every code has a text in
// error_messages, also those the program never produces.
enum class ArchiveError : int {
  none = 0,
  unexpected_end = 2,  // a directory read came up short
  invalid_archive = 3,
  out_of_memory = 4,
  user_aborted = 9,  // end of input while waiting for a disk
  read_error = 11,
  open_error = 18,  // a segment's file cannot be opened
};

constexpr int k_error_message_count = 19;
extern const char* const error_messages[k_error_message_count];

// The text of an archive error code.
const char* error_text(ArchiveError code);

// Writes text and "\n" on standard output; text is not a format.
void print_line(const char* text);

// Formats like printf onto standard error (unbuffered); adds no line end.
void print_error(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Formats like printf onto standard output: prompts and the words that end
// a progress line.
void print_output(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes "ACTION: NAME..." on standard output with no line end and makes it
// visible at once, since member data is read next.
void print_progress(const char* name, const char* action);

// Turns the progress lines off (a silent installer) or on: print_progress
// then prints nothing, and the words that end its line ("done\n" or "\n")
// are dropped too, unless something else was printed on that line since (a
// password prompt), which then gets its line end.
void set_progress_shown(bool shown);

// A member name as it may be shown on a terminal: control bytes (below 0x20,
// and 0x7F) become '?', so a crafted name cannot rewrite the user's screen;
// on POSIX so do the C1 controls: a byte 0x80-0x9F outside a well-formed
// UTF-8 sequence, and each UTF-8 encoded U+0080-U+009F (C2 80 to C2 9F).
// Other UTF-8 and other bytes are shown as they are. The text lives until
// the next call; an absent name shows as "".
const char* shown_name(const char* name);

// True when text (NUL-terminated) is well-formed UTF-8: no stray or
// overlong bytes, no surrogates, nothing past U+10FFFF.
bool is_valid_utf8(const char* text);

// Sets up the process-wide buffering: standard output line-buffered,
// standard error unbuffered.
void set_up_standard_streams();
