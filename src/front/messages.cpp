// messages.cpp - the printers, the archive error texts and the stream set-up.
#include "front/messages.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const char* const error_messages[k_error_message_count] = {
    "No error",
    "",
    "Unexpected end of file reached. The zip archive may be corrupted.",
    "The zip archive is invalid.",
    "Out of memory.",
    "Internal logic error.",
    "Entry too large to split.",
    "Invalid comment format.",
    "",
    "User aborted.",
    "Temporary file error.",
    "Error while reading archive.",
    "Nothing to do!",
    "Invalid or missing zip archive.",
    "Error while writing output file.",
    "Error creating output file.",
    "Invalid parameters.",
    "",
    "Error while opening file.",
};

const char* error_text(ArchiveError code) {
  int index = static_cast<int>(code);
  if (index < 0 || index >= k_error_message_count) return "";
  return error_messages[index];
}

void print_line(const char* text) {
  fputs(text, stdout);
  fputc('\n', stdout);
}

void print_error(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  vfprintf(stderr, format, arguments);
  va_end(arguments);
}

void print_progress(const char* name, const char* action) {
  printf("%s: %s...", action, name);
  fflush(stdout);
}

const char* shown_name(const char* name) {
  static char* shown = nullptr;
  static std::size_t capacity = 0;
  if (name == nullptr) return "";
  std::size_t length = strlen(name);
  if (length + 1 > capacity) {
    char* larger = static_cast<char*>(realloc(shown, length + 1));
    if (larger == nullptr) return "?";
    shown = larger;
    capacity = length + 1;
  }
  for (std::size_t i = 0; i <= length; ++i) {
    unsigned char byte = static_cast<unsigned char>(name[i]);
    bool control = (byte < 0x20 && byte != 0) || byte == 0x7F;
    shown[i] = control ? '?' : name[i];
  }
  return shown;
}

void set_up_standard_streams() {
  // A buffer of our own: glibc ignores the size given with a null buffer.
  static char output_buffer[4096];
  setvbuf(stdout, output_buffer, _IOLBF, sizeof output_buffer);
  setvbuf(stderr, nullptr, _IONBF, 0);
}
