// platform_win32.cpp - the platform services on the Windows console (kernel32).
#include "platform/platform.h"
#include "platform/platform_shared.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <io.h>
#include <windows.h>

namespace {

int g_fake_console = -1;  // -1: ask the system

HANDLE g_hidden_console = INVALID_HANDLE_VALUE;
DWORD g_saved_console_mode = 0;

BOOL WINAPI restore_echo_on_interrupt(DWORD) {
  platform_show_input();
  return FALSE;  // the default handler then ends the process
}

}  // namespace

namespace {

// The code page of member names: the system's DOS (OEM) code page unless
// the member's name is UTF-8.
UINT g_name_code_page = CP_OEMCP;

// text in the names' code page as UTF-16, in memory that the caller frees;
// nullptr when it cannot be converted (invalid UTF-8) or no memory is left.
wchar_t* to_wide(const char* text) {
  DWORD flags = g_name_code_page == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
  int length = MultiByteToWideChar(g_name_code_page, flags, text, -1, nullptr, 0);
  if (length <= 0) return nullptr;
  wchar_t* wide = static_cast<wchar_t*>(malloc(static_cast<std::size_t>(length) * sizeof(wchar_t)));
  if (wide != nullptr && MultiByteToWideChar(g_name_code_page, flags, text, -1, wide, length) <= 0) {
    free(wide);
    return nullptr;
  }
  return wide;
}

// A path as Windows takes it at any length: a relative path shorter than a
// folder may be (MAX_PATH less 12, for the 8.3 name) stays as it is; a
// longer one becomes its full path behind \\?\ (\\?\UNC\ for a share),
// which lifts the limit. The caller frees it.
wchar_t* wide_path(const char* path) {
  constexpr int k_longest_plain_path = MAX_PATH - 12;
  wchar_t* wide = to_wide(path);
  if (wide == nullptr || wcslen(wide) < static_cast<std::size_t>(k_longest_plain_path)) return wide;
  DWORD full_length = GetFullPathNameW(wide, 0, nullptr, nullptr);
  const wchar_t* prefix = L"\\\\?\\";
  wchar_t* long_path = static_cast<wchar_t*>(malloc((full_length + 8) * sizeof(wchar_t)));
  if (full_length == 0 || long_path == nullptr) {
    free(long_path);
    return wide;
  }
  wchar_t* full = long_path + 7;  // room for the longest prefix, \\?\UNC
  if (GetFullPathNameW(wide, full_length, full, nullptr) == 0 || full_length < 3) {
    free(long_path);
    return wide;
  }
  free(wide);
  if (full[0] == L'\\' && full[1] == L'\\') {  // \\server\share\... becomes \\?\UNC\server\share\...
    full += 1;
    prefix = L"\\\\?\\UNC";
  }
  std::size_t prefix_length = wcslen(prefix);
  wchar_t* start = full - prefix_length;
  memcpy(start, prefix, prefix_length * sizeof(wchar_t));
  memmove(long_path, start, (wcslen(start) + 1) * sizeof(wchar_t));
  return long_path;
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
  wchar_t* wide = to_wide(text);
  if (wide == nullptr) return false;
  fflush(stream);
  DWORD written = 0;
  BOOL done = WriteConsoleW(console, wide, static_cast<DWORD>(wcslen(wide)), &written, nullptr);
  free(wide);
  return done;
}

}  // namespace

void platform_set_name_encoding(NameEncoding encoding) {
  g_name_code_page = encoding == NameEncoding::utf8 ? CP_UTF8 : CP_OEMCP;
}

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

const char* platform_command_line() { return GetCommandLineA(); }

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

FolderResult platform_make_directory(const char* path) {
  wchar_t* wide = wide_path(path);
  if (wide == nullptr) return FolderResult::failed;
  (void)CreateDirectoryW(wide, nullptr);
  DWORD attributes = GetFileAttributesW(wide);
  free(wide);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return FolderResult::failed;
  return FolderResult::ready;
}

FILE* platform_create_output_file(const char* path, int /*unix_mode*/) {
  wchar_t* wide = wide_path(path);
  if (wide == nullptr) return nullptr;
  FILE* file = _wfopen(wide, L"wb");
  free(wide);
  return file;
}

bool platform_make_link(const char* /*target*/, const char* /*path*/) { return false; }

const char* platform_drive_a_root() { return "A:\\"; }

bool platform_is_plain_file(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool platform_executable_path(char* buffer, std::size_t size) {
  DWORD length = GetModuleFileNameA(nullptr, buffer, static_cast<DWORD>(size));
  return length > 0 && length < size;
}

int platform_seek(FILE* stream, std::uint64_t offset) {
  __int64 target = static_cast<__int64>(offset);
  if (step_forward_by_reading(stream, _ftelli64(stream), target)) return 0;
  return _fseeki64(stream, target, SEEK_SET) == 0 ? 0 : -1;
}

std::int64_t platform_file_length(FILE* stream) {
  if (_fseeki64(stream, 0, SEEK_END) != 0) return -1;
  return static_cast<std::int64_t>(_ftelli64(stream));
}

namespace {

// The DOS time and date (local time) as a file time, or false.
bool file_time_of_dos_time(std::uint32_t dos_time_and_date, FILETIME* universal_time) {
  FILETIME local_time;
  return DosDateTimeToFileTime(static_cast<WORD>(dos_time_and_date >> 16), static_cast<WORD>(dos_time_and_date),
                               &local_time) &&
         LocalFileTimeToFileTime(&local_time, universal_time);
}

}  // namespace

void platform_set_file_times(FILE* file, std::uint32_t dos_time_and_date) {
  FILETIME universal_time;
  if (fflush(file) != 0 || !file_time_of_dos_time(dos_time_and_date, &universal_time)) return;
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  (void)SetFileTime(handle, nullptr, nullptr, &universal_time);
}

void platform_set_folder_times(const char* path, std::uint32_t dos_time_and_date, int /*unix_mode*/) {
  FILETIME universal_time;
  if (!file_time_of_dos_time(dos_time_and_date, &universal_time)) return;
  wchar_t* wide = wide_path(path);
  if (wide == nullptr) return;
  // A folder opens only with backup semantics; a reparse point is not followed.
  HANDLE folder = CreateFileW(wide, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                              nullptr);
  free(wide);
  if (folder == INVALID_HANDLE_VALUE) return;
  (void)SetFileTime(folder, nullptr, nullptr, &universal_time);
  CloseHandle(folder);
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

void platform_exit(int status) {
  _flushall();
  _fcloseall();
  ExitProcess(static_cast<UINT>(status));
}
