/* installer_probe.c - the program an installer test runs on Windows: writes its
   current folder and arguments (UTF-8) to the file named by REPORT, and
   "archive=open" when the self-extractor named by SETUP cannot be opened for
   itself alone (someone holds it open), and ends with the status of an
   argument "exit=N". */
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

static void put_utf8(FILE* out, const char* label, const wchar_t* text) {
  char bytes[4096];
  int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, sizeof bytes, NULL, NULL);
  fprintf(out, "%s[%s]\n", label, length > 0 ? bytes : "?");
}

int wmain(int argc, wchar_t** argv) {
  const wchar_t* report = _wgetenv(L"REPORT");
  FILE* out = report != NULL ? _wfopen(report, L"wb") : NULL;
  wchar_t folder[1024];
  int status = 0;
  int i;
  if (out == NULL) return 99;
  GetCurrentDirectoryW(1024, folder);
  put_utf8(out, "cwd=", folder);
  for (i = 1; i < argc; ++i) {
    put_utf8(out, "arg=", argv[i]);
    if (wcsncmp(argv[i], L"exit=", 5) == 0) status = _wtoi(argv[i] + 5);
  }
  put_utf8(out, "start=", _wgetenv(L"SFXSTUB_START_FOLDER") ? _wgetenv(L"SFXSTUB_START_FOLDER") : L"");
  put_utf8(out, "self=", _wgetenv(L"SFXSTUB_PATH") ? _wgetenv(L"SFXSTUB_PATH") : L"");
  if (_wgetenv(L"SETUP") != NULL) {
    HANDLE setup = CreateFileW(_wgetenv(L"SETUP"), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (setup == INVALID_HANDLE_VALUE) fprintf(out, "archive=open\n");
    else CloseHandle(setup);
  }
  fclose(out);
  return status;
}
