// platform_path_win32.cpp - names and paths on Windows: UTF-8 inside the stub, UTF-16 for the system.
#include "platform/platform.h"
#include "platform/platform_win32_internal.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

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

wchar_t* to_wide(const char* text) { return wide_of(text, CP_UTF8); }

char* utf8_of(const wchar_t* wide) {
  int length = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  char* text = length > 0 ? static_cast<char*>(malloc(static_cast<std::size_t>(length))) : nullptr;
  if (text != nullptr && WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, length, nullptr, nullptr) <= 0) {
    free(text);
    return nullptr;
  }
  return text;
}

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

char* platform_utf8_of_dos_name(const char* name) {
  wchar_t* wide = wide_of(name, CP_OEMCP);
  char* text = wide != nullptr ? utf8_of(wide) : nullptr;
  free(wide);
  return text;
}

const char* platform_drive_a_root() { return "A:\\"; }

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
