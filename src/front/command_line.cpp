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

const char* skip_blanks(const char* text) {
  while (is_blank(*text)) ++text;
  return text;
}

int count_words(const char* text) {
  int count = 0;
  std::size_t length;
  for (text = skip_blanks(text); *text != '\0'; text = skip_blanks(text)) {
    text = scan_word(text, nullptr, &length);
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
    text = scan_word(text, storage, &length);
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
