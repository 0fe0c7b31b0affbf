// platform_path_posix.cpp - names and paths on POSIX, where a name is its bytes.
#include "platform/platform.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

char* platform_utf8_of_dos_name(const char* name) { return strdup(name); }

const char* platform_drive_a_root() {
  static char root[4096];
  const char* folder = getenv("SFX_DRIVE_A");
  if (folder == nullptr || folder[0] == '\0') folder = "/media/floppy";
  snprintf(root, sizeof root, "%s/", folder);
  return root;
}

bool platform_executable_path(char* buffer, std::size_t size) {
  ssize_t length = readlink("/proc/self/exe", buffer, size - 1);
  if (length <= 0 || static_cast<std::size_t>(length) >= size - 1) return false;
  buffer[length] = '\0';
  return true;
}
