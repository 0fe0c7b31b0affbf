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

namespace {

// The state of a progress line that set_progress_shown(false) hides.
enum class HiddenLine { none, open, interrupted };
bool g_progress_shown = true;
bool g_stdout_is_console = true;  // until set_up_standard_streams tells
HiddenLine g_hidden_line = HiddenLine::none;

// True when format ends a hidden progress line, which takes it (a line end
// only for a line that a prompt interrupted).
bool ends_hidden_line(const char* format) {
  if (g_hidden_line == HiddenLine::none) return false;
  if (strcmp(format, "done\n") != 0 && strcmp(format, "\n") != 0) {
    g_hidden_line = HiddenLine::interrupted;
    return false;
  }
  if (g_hidden_line == HiddenLine::interrupted) fputc('\n', stdout);
  g_hidden_line = HiddenLine::none;
  return true;
}

}  // namespace

void set_progress_shown(bool shown) { g_progress_shown = shown; }

void print_output(const char* format, ...) {
  if (ends_hidden_line(format)) return;
  va_list arguments;
  va_start(arguments, format);
  platform_vfprintf(stdout, format, arguments);
  va_end(arguments);
}

void print_progress(const char* name, const char* action) {
  if (!g_progress_shown) {
    g_hidden_line = HiddenLine::open;
    return;
  }
  print_output("%s: %s...", action, name);
  // On a console the line shows before the member's data is read.
  if (g_stdout_is_console) fflush(stdout);
}

namespace {

// The length of the well-formed UTF-8 sequence of two to four bytes at text,
// or 0 when the bytes there are none (overlong forms and surrogates are not).
std::size_t utf8_sequence_length(const unsigned char* text) {
  unsigned char low = 0x80;  // the range of the second byte
  unsigned char high = 0xBF;
  std::size_t length;
  if (text[0] >= 0xC2 && text[0] <= 0xDF) {
    length = 2;
  } else if (text[0] >= 0xE0 && text[0] <= 0xEF) {
    length = 3;
    if (text[0] == 0xE0) low = 0xA0;
    if (text[0] == 0xED) high = 0x9F;
  } else if (text[0] >= 0xF0 && text[0] <= 0xF4) {
    length = 4;
    if (text[0] == 0xF0) low = 0x90;
    if (text[0] == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text[1] < low || text[1] > high) return 0;
  // The terminator fails the test, so nothing past it is read.
  for (std::size_t i = 2; i < length; ++i) {
    if (text[i] < 0x80 || text[i] > 0xBF) return 0;
  }
  return length;
}

// Copies the character at text to out as it may be shown; returns the bytes
// taken from text, *written those put in out.
std::size_t show_character(const unsigned char* text, char* out, std::size_t* written) {
  *written = 1;
  if (text[0] < 0x20 || text[0] == 0x7F) {
    *out = '?';
    return 1;
  }
  // The Windows console shows bytes in its code page; C1 codes are a matter
  // of POSIX terminals, which take both the bytes 0x80-0x9F (in an 8-bit
  // character set) and their UTF-8 forms U+0080-U+009F as controls (0x9B
  // and C2 9B start an escape sequence as ESC [ does).
  if (text[0] < 0x80 || k_windows_names) {
    *out = static_cast<char>(text[0]);
    return 1;
  }
  std::size_t length = utf8_sequence_length(text);
  if (length == 0) {  // a byte outside any sequence
    *out = text[0] <= 0x9F ? '?' : static_cast<char>(text[0]);
    return 1;
  }
  if (text[0] == 0xC2 && text[1] <= 0x9F) {  // U+0080-U+009F
    *out = '?';
    return 2;
  }
  memcpy(out, text, length);
  *written = length;
  return length;
}

}  // namespace

bool is_valid_utf8(const char* text) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  while (*p != 0) {
    if (*p < 0x80) {
      ++p;
      continue;
    }
    std::size_t length = utf8_sequence_length(p);
    if (length == 0) return false;
    p += length;
  }
  return true;
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
  // A shown character is never longer than the bytes it stands for.
  const unsigned char* text = reinterpret_cast<const unsigned char*>(name);
  std::size_t taken = 0;
  std::size_t put = 0;
  while (taken < length) {
    std::size_t written;
    taken += show_character(text + taken, shown + put, &written);
    put += written;
  }
  shown[put] = '\0';
  return shown;
}

void set_up_standard_streams() {
  // Line by line where someone watches; a file or a pipe takes the lines a
  // buffer at a time (two writes a member otherwise), written out before
  // every prompt, every message on standard error and at the end, so that
  // a log of both streams keeps their order.
  constexpr std::size_t k_console_buffer = 4096;
  constexpr std::size_t k_redirected_buffer = 16384;
  g_stdout_is_console = platform_stdout_is_console();
  std::size_t size = g_stdout_is_console ? k_console_buffer : k_redirected_buffer;
  char* buffer = platform_stream_buffer(k_console_buffer_slot, size);
  if (buffer != nullptr) setvbuf(stdout, buffer, g_stdout_is_console ? _IOLBF : _IOFBF, size);
  setvbuf(stderr, nullptr, _IONBF, 0);
}
