// password_prompt.h - ask the user for a member's password on the console.
#pragma once

#include <cstddef>

constexpr int k_password_line_size = 256;

// The last password line read; empty at start, always NUL-terminated.
extern char password_line[k_password_line_size];

// Prints "Please enter the password for NAME: " and reads one line from
// standard input into password_line (at most 254 characters), without the
// echo when standard input is a terminal. At end of input password_line
// keeps what it held. Returns password_line, never nullptr.
const char* ask_password(const char* name);

// What a member's check made of a password.
enum class PasswordCheck { passed, failed, stop };

// Checks password for one member (the traditional cipher's header, or an
// AES member's verifier); context is the caller's. stop ends the search
// (the archive could not be read), after the check's own message.
using PasswordChecker = PasswordCheck (*)(const char* password, void* context);

// Whether one password serves the whole archive (the maker's choice): the
// first password that passes a member's check is kept and tried first on
// every later member, and the user is asked again only for a member that
// fails with it. Off by default: every member asks.
void set_one_password(bool enabled);

// Finds the password of the member shown as name: asks for it (or first
// tries the kept one) and checks it with check. Returns passed, failed
// (the member is to be skipped; counted in members_refused_for_password) or
// stop.
PasswordCheck find_member_password(const char* name, PasswordChecker check, void* context);

// How many members find_member_password has refused in this run.
int members_refused_for_password();

// Zeroes memory that held a password or key, in a way the compiler keeps.
void wipe_secret(void* memory, std::size_t size);

// Wipes the password line and the kept password, clears the count of
// refused members and turns one-password mode off.
void forget_passwords();
