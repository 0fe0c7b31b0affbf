// platform_win32.cpp - the platform services on the Windows console (kernel32).
#include "platform/platform.h"
#include "platform/platform_shared.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <io.h>
#include <windows.h>

namespace {

// Why the last call that failed failed, for platform_last_error_text.
DWORD g_last_error = 0;

bool remember_error() {
  g_last_error = GetLastError();
  return false;
}

}  // namespace

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

// text in code_page as UTF-16, in memory that the caller frees; nullptr when
// it cannot be converted (invalid UTF-8) or no memory is left.
wchar_t* wide_of(const char* text, UINT code_page) {
  DWORD flags = code_page == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
  int length = MultiByteToWideChar(code_page, flags, text, -1, nullptr, 0);
  if (length <= 0) return nullptr;
  wchar_t* wide = static_cast<wchar_t*>(malloc(static_cast<std::size_t>(length) * sizeof(wchar_t)));
  if (wide != nullptr && MultiByteToWideChar(code_page, flags, text, -1, wide, length) <= 0) {
    free(wide);
    return nullptr;
  }
  return wide;
}

// Inside the stub every path and word is UTF-8; Windows is called in UTF-16.
wchar_t* to_wide(const char* text) { return wide_of(text, CP_UTF8); }

// UTF-16 as UTF-8, in memory that the caller frees (a lone surrogate, which
// only a name made outside the usual tools holds, becomes U+FFFD); nullptr
// when no memory is left.
char* utf8_of(const wchar_t* wide) {
  int length = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  char* text = length > 0 ? static_cast<char*>(malloc(static_cast<std::size_t>(length))) : nullptr;
  if (text != nullptr && WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, length, nullptr, nullptr) <= 0) {
    free(text);
    return nullptr;
  }
  return text;
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

char* platform_utf8_of_dos_name(const char* name) {
  wchar_t* wide = wide_of(name, CP_OEMCP);
  char* text = wide != nullptr ? utf8_of(wide) : nullptr;
  free(wide);
  return text;
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

namespace {

// The final path of a folder, every junction and link along it followed, in
// memory that the caller frees; nullptr when it cannot be told.
wchar_t* final_path_of(const wchar_t* folder) {
  HANDLE handle = CreateFileW(folder, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  DWORD length = GetFinalPathNameByHandleW(handle, nullptr, 0, 0);
  wchar_t* path = length > 0 ? static_cast<wchar_t*>(malloc((length + 1) * sizeof(wchar_t))) : nullptr;
  if (path != nullptr && GetFinalPathNameByHandleW(handle, path, length + 1, 0) == 0) {
    free(path);
    path = nullptr;
  }
  CloseHandle(handle);
  return path;
}

// True when folder, a junction or directory link, leads to the current
// folder or below it.
bool leads_inside_current_folder(const wchar_t* folder) {
  wchar_t* here = final_path_of(L".");
  wchar_t* there = final_path_of(folder);
  std::size_t length = here != nullptr ? wcslen(here) : 0;
  bool inside = here != nullptr && there != nullptr && _wcsnicmp(here, there, length) == 0 &&
                (there[length] == L'\0' || there[length] == L'\\' || here[length - 1] == L'\\');
  free(here);
  free(there);
  return inside;
}

}  // namespace

FolderResult platform_make_directory(const char* path) {
  wchar_t* wide = wide_path(path);
  if (wide == nullptr) return FolderResult::failed;
  (void)CreateDirectoryW(wide, nullptr);
  DWORD attributes = GetFileAttributesW(wide);
  FolderResult result = FolderResult::ready;
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    result = FolderResult::failed;
  } else if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && !leads_inside_current_folder(wide)) {
    result = FolderResult::outside;  // a junction or directory link planted in the extraction folder
  }
  free(wide);
  return result;
}

namespace {

HANDLE handle_of(OutputFile output) { return reinterpret_cast<HANDLE>(output.handle); }

HANDLE create_file_to_write(const wchar_t* path) {
  return CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Creates or overwrites path. Windows refuses to overwrite a hidden or
// system file (one that an earlier extraction made so) as a file without
// those attributes: they are taken off first. A read-only file stays.
HANDLE create_or_overwrite(const wchar_t* path) {
  HANDLE handle = create_file_to_write(path);
  if (handle != INVALID_HANDLE_VALUE || GetLastError() != ERROR_ACCESS_DENIED) return handle;
  DWORD attributes = GetFileAttributesW(path);
  bool hidden = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) == 0 &&
                (attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) != 0;
  if (!hidden || !SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  return create_file_to_write(path);
}

}  // namespace

OutputFile platform_create_output_file(const char* path, int /*unix_mode*/) {
  wchar_t* wide = wide_path(path);
  HANDLE handle = wide != nullptr ? create_or_overwrite(wide) : INVALID_HANDLE_VALUE;
  if (handle == INVALID_HANDLE_VALUE) remember_error();
  free(wide);
  return OutputFile{reinterpret_cast<std::intptr_t>(handle)};
}

bool platform_write_output(OutputFile output, const unsigned char* data, std::size_t count) {
  while (count > 0) {
    DWORD chunk = count < 0x40000000u ? static_cast<DWORD>(count) : 0x40000000u;
    DWORD written = 0;
    if (!WriteFile(handle_of(output), data, chunk, &written, nullptr) || written == 0) return remember_error();
    data += written;
    count -= written;
  }
  return true;
}

bool platform_empty_output(OutputFile output) {
  LARGE_INTEGER start = {};
  return SetFilePointerEx(handle_of(output), start, nullptr, FILE_BEGIN) && SetEndOfFile(handle_of(output));
}

bool platform_close_output(OutputFile output) { return CloseHandle(handle_of(output)) || remember_error(); }

bool platform_disk_is_full() { return g_last_error == ERROR_DISK_FULL || g_last_error == ERROR_HANDLE_DISK_FULL; }

// Members are decoded in memory instead: a file mapping would add code to
// the smallest stub for the largest members only.
bool platform_map_input(FILE*, std::uint64_t, std::uint64_t, MappedRegion*) { return false; }
bool platform_map_output(OutputFile, std::uint64_t, MappedRegion*) { return false; }
void platform_unmap(MappedRegion* region) { *region = MappedRegion{}; }
bool platform_run_on_mappings(bool (*work)(void*), void* context) { return work(context); }

bool platform_make_link(const char* /*target*/, const char* /*path*/) { return false; }

const char* platform_drive_a_root() { return "A:\\"; }

bool platform_is_plain_file(const char* path) {
  wchar_t* wide = wide_path(path);
  DWORD attributes = wide != nullptr ? GetFileAttributesW(wide) : INVALID_FILE_ATTRIBUTES;
  free(wide);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

namespace {

// Marks the stream's handle as one that no started program inherits.
FILE* not_inherited(FILE* stream) {
  if (stream != nullptr) {
    (void)SetHandleInformation(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))), HANDLE_FLAG_INHERIT, 0);
  }
  return stream;
}

}  // namespace

FILE* platform_open_archive(const char* path) {
  wchar_t* wide = wide_path(path);
  FILE* stream = wide != nullptr ? not_inherited(_wfopen(wide, L"rb")) : nullptr;
  free(wide);
  return stream;
}

FILE* platform_reopen_archive(const char* path, FILE* stream) {
  wchar_t* wide = wide_path(path);
  // freopen closes the stream also when the name cannot be converted.
  FILE* reopened = wide != nullptr ? not_inherited(_wfreopen(wide, L"rb", stream)) : (fclose(stream), nullptr);
  free(wide);
  return reopened;
}

bool platform_executable_path(char* buffer, std::size_t size) {
  constexpr DWORD k_longest_path = 32768;  // what Windows allows behind \\?\ .
  wchar_t* wide = static_cast<wchar_t*>(malloc(k_longest_path * sizeof(wchar_t)));
  DWORD length = wide != nullptr ? GetModuleFileNameW(nullptr, wide, k_longest_path) : 0;
  char* text = length > 0 && length < k_longest_path ? utf8_of(wide) : nullptr;
  free(wide);
  bool fits = text != nullptr && strlen(text) < size;
  if (fits) strcpy(buffer, text);
  free(text);
  return fits;
}

int platform_seek(FILE* stream, std::uint64_t offset) { return platform_seek_from(stream, _ftelli64(stream), offset); }

int platform_seek_from(FILE* stream, std::int64_t position, std::uint64_t offset) {
  __int64 target = static_cast<__int64>(offset);
  if (step_forward_by_reading(stream, position, target)) return 0;
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

void platform_set_file_times(OutputFile file, std::uint32_t dos_time_and_date, std::uint32_t dos_attributes) {
  FILETIME universal_time;
  if (!file_time_of_dos_time(dos_time_and_date, &universal_time)) return;
  // Time and attributes in one call on the open handle; attributes of 0
  // leave the file's as they are.
  FILE_BASIC_INFO information = {};
  information.LastWriteTime.LowPart = universal_time.dwLowDateTime;
  information.LastWriteTime.HighPart = static_cast<LONG>(universal_time.dwHighDateTime);
  information.FileAttributes = dos_attributes & (k_dos_read_only | k_dos_hidden | k_dos_system);
  (void)SetFileInformationByHandle(handle_of(file), FileBasicInfo, &information, sizeof information);
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

namespace {

// The folder that was current before the temporary folder, and the
// temporary folder's full path behind \\?\ (so that no depth is too deep).
wchar_t* g_start_folder = nullptr;
wchar_t g_temp_folder[MAX_PATH + 64];
CRITICAL_SECTION g_removal;

// Removes everything below folder (a full path), then folder itself. A
// link or junction is removed as itself, never followed.
bool remove_tree(const wchar_t* folder) {
  std::size_t length = wcslen(folder);
  wchar_t* pattern = static_cast<wchar_t*>(malloc((length + 3) * sizeof(wchar_t)));
  if (pattern == nullptr) return false;
  memcpy(pattern, folder, length * sizeof(wchar_t));
  memcpy(pattern + length, L"\\*", 3 * sizeof(wchar_t));
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(pattern, &found);
  free(pattern);
  bool removed = true;
  while (search != INVALID_HANDLE_VALUE) {
    const wchar_t* name = found.cFileName;
    if (wcscmp(name, L".") != 0 && wcscmp(name, L"..") != 0) {
      std::size_t child_length = length + 1 + wcslen(name);
      wchar_t* child = static_cast<wchar_t*>(malloc((child_length + 1) * sizeof(wchar_t)));
      if (child == nullptr) {
        removed = false;
      } else {
        _snwprintf(child, child_length + 1, L"%ls\\%ls", folder, name);
        DWORD attributes = found.dwFileAttributes;
        bool is_folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) SetFileAttributesW(child, FILE_ATTRIBUTE_NORMAL);
        if (is_folder && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
          if (!remove_tree(child)) removed = false;
        } else if (!(is_folder ? RemoveDirectoryW(child) : DeleteFileW(child))) {
          removed = remember_error();
        }
        free(child);
      }
    }
    if (!FindNextFileW(search, &found)) {
      FindClose(search);
      search = INVALID_HANDLE_VALUE;
    }
  }
  SetFileAttributesW(folder, FILE_ATTRIBUTE_NORMAL);
  if (!RemoveDirectoryW(folder)) removed = remember_error();
  return removed;
}

// Appends word to line as CommandLineToArgvW and msvcrt read it back: in
// quotes when it is empty or holds a blank or quote, each quote escaped and
// the backslashes before a quote (or the closing one) doubled.
wchar_t* append_quoted(wchar_t* line, const wchar_t* word) {
  if (word[0] != L'\0' && wcspbrk(word, L" \t\n\v\"") == nullptr) {
    std::size_t length = wcslen(word);
    memcpy(line, word, length * sizeof(wchar_t));
    return line + length;
  }
  *line++ = L'"';
  for (const wchar_t* p = word;; ++p) {
    std::size_t backslashes = 0;
    while (*p == L'\\') {
      ++backslashes;
      ++p;
    }
    if (*p == L'\0' || *p == L'"') backslashes *= 2;
    for (std::size_t i = 0; i < backslashes; ++i) *line++ = L'\\';
    if (*p == L'\0') break;
    if (*p == L'"') *line++ = L'\\';
    *line++ = *p;
  }
  *line++ = L'"';
  return line;
}

// Appends word to line for cmd.exe, which reads a batch program's command
// line by rules of its own: in quotes when it is empty or holds anything but
// letters, digits and - _ . / \ : @ # $, so that blanks, & | < > ( ) ^ , ; =
// and ! stay in the word. Nothing else is escaped: the words given here hold
// no quote, percent sign or line end (platform_runs_through_interpreter).
wchar_t* append_for_interpreter(wchar_t* line, const wchar_t* word) {
  bool plain = word[0] != L'\0';
  for (const wchar_t* p = word; *p != L'\0' && plain; ++p) {
    plain = iswalnum(*p) || wcschr(L"-_./\\:@#$", *p) != nullptr;
  }
  if (!plain) *line++ = L'"';
  std::size_t length = wcslen(word);
  memcpy(line, word, length * sizeof(wchar_t));
  line += length;
  if (!plain) *line++ = L'"';
  return line;
}

// The command interpreter, started for a batch program: no AutoRun commands
// (/d), command extensions on and delayed expansion off whatever the
// registry says (/e:on /v:off), and the command in one more pair of quotes,
// which /c takes off again.
constexpr const wchar_t* k_interpreter_start = L"cmd.exe /d /e:on /v:off /c \"";

// The child's command line: the program and every word, each quoted (for
// cmd.exe when batch); the caller frees it. nullptr when a word cannot be
// converted.
wchar_t* build_command_line(const wchar_t* program, const char* const* words, int count, bool batch) {
  // A quoted word takes at most twice its characters and three more.
  std::size_t size = 2 * wcslen(program) + 4 + (batch ? wcslen(k_interpreter_start) + 1 : 0);
  wchar_t** wide_words = static_cast<wchar_t**>(calloc(static_cast<std::size_t>(count) + 1, sizeof(wchar_t*)));
  bool converted = wide_words != nullptr;
  for (int i = 0; converted && i < count; ++i) {
    wide_words[i] = to_wide(words[i]);
    converted = wide_words[i] != nullptr;
    if (converted) size += 2 * wcslen(wide_words[i]) + 4;
  }
  wchar_t* line = converted ? static_cast<wchar_t*>(malloc(size * sizeof(wchar_t))) : nullptr;
  if (line != nullptr) {
    wchar_t* end = line;
    if (batch) {
      wcscpy(end, k_interpreter_start);
      end += wcslen(k_interpreter_start);
    }
    end = append_quoted(end, program);
    for (int i = 0; i < count; ++i) {
      *end++ = L' ';
      end = batch ? append_for_interpreter(end, wide_words[i]) : append_quoted(end, wide_words[i]);
    }
    if (batch) *end++ = L'"';
    *end = L'\0';
  }
  for (int i = 0; wide_words != nullptr && i < count; ++i) free(wide_words[i]);
  free(wide_words);
  return line;
}

}  // namespace

bool platform_current_folder(char* buffer, std::size_t size) {
  DWORD length = GetCurrentDirectoryW(0, nullptr);
  wchar_t* wide = length > 0 ? static_cast<wchar_t*>(malloc(length * sizeof(wchar_t))) : nullptr;
  char* text = wide != nullptr && GetCurrentDirectoryW(length, wide) != 0 ? utf8_of(wide) : nullptr;
  free(wide);
  bool fits = text != nullptr && strlen(text) < size;
  if (fits) strcpy(buffer, text);
  free(text);
  return fits;
}

void platform_set_environment(const char* name, const char* value) {
  wchar_t* wide_name = to_wide(name);
  wchar_t* wide_value = to_wide(value);
  if (wide_name != nullptr && wide_value != nullptr) (void)SetEnvironmentVariableW(wide_name, wide_value);
  free(wide_name);
  free(wide_value);
}

bool platform_enter_folder(const char* path) {
  wchar_t* wide = to_wide(path);
  bool entered = wide != nullptr && SetCurrentDirectoryW(wide);
  if (!entered) remember_error();
  free(wide);
  return entered;
}

bool platform_enter_private_temp_folder() {
  InitializeCriticalSection(&g_removal);
  wchar_t parent[MAX_PATH + 1];
  DWORD length = GetTempPathW(MAX_PATH + 1, parent);
  DWORD start_length = GetCurrentDirectoryW(0, nullptr);
  g_start_folder = static_cast<wchar_t*>(malloc((start_length + 1) * sizeof(wchar_t)));
  if (length == 0 || length > MAX_PATH || g_start_folder == nullptr ||
      GetCurrentDirectoryW(start_length + 1, g_start_folder) == 0) {
    remember_error();
    free(g_start_folder);
    g_start_folder = nullptr;
    return false;
  }
  if (parent[length - 1] == L'\\') parent[--length] = L'\0';
  // The folder is created anew, never taken over: a taken name gets another.
  DWORD seed = GetTickCount() ^ (GetCurrentProcessId() << 16);
  for (int attempt = 0; attempt < 100; ++attempt) {
    _snwprintf(g_temp_folder, sizeof g_temp_folder / sizeof g_temp_folder[0], L"\\\\?\\%ls\\sfx-%08lx", parent,
               static_cast<unsigned long>(seed + attempt * 7919u));
    if (CreateDirectoryW(g_temp_folder, nullptr)) {
      if (SetCurrentDirectoryW(g_temp_folder + 4)) return true;
      remember_error();
      RemoveDirectoryW(g_temp_folder);
      break;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) {
      remember_error();
      break;
    }
  }
  free(g_start_folder);
  g_start_folder = nullptr;
  return false;
}

bool platform_remove_private_temp_folder() {
  // The console handler below may remove it at the same time.
  EnterCriticalSection(&g_removal);
  bool removed = true;
  if (g_start_folder != nullptr) {
    // A process's current folder cannot be removed.
    removed = SetCurrentDirectoryW(g_start_folder) || remember_error();
    free(g_start_folder);
    g_start_folder = nullptr;
    removed = remove_tree(g_temp_folder) && removed;
  }
  LeaveCriticalSection(&g_removal);
  return removed;
}

namespace {

HANDLE g_program = nullptr;

// Ctrl+C and Ctrl+Break reach the program, which shares the console: the
// stub waits for it and cleans up. Closing the console, logging off and
// shutting down end the stub when this handler returns, and the program gets
// the same event: the handler gives it a few seconds (Windows allows five)
// and removes the temporary folder first.
BOOL WINAPI clean_up_at_console_close(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
  WaitForSingleObject(g_program, 3000);
  (void)platform_remove_private_temp_folder();
  ExitProcess(1);
}

}  // namespace

namespace {

// True for a .bat or .cmd file, whatever the case of its extension and the
// dots and blanks that Windows drops from the end of a name.
bool is_batch_file(const char* program) {
  std::size_t length = strlen(program);
  while (length > 0 && (program[length - 1] == '.' || program[length - 1] == ' ')) --length;
  const char* extension = program + length - 4;
  return length >= 4 && (_strnicmp(extension, ".bat", 4) == 0 || _strnicmp(extension, ".cmd", 4) == 0);
}

// Starts the program by its own file, so that no search path is tried and
// no other program can take its place; a batch program by the system's
// cmd.exe. False after the error is remembered.
bool start_program(const wchar_t* path, wchar_t* line, bool batch, PROCESS_INFORMATION* process) {
  wchar_t interpreter[MAX_PATH + 16];
  const wchar_t* application = path;
  if (batch) {
    UINT length = GetSystemDirectoryW(interpreter, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return remember_error();
    wcscpy(interpreter + length, L"\\cmd.exe");
    application = interpreter;
  }
  STARTUPINFOW startup;
  memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  fflush(nullptr);
  return CreateProcessW(application, line, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, process) ||
         remember_error();
}

}  // namespace

bool platform_runs_through_interpreter(const char* program) { return is_batch_file(program); }

bool platform_cpu_has_crc32_instructions() { return false; }

bool platform_free_space(std::uint64_t* bytes) {
  ULARGE_INTEGER available;
  if (!GetDiskFreeSpaceExW(L".", &available, nullptr, nullptr)) return false;
  *bytes = available.QuadPart;
  return true;
}

int platform_run_program(const char* program, const char* const* words, int count) {
  bool batch = is_batch_file(program);
  wchar_t* path = to_wide(program);
  for (wchar_t* p = path; p != nullptr && *p != L'\0'; ++p) {
    if (*p == L'/') *p = L'\\';
  }
  wchar_t* line = path != nullptr ? build_command_line(path, words, count, batch) : nullptr;
  if (line == nullptr) g_last_error = ERROR_NO_UNICODE_TRANSLATION;
  PROCESS_INFORMATION process;
  bool started = line != nullptr && start_program(path, line, batch, &process);
  free(line);
  free(path);
  if (!started) return -1;
  g_program = process.hProcess;
  SetConsoleCtrlHandler(clean_up_at_console_close, TRUE);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 1;
  GetExitCodeProcess(process.hProcess, &status);
  SetConsoleCtrlHandler(clean_up_at_console_close, FALSE);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(status);
}

int platform_ending_signal() { return 0; }
void platform_end_by_signal(int) {}

// ERROR_ELEVATION_REQUIRED, which mingw's headers lack.
constexpr DWORD k_error_elevation_required = 740;

const char* platform_last_error_text() {
  // In words, for the errors an installer's run meets; the number as well.
  const char* words = nullptr;
  switch (g_last_error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      words = "not found";
      break;
    case ERROR_ACCESS_DENIED:
      words = "access denied";
      break;
    case ERROR_BAD_EXE_FORMAT:
    case ERROR_EXE_MACHINE_TYPE_MISMATCH:
      words = "not a program for this Windows";
      break;
    case k_error_elevation_required:
      words = "it must be run as administrator";
      break;
  }
  static char text[96];
  unsigned long number = g_last_error;
  if (words != nullptr) {
    _snprintf(text, sizeof text - 1, "%s (Windows error %lu)", words, number);
  } else {
    _snprintf(text, sizeof text - 1, "Windows error %lu", number);
  }
  return text;
}
