// platform_folder_win32.cpp - folders on Windows: made, entered, the private temporary one, free space.
#include "platform/platform.h"
#include "platform/platform_win32_internal.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

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
  // The console handler of platform_run_program may remove it at the same time.
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

bool platform_free_space(std::uint64_t* bytes) {
  ULARGE_INTEGER available;
  if (!GetDiskFreeSpaceExW(L".", &available, nullptr, nullptr)) return false;
  *bytes = available.QuadPart;
  return true;
}
