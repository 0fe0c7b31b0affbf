// platform_console_win32.cpp - the console: UTF-16 text, the console check, the exit pause, the password echo.
#include "platform/platform.h"
#include "platform/platform_win32_internal.h"

#include <cstdlib>
#include <cwchar>
#include <io.h>

namespace {

int g_fake_console = -1;  // -1: ask the system

HANDLE g_hidden_console = INVALID_HANDLE_VALUE;
DWORD g_saved_console_mode = 0;

BOOL WINAPI restore_echo_on_interrupt(DWORD) {
  platform_show_input();
  return FALSE;  // the default handler then ends the process
}

// True when stream is a console window, which takes UTF-16 text.
bool is_console_stream(FILE* stream, HANDLE* console) {
  DWORD mode;
  *console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  return *console != INVALID_HANDLE_VALUE && GetFileType(*console) == FILE_TYPE_CHAR &&
         GetConsoleMode(*console, &mode);
}

// Writes formatted text on a console as UTF-16, so that names show their
// real characters; false when it cannot (the caller then writes the bytes).
bool write_console_text(FILE* stream, HANDLE console, const char* format, va_list arguments) {
  char text[4096];
  int length = _vsnprintf(text, sizeof text - 1, format, arguments);
  if (length < 0 || length >= static_cast<int>(sizeof text) - 1) return false;
  text[length] = '\0';
  // Texts are UTF-8, but for member names stored in the DOS code page, which
  // are shown as stored and are rarely well-formed UTF-8 once they hold
  // anything past ASCII.
  wchar_t* wide = to_wide(text);
  if (wide == nullptr) wide = wide_of(text, CP_OEMCP);
  if (wide == nullptr) return false;
  fflush(stream);
  DWORD written = 0;
  BOOL done = WriteConsoleW(console, wide, static_cast<DWORD>(wcslen(wide)), &written, nullptr);
  free(wide);
  return done;
}

}  // namespace

int platform_vfprintf(FILE* stream, const char* format, va_list arguments) {
  HANDLE console;
  if (is_console_stream(stream, &console)) {
    va_list copy;
    va_copy(copy, arguments);
    bool written = write_console_text(stream, console, format, copy);
    va_end(copy);
    if (written) return 0;
  }
  // A file or a pipe gets the bytes as stored, whatever their code page.
  return __ms_vfprintf(stream, format, arguments);
}

namespace {

void print_console(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  __ms_vfprintf(stdout, format, arguments);
  va_end(arguments);
}

}  // namespace

const char* platform_command_line() {
  static char* text = utf8_of(GetCommandLineW());
  return text != nullptr ? text : "";
}

bool platform_stdout_is_console() {
  if (g_fake_console >= 0) return g_fake_console == 1;
  return GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) == FILE_TYPE_CHAR;
}

void platform_fake_stdout_is_console(bool is_console) { g_fake_console = is_console ? 1 : 0; }

void platform_exit_pause() {
  print_console("\n \n Press Enter to continue \n");
  fflush(stdout);
  // The console's own input device, whatever standard input points at.
  HANDLE console = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
  char byte;
  DWORD count = 0;
  if (!ReadFile(console, &byte, 1, &count, nullptr)) {
    print_console("exit routine error GetLastError=%i \n", static_cast<int>(GetLastError()));
  }
  if (console != INVALID_HANDLE_VALUE) CloseHandle(console);
}

void platform_hide_input() {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode;
  if (GetFileType(input) != FILE_TYPE_CHAR || !GetConsoleMode(input, &mode)) return;
  SetConsoleCtrlHandler(restore_echo_on_interrupt, TRUE);
  if (SetConsoleMode(input, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT))) {
    g_hidden_console = input;
    g_saved_console_mode = mode;
  }
}

void platform_show_input() {
  if (g_hidden_console == INVALID_HANDLE_VALUE) return;
  SetConsoleMode(g_hidden_console, g_saved_console_mode);
  g_hidden_console = INVALID_HANDLE_VALUE;
  SetConsoleCtrlHandler(restore_echo_on_interrupt, FALSE);
}

// msvcrt marks descriptors 0-2 open at start even when the standard handle
// behind one is missing, so no file ever gets their numbers, and handles are
// not handed out lowest first: a closed stream only makes its reads and
// writes fail.
void platform_reserve_standard_streams() {}
