// command_line.h - split a command line given as one text into its words.
#pragma once

struct CommandWords {
  int count = 0;
  char** words = nullptr;  // count words, then nullptr as the end marker
  char* storage = nullptr;  // the words' characters, when split here
};

// Splits text by the console rules: spaces and tabs separate words, double
// quotes group and are dropped, a backslash is an ordinary character. The
// words after the first (passed on to an installer's program) follow the
// rules of Windows programs instead: a backslash before a quote escapes it
// (2n backslashes give n and the quote groups, 2n + 1 give n and a quote).
// Returns count 0 with words nullptr when memory runs out.
CommandWords split_command_line(const char* text);

// Releases what split_command_line allocated (the program keeps its words
// until it ends; tests release them).
void release_command_words(CommandWords* words);

// The process's words: the platform's one-text command line split, or argv
// as given where the system has already split it.
CommandWords command_words(int argc, char** argv);
