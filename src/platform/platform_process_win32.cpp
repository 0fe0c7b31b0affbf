// platform_process_win32.cpp - the program an installer runs, the console close meanwhile, the process end.
#include "platform/platform.h"
#include "platform/platform_win32_internal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

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

void platform_set_environment(const char* name, const char* value) {
  wchar_t* wide_name = to_wide(name);
  wchar_t* wide_value = to_wide(value);
  if (wide_name != nullptr && wide_value != nullptr) (void)SetEnvironmentVariableW(wide_name, wide_value);
  free(wide_name);
  free(wide_value);
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

int platform_run_program(const char* program, const char* const* words, int count) {
  bool batch = is_batch_file(program);
  wchar_t* path = to_wide(program);
  for (wchar_t* p = path; p != nullptr && *p != L'\0'; ++p) {
    if (*p == L'/') *p = L'\\';
  }
  wchar_t* line = path != nullptr ? build_command_line(path, words, count, batch) : nullptr;
  if (line == nullptr) remember_error_code(ERROR_NO_UNICODE_TRANSLATION);
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

void platform_exit(int status) {
  _flushall();
  _fcloseall();
  ExitProcess(static_cast<UINT>(status));
}
