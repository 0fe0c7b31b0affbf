// platform_error_win32.cpp - why the last call failed, and whether the disk is full, on Windows.
#include "platform/platform.h"
#include "platform/platform_win32_internal.h"

#include <cstdio>

namespace {

// Why the last call that failed failed, for platform_last_error_text.
DWORD g_last_error = 0;

}  // namespace

bool remember_error() {
  g_last_error = GetLastError();
  return false;
}

bool remember_error_code(DWORD error) {
  g_last_error = error;
  return false;
}

bool platform_disk_is_full() { return g_last_error == ERROR_DISK_FULL || g_last_error == ERROR_HANDLE_DISK_FULL; }

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
