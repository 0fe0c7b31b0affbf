// mksfx_platform.cpp - mksfx's system services for POSIX and Windows; the only file with either's headers.
#include "mksfx_platform.h"

#ifdef _WIN32
#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>

#ifdef _WIN32

namespace {

// UTF-8 to UTF-16; bytes that are not UTF-8 become U+FFFD, which names no
// file that could be found, so their open fails as a missing file's would.
std::wstring wide_of(const std::string& text) {
  if (text.empty()) return std::wstring();
  int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

// UTF-16 to UTF-8; a lone surrogate, which only a name made outside the
// usual tools holds, becomes U+FFFD.
std::string utf8_of(const std::wstring& wide) {
  if (wide.empty()) return std::string();
  int length =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), length, nullptr, nullptr);
  return text;
}

}  // namespace

std::vector<std::string> command_line_words(int argc, char** argv) {
  int count = 0;
  LPWSTR* words = CommandLineToArgvW(GetCommandLineW(), &count);
  if (words == nullptr) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> utf8_words;
  for (int i = 0; i < count; ++i) utf8_words.push_back(utf8_of(words[i]));
  LocalFree(words);
  return utf8_words;
}

std::filesystem::path native_path(const std::string& path) { return std::filesystem::path(wide_of(path)); }

std::string name_of_path(const std::filesystem::path& path) { return utf8_of(path.native()); }

FILE* open_file(const std::string& path, const char* mode) {
  return _wfopen(wide_of(path).c_str(), wide_of(mode).c_str());
}

unsigned stored_permissions(std::filesystem::perms permissions) {
  return static_cast<unsigned>(permissions) & 07777 & ~022u;
}

bool read_random_bytes(void* buffer, std::size_t size) {
  NTSTATUS status =
      BCryptGenRandom(nullptr, static_cast<PUCHAR>(buffer), static_cast<ULONG>(size), BCRYPT_USE_SYSTEM_PREFERRED_RNG);
  return BCRYPT_SUCCESS(status);
}

FILE* create_new_file(const std::string& path) {
  int descriptor = _wopen(wide_of(path).c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
  if (descriptor < 0) return nullptr;
  FILE* file = _fdopen(descriptor, "wb");
  if (file == nullptr) _close(descriptor);
  return file;
}

FILE* create_spill_file() {
  wchar_t folder[MAX_PATH + 1];
  wchar_t name[MAX_PATH + 1];
  DWORD length = GetTempPathW(MAX_PATH + 1, folder);
  if (length == 0 || length > MAX_PATH || GetTempFileNameW(folder, L"sfx", 0, name) == 0) {
    errno = EACCES;
    return nullptr;
  }
  // Deleted when its last handle closes, also when the process is ended.
  HANDLE handle = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    DeleteFileW(name);
    errno = EACCES;
    return nullptr;
  }
  int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDWR | _O_BINARY);
  FILE* file = descriptor >= 0 ? _fdopen(descriptor, "w+b") : nullptr;
  if (file == nullptr && descriptor >= 0) _close(descriptor);
  if (descriptor < 0) CloseHandle(handle);
  return file;
}

bool seek_file(FILE* stream, std::uint64_t offset) {
  return _fseeki64(stream, static_cast<__int64>(offset), SEEK_SET) == 0;
}

const char* path_separators() { return "/\\"; }

const char* native_target_name() { return "win32"; }

std::uint32_t read_dos_attributes(const std::string& path) {
  DWORD attributes = GetFileAttributesW(wide_of(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return 0;
  return attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                       FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_ARCHIVE);
}

bool read_link_time(const std::string& path, std::time_t* mtime) {
  // The attributes of a link itself: Windows does not follow it here.
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(wide_of(path).c_str(), GetFileExInfoStandard, &data)) {
    errno = ENOENT;
    return false;
  }
  // 100-nanosecond steps since 1601; 11644473600 seconds before 1970.
  std::uint64_t steps =
      static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32 | data.ftLastWriteTime.dwLowDateTime;
  *mtime = static_cast<std::time_t>(steps / 10000000 - 11644473600ull);
  return true;
}

bool is_console(FILE* stream) { return _isatty(_fileno(stream)) != 0; }

unsigned file_creation_mask() { return 022; }

bool identify_file(const std::string& path, FileIdentity* identity) {
  // Backup semantics let a folder be opened too; no access is asked for.
  HANDLE handle = CreateFileW(wide_of(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION information;
  bool known = GetFileInformationByHandle(handle, &information) != 0;
  CloseHandle(handle);
  if (!known) return false;
  identity->device = information.dwVolumeSerialNumber;
  identity->number = static_cast<std::uint64_t>(information.nFileIndexHigh) << 32 | information.nFileIndexLow;
  return true;
}

#else

std::vector<std::string> command_line_words(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

std::filesystem::path native_path(const std::string& path) { return std::filesystem::path(path); }

std::string name_of_path(const std::filesystem::path& path) { return path.string(); }

FILE* open_file(const std::string& path, const char* mode) { return std::fopen(path.c_str(), mode); }

unsigned stored_permissions(std::filesystem::perms permissions) { return static_cast<unsigned>(permissions) & 07777; }

bool read_random_bytes(void* buffer, std::size_t size) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  while (size > 0) {
    // getrandom hands over at most 32 MiB a call and may be interrupted.
    ssize_t got = getrandom(bytes, size, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    bytes += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

FILE* create_new_file(const std::string& path) {
  int descriptor = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (descriptor < 0) return nullptr;
  FILE* file = fdopen(descriptor, "wb");
  if (file == nullptr) close(descriptor);
  return file;
}

FILE* create_spill_file() { return std::tmpfile(); }

bool seek_file(FILE* stream, std::uint64_t offset) { return fseeko(stream, static_cast<off_t>(offset), SEEK_SET) == 0; }

const char* path_separators() { return "/"; }

const char* native_target_name() {
#ifdef __aarch64__
  return "linux-arm64";
#else
  return "linux";
#endif
}

bool is_console(FILE* stream) { return isatty(fileno(stream)) == 1; }

unsigned file_creation_mask() {
  // umask can only be read by setting it; it is put back at once.
  mode_t mask = umask(0);
  umask(mask);
  return static_cast<unsigned>(mask);
}

std::uint32_t read_dos_attributes(const std::string& /*path*/) { return 0; }

bool read_link_time(const std::string& path, std::time_t* mtime) {
  struct stat information;
  if (lstat(path.c_str(), &information) != 0) return false;
  *mtime = information.st_mtime;
  return true;
}

bool identify_file(const std::string& path, FileIdentity* identity) {
  struct stat information;
  if (stat(path.c_str(), &information) != 0) return false;
  identity->device = static_cast<std::uint64_t>(information.st_dev);
  identity->number = static_cast<std::uint64_t>(information.st_ino);
  return true;
}

#endif
