// platform_file_win32.cpp - output files, the archive stream and plain-file checks on Windows.
#include "platform/platform.h"
#include "platform/platform_shared.h"
#include "platform/platform_win32_internal.h"

#include <cstdlib>
#include <io.h>

namespace {

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

bool platform_make_link(const char* /*target*/, const char* /*path*/) { return false; }

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
