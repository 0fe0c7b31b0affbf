// messages.cpp - the printers, the archive error texts and the stream set-up.
#include "front/messages.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

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
  // What standard output holds goes first, so that on a console the two
  // streams appear in the order they were written (on Windows, line
  // buffering is full buffering).
  fflush(stdout);
  va_list arguments;
  va_start(arguments, format);
  platform_vfprintf(stderr, format, arguments);
  va_end(arguments);
}

void print_output(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  platform_vfprintf(stdout, format, arguments);
  va_end(arguments);
}

void print_progress(const char* name, const char* action) {
  print_output("%s: %s...", action, name);
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
  constexpr std::size_t k_console_buffer = 4096;
  char* buffer = platform_stream_buffer(k_console_buffer_slot, k_console_buffer);
  if (buffer != nullptr) setvbuf(stdout, buffer, _IOLBF, k_console_buffer);
  setvbuf(stderr, nullptr, _IONBF, 0);
}
