// installer_block.h - the installer block mksfx writes into the archive comment.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "source_tree.h"

// The maker's choices from the command line.
struct InstallerOptions {
  std::string destination;  // --dest
  bool temporary = false;   // --temp
  std::optional<std::string> run;  // --run, as given
  bool one_password = false;
  bool silent = false;
  std::optional<std::string> title;
  // True when any option asks for a block: without one, the output is what
  // it always was.
  bool any() const {
    return !destination.empty() || temporary || run || one_password || silent || title;
  }
};

// Splits --run's text into the program and its arguments: blanks separate
// words, '...' and "..." group (the quotes are dropped), a backslash is an
// ordinary character. Returns "" or the usage error (an unclosed quote, no
// program).
std::string split_run_words(const std::string& text, std::vector<std::string>* words);

// Writes --dest and the program with '/', the block's separator, in place
// of '\\', which separates folders on Windows (where a maker types
// "Program Data\\MyApp"); the program's arguments keep theirs.
void use_block_separators(InstallerOptions* options, std::vector<std::string>* run_words);

// Returns "" or why the stub would refuse the options: an unsafe folder or
// program name for rules, a control character, a title or argument list
// longer than the stub takes, --temp without --run or with --dest.
std::string check_installer_options(const InstallerOptions& options, const std::vector<std::string>& run_words,
                                    NameRules rules);

// The block: the marker line, one line per setting (the program's
// arguments one per line) and the end line.
std::string make_installer_block(const InstallerOptions& options, const std::vector<std::string>& run_words);

// True when the archive comment starts with an installer block (of any
// version, well formed or not: the stub would take it for one).
bool has_installer_block(const std::string& comment);

// The archive comment with its installer block (if any) left out: the free
// text after the block's end line, or "" when the block has no end line.
std::string comment_without_block(const std::string& comment);

// The program that the comment's installer block runs (its run= line), or
// "" when it has no block or runs nothing.
std::string program_of_block(const std::string& comment);
