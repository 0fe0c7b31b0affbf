// platform_times_win32.cpp - the DOS times and attributes of extracted files, and folder times, on Windows.
#include "platform/platform.h"
#include "platform/platform_win32_internal.h"

#include <cstdlib>

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
