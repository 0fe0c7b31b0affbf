/* launch_line.c - starts the command line in the environment variable LAUNCH
   exactly as written (Windows hands a program its command line as one text)
   and ends with the started program's exit status. */
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

int wmain(void) {
  STARTUPINFOW startup = {sizeof startup};
  PROCESS_INFORMATION process;
  DWORD status = 99;
  wchar_t* line = _wcsdup(_wgetenv(L"LAUNCH"));
  if (!CreateProcessW(NULL, line, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process)) return 98;
  WaitForSingleObject(process.hProcess, INFINITE);
  GetExitCodeProcess(process.hProcess, &status);
  return (int)status;
}
