// password_prompt.h - ask the user for a member's password on the console.
#pragma once

constexpr int k_password_line_size = 256;

// The last password line read; empty at start, always NUL-terminated.
extern char password_line[k_password_line_size];

// Prints "Please enter the password for NAME: " and reads one line from
// standard input into password_line (at most 254 characters), without the
// echo when standard input is a terminal. At end of input password_line
// keeps what it held. Returns password_line, never nullptr.
const char* ask_password(const char* name);
