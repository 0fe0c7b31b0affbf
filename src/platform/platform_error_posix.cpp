// platform_error_posix.cpp - why the last call failed, and whether the disk is full, on POSIX.
#include "platform/platform.h"
#include "platform/platform_posix_internal.h"

#include <cerrno>
#include <cstring>

namespace {

// Why the last call that failed failed, for platform_last_error_text.
int g_last_error = 0;

}  // namespace

bool remember_error() {
  g_last_error = errno;
  return false;
}

bool remember_error_code(int error) {
  g_last_error = error;
  return false;
}

bool platform_disk_is_full() { return errno == ENOSPC || errno == EDQUOT; }

const char* platform_last_error_text() { return strerror(g_last_error); }
