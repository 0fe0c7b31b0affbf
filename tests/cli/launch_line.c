/* launch_line.c - starts the command line in the environment variable LAUNCH
   exactly as written (Windows hands a program its command line as one text)
   and ends with the started program's exit status; with LAUNCH_TEMP set, the
   program's TEMP and TMP name that folder (wine takes them from its registry,
   not from the Unix environment). */
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

int wmain(void) {
  STARTUPINFOW startup = {sizeof startup};
  PROCESS_INFORMATION process;
  DWORD status = 99;
  wchar_t* line = _wcsdup(_wgetenv(L"LAUNCH"));
  if (_wgetenv(L"LAUNCH_TEMP") != NULL) {
    SetEnvironmentVariableW(L"TEMP", _wgetenv(L"LAUNCH_TEMP"));
    SetEnvironmentVariableW(L"TMP", _wgetenv(L"LAUNCH_TEMP"));
  }
  if (!CreateProcessW(NULL, line, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process)) return 98;
  WaitForSingleObject(process.hProcess, INFINITE);
  GetExitCodeProcess(process.hProcess, &status);
  return (int)status;
}
