// mksfx_platform.cpp - mksfx's system services for POSIX and Windows; the only file with either's headers.
#include "mksfx_platform.h"

#ifdef _WIN32
#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>

#ifdef _WIN32

bool read_random_bytes(void* buffer, std::size_t size) {
  NTSTATUS status =
      BCryptGenRandom(nullptr, static_cast<PUCHAR>(buffer), static_cast<ULONG>(size), BCRYPT_USE_SYSTEM_PREFERRED_RNG);
  return BCRYPT_SUCCESS(status);
}

FILE* create_new_file(const std::string& path) {
  int descriptor = _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
  if (descriptor < 0) return nullptr;
  FILE* file = _fdopen(descriptor, "wb");
  if (file == nullptr) _close(descriptor);
  return file;
}

const char* path_separators() { return "/\\"; }

bool is_console(FILE* stream) { return _isatty(_fileno(stream)) != 0; }

unsigned file_creation_mask() { return 022; }

bool identify_file(const std::string& path, FileIdentity* identity) {
  // Backup semantics let a folder be opened too; no access is asked for.
  HANDLE handle = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
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

const char* path_separators() { return "/"; }

bool is_console(FILE* stream) { return isatty(fileno(stream)) == 1; }

unsigned file_creation_mask() {
  // umask can only be read by setting it; it is put back at once.
  mode_t mask = umask(0);
  umask(mask);
  return static_cast<unsigned>(mask);
}

bool identify_file(const std::string& path, FileIdentity* identity) {
  struct stat information;
  if (stat(path.c_str(), &information) != 0) return false;
  identity->device = static_cast<std::uint64_t>(information.st_dev);
  identity->number = static_cast<std::uint64_t>(information.st_ino);
  return true;
}

#endif
