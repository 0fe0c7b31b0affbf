// platform_file_posix.cpp - output files, the archive stream, links and plain-file checks on POSIX.
#include "platform/platform.h"
#include "platform/platform_shared.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// The creation mask, read once: a new file whose bits it leaves whole needs
// no fchmod.
mode_t creation_mask() {
  static mode_t mask = [] {
    mode_t found = umask(0);
    umask(found);
    return found;
  }();
  return mask;
}

// Opens what is already at path as a new plain file of its own: a plain
// file with one name is overwritten, anything else (a link, FIFO, device,
// a file with other names) is removed first; a folder stays, and the open
// fails on it. Returns the descriptor, or -1.
int open_over_what_is_there(const char* path, mode_t mode) {
  // O_NOFOLLOW and O_NONBLOCK: a link or FIFO put there after the look below
  // makes the open fail instead of leading elsewhere or waiting for ever.
  int flags = O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  struct stat found;
  if (lstat(path, &found) != 0) {
    flags |= O_EXCL;
  } else if (S_ISREG(found.st_mode) && found.st_nlink == 1) {
    flags |= O_TRUNC;
  } else if (!S_ISDIR(found.st_mode)) {
    if (unlink(path) != 0) return -1;
    flags |= O_EXCL;
  }
  // Open for reading too, which a member decoded into its mapped file needs;
  // a file there that may only be written is still overwritten.
  int descriptor = open(path, flags | O_RDWR, mode);
  if (descriptor < 0 && errno == EACCES) descriptor = open(path, flags | O_WRONLY, mode);
  struct stat opened;
  if (descriptor >= 0 && (fstat(descriptor, &opened) != 0 || !S_ISREG(opened.st_mode) || opened.st_nlink != 1)) {
    close(descriptor);
    return -1;
  }
  return descriptor;
}

// open with the kernel's own call: musl's open follows O_CLOEXEC with an
// fcntl for kernels older than 2.6.23, one more system call per member.
int open_directly(const char* path, int flags, mode_t mode) {
#if defined(__linux__) && defined(SYS_openat)
  return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
#else
  return open(path, flags, mode);
#endif
}

}  // namespace

OutputFile platform_create_output_file(const char* path, int unix_mode) {
  mode_t mode = unix_mode >= 0 ? static_cast<mode_t>(unix_mode & 0777) : 0666;
  // Most members make a new file: created exclusively, it is nothing but that.
  int descriptor = open_directly(path, O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_RDWR, mode);
  bool created = descriptor >= 0;
  if (!created && errno == EEXIST) descriptor = open_over_what_is_there(path, mode);
  // The creation mask may have narrowed the bits, never widened them; an
  // overwritten file takes the member's bits before any of its data.
  bool narrowed = !created || (mode & ~creation_mask()) != mode;
  if (descriptor >= 0 && unix_mode >= 0 && narrowed) (void)fchmod(descriptor, mode);
  return OutputFile{descriptor};
}

bool platform_write_output(OutputFile output, const unsigned char* data, std::size_t count) {
  int descriptor = static_cast<int>(output.handle);
  while (count > 0) {
    ssize_t written = write(descriptor, data, count);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    count -= static_cast<std::size_t>(written);
  }
  return true;
}

bool platform_empty_output(OutputFile output) {
  int descriptor = static_cast<int>(output.handle);
  return ftruncate(descriptor, 0) == 0 && lseek(descriptor, 0, SEEK_SET) == 0;
}

bool platform_close_output(OutputFile output) { return close(static_cast<int>(output.handle)) == 0; }

bool platform_make_link(const char* target, const char* path) {
  struct stat found;
  if (lstat(path, &found) == 0 && !S_ISDIR(found.st_mode) && unlink(path) != 0) return false;
  return symlink(target, path) == 0;
}

bool platform_is_plain_file(const char* path) {
  struct stat found;
  return stat(path, &found) == 0 && S_ISREG(found.st_mode);
}

FILE* platform_open_archive(const char* path) { return fopen(path, "rbe"); }

FILE* platform_reopen_archive(const char* path, FILE* stream) { return freopen(path, "rbe", stream); }

// glibc keeps its buffer when the target lies inside it, but still moves the
// descriptor with lseek each time: two system calls per member. A short step
// forward (from a member's data to the next local header) is taken by reading.
int platform_seek(FILE* stream, std::uint64_t offset) { return platform_seek_from(stream, ftello(stream), offset); }

int platform_seek_from(FILE* stream, std::int64_t position, std::uint64_t offset) {
  off_t target = static_cast<off_t>(offset);
  if (step_forward_by_reading(stream, position, target)) return 0;
  return fseeko(stream, target, SEEK_SET) == 0 ? 0 : -1;
}

std::int64_t platform_file_length(FILE* stream) {
  if (fseeko(stream, 0, SEEK_END) != 0) return -1;
  return static_cast<std::int64_t>(ftello(stream));
}
