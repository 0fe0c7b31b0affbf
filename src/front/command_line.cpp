// command_line.cpp - split a command line given as one text into its words.
#include "front/command_line.h"

#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Walks one word from text, copying its characters to out when out is not
// null. Returns the position after the word (and the blank that ended it).
const char* scan_word(const char* text, char* out, std::size_t* length) {
  bool quoted = false;
  std::size_t copied = 0;
  for (; *text != '\0'; ++text) {
    if (*text == '"') {
      quoted = !quoted;
      continue;
    }
    if (!quoted && is_blank(*text)) {
      ++text;
      break;
    }
    if (out != nullptr) out[copied] = *text;
    ++copied;
  }
  *length = copied;
  return text;
}

// Walks one word after the first by the rules of Windows programs (the C
// runtime's and CommandLineToArgvW's): blanks outside quotes end it, quotes
// group and are dropped, and backslashes count only before a quote: 2n of
// them give n and the quote groups, 2n + 1 give n and a literal quote.
const char* scan_argument(const char* text, char* out, std::size_t* length) {
  bool quoted = false;
  std::size_t copied = 0;
  auto put = [&](char c, std::size_t times) {
    for (std::size_t i = 0; i < times; ++i, ++copied) {
      if (out != nullptr) out[copied] = c;
    }
  };
  while (*text != '\0') {
    std::size_t backslashes = strspn(text, "\\");
    if (text[backslashes] == '"') {
      put('\\', backslashes / 2);
      if (backslashes % 2 == 1) put('"', 1);
      if (backslashes % 2 == 0) quoted = !quoted;
      text += backslashes + 1;
    } else if (backslashes > 0) {
      put('\\', backslashes);
      text += backslashes;
    } else if (!quoted && is_blank(*text)) {
      ++text;
      break;
    } else {
      put(*text++, 1);
    }
  }
  *length = copied;
  return text;
}

// Word 0 (the program's path, as the console hands it) by the console's
// rules; the words after it, which the stub only passes on to an
// installer's program, as Windows programs read theirs.
const char* scan_next_word(const char* text, bool first, char* out, std::size_t* length) {
  return first ? scan_word(text, out, length) : scan_argument(text, out, length);
}

const char* skip_blanks(const char* text) {
  while (is_blank(*text)) ++text;
  return text;
}

int count_words(const char* text) {
  int count = 0;
  std::size_t length;
  for (text = skip_blanks(text); *text != '\0'; text = skip_blanks(text)) {
    text = scan_next_word(text, count == 0, nullptr, &length);
    ++count;
  }
  return count;
}

}  // namespace

CommandWords split_command_line(const char* text) {
  CommandWords result;
  int count = count_words(text);
  // One buffer as long as the command line plus one byte holds every word
  // with its terminator: quotes and separators give at least that room.
  char* storage = static_cast<char*>(malloc(strlen(text) + 1));
  char** words = static_cast<char**>(malloc((static_cast<std::size_t>(count) + 1) * sizeof(char*)));
  if (storage == nullptr || words == nullptr) {
    free(storage);
    free(words);
    return result;
  }
  result.storage = storage;
  int index = 0;
  std::size_t length;
  for (text = skip_blanks(text); *text != '\0'; text = skip_blanks(text)) {
    text = scan_next_word(text, index == 0, storage, &length);
    storage[length] = '\0';
    words[index++] = storage;
    storage += length + 1;
  }
  words[index] = nullptr;
  result.count = count;
  result.words = words;
  return result;
}

void release_command_words(CommandWords* words) {
  free(words->storage);
  free(words->words);
  *words = CommandWords{};
}

CommandWords command_words(int argc, char** argv) {
  const char* text = platform_command_line();
  if (text != nullptr) return split_command_line(text);
  CommandWords result;
  result.count = argc;
  result.words = argv;
  return result;
}
