// installer_block.cpp - the installer block mksfx writes into the archive comment.
#include "installer_block.h"

#include <algorithm>
#include <cstring>

#include "front/installer_config.h"

namespace {

bool has_control_character(const std::string& text) {
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return true;
  }
  return false;
}

// Why the stub would refuse name as a folder or program, or "".
std::string refusal_of_relative_name(const std::string& name, NameRules rules) {
  if (name[0] == '\\') return "an absolute path";
  if (has_control_character(name)) return "a control character";
  return refusal_of_name(name, rules);
}

// The lines of the block at the comment's start, line ends dropped, from
// the marker line up to the end line as the stub reads them; *rest is where
// the free text after the end line starts (npos when there is no end line).
std::vector<std::string> read_block_lines(const std::string& comment, std::size_t* rest) {
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < comment.size();) {
    std::size_t line_end = comment.find('\n', start);
    if (line_end == std::string::npos) break;
    std::string line = comment.substr(start, line_end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    start = line_end + 1;
    if (!lines.empty() && line == "end") {
      *rest = start;
      return lines;
    }
    lines.push_back(line);
  }
  *rest = std::string::npos;
  return lines;
}

}  // namespace

std::string split_run_words(const std::string& text, std::vector<std::string>* words) {
  words->clear();
  std::string word;
  bool in_word = false;
  char quote = '\0';
  for (char c : text) {
    if (quote != '\0') {
      if (c == quote) {
        quote = '\0';
      } else {
        word += c;
      }
    } else if (c == '\'' || c == '"') {
      quote = c;
      in_word = true;
    } else if (c == ' ' || c == '\t') {
      if (in_word) words->push_back(word);
      word.clear();
      in_word = false;
    } else {
      word += c;
      in_word = true;
    }
  }
  if (quote != '\0') return std::string("--run has an unclosed ") + quote;
  if (in_word) words->push_back(word);
  if (words->empty() || (*words)[0].empty()) return "--run names no program";
  return "";
}

void use_block_separators(InstallerOptions* options, std::vector<std::string>* run_words) {
  std::replace(options->destination.begin(), options->destination.end(), '\\', '/');
  if (!run_words->empty()) std::replace((*run_words)[0].begin(), (*run_words)[0].end(), '\\', '/');
}

std::string check_installer_options(const InstallerOptions& options, const std::vector<std::string>& run_words,
                                    NameRules rules) {
  if (options.temporary && !options.destination.empty()) return "--temp and --dest exclude each other";
  if (options.temporary && !options.run) return "--temp needs --run: the folder is removed after the program";
  if (!options.destination.empty()) {
    std::string refusal = refusal_of_relative_name(options.destination, rules);
    if (!refusal.empty()) return "--dest " + options.destination + ": " + refusal;
  }
  if (options.run) {
    const std::string& program = run_words[0];
    std::string refusal = refusal_of_relative_name(program, rules);
    if (refusal.empty() && program.back() == '/') refusal = "a folder";
    if (!refusal.empty()) return "--run " + program + ": " + refusal;
    if (run_words.size() - 1 > static_cast<std::size_t>(k_max_program_arguments)) {
      return "--run has more than " + std::to_string(k_max_program_arguments) + " arguments";
    }
    for (const std::string& word : run_words) {
      if (has_control_character(word)) return "--run holds a control character";
    }
  }
  if (options.title) {
    if (options.title->empty()) return "--title is empty";
    if (has_control_character(*options.title)) return "--title holds a control character";
    if (options.title->size() > k_max_title_length) {
      return "--title is longer than " + std::to_string(k_max_title_length) + " bytes";
    }
  }
  return "";
}

std::string make_installer_block(const InstallerOptions& options, const std::vector<std::string>& run_words) {
  std::string block = k_installer_marker + std::to_string(k_installer_version) + "\n";
  if (options.title) block += "title=" + *options.title + "\n";
  if (!options.destination.empty()) block += "dest=" + options.destination + "\n";
  if (options.temporary) block += "temp\n";
  if (options.run) {
    block += "run=" + run_words[0] + "\n";
    for (std::size_t i = 1; i < run_words.size(); ++i) block += "arg=" + run_words[i] + "\n";
  }
  if (options.one_password) block += "one-password\n";
  if (options.silent) block += "silent\n";
  return block + "end\n";
}

bool has_installer_block(const std::string& comment) {
  return comment.compare(0, std::strlen(k_installer_marker), k_installer_marker) == 0;
}

std::string comment_without_block(const std::string& comment) {
  if (!has_installer_block(comment)) return comment;
  std::size_t rest = 0;
  read_block_lines(comment, &rest);
  return rest == std::string::npos ? "" : comment.substr(rest);
}

std::string program_of_block(const std::string& comment) {
  if (!has_installer_block(comment)) return "";
  std::size_t rest = 0;
  for (const std::string& line : read_block_lines(comment, &rest)) {
    if (line.compare(0, 4, "run=") == 0) return line.substr(4);
  }
  return "";
}
