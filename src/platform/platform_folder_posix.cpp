// platform_folder_posix.cpp - folders on POSIX: made, entered, the private temporary one, free space.
#include "platform/platform.h"
#include "platform/platform_posix_internal.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

// True when path, with every link along it followed, lies in the current
// directory or below it.
bool leads_inside_current_folder(const char* path) {
  char here[PATH_MAX];
  char there[PATH_MAX];
  if (realpath(".", here) == nullptr || realpath(path, there) == nullptr) return false;
  std::size_t length = strlen(here);
  if (length == 1) return true;  // the extraction folder is the root itself
  return strncmp(here, there, length) == 0 && (there[length] == '\0' || there[length] == '/');
}

}  // namespace

FolderResult platform_make_directory(const char* path) {
  if (mkdir(path, 0777) == 0) return FolderResult::ready;
  struct stat found;
  if (lstat(path, &found) != 0) return FolderResult::failed;
  if (S_ISDIR(found.st_mode)) return FolderResult::ready;
  struct stat target;
  if (!S_ISLNK(found.st_mode) || stat(path, &target) != 0 || !S_ISDIR(target.st_mode)) return FolderResult::failed;
  return leads_inside_current_folder(path) ? FolderResult::ready : FolderResult::outside;
}

namespace {

// The folder that was current before the temporary folder, and the
// temporary folder's full path.
int g_start_folder = -1;
char g_temp_folder[PATH_MAX];

// True when the file system of folder runs programs.
bool allows_programs(const char* folder) {
  struct statvfs found;
  return statvfs(folder, &found) != 0 || (found.f_flag & ST_NOEXEC) == 0;
}

// Creates a private folder under parent and keeps its full path.
bool make_temp_folder_in(const char* parent) {
  char pattern[PATH_MAX];
  int length = snprintf(pattern, sizeof pattern, "%s/sfx-XXXXXX", parent);
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof pattern) return remember_error_code(ENAMETOOLONG);
  if (mkdtemp(pattern) == nullptr) return remember_error();  // mkdtemp makes it 0700
  if (realpath(pattern, g_temp_folder) == nullptr) {
    remember_error();
    rmdir(pattern);
    return false;
  }
  return true;
}

// Removes everything in the folder open as folder (a descriptor that this
// call closes), never following a link. True when all of it went.
bool empty_folder(int folder) {
  (void)fchmod(folder, 0700);  // a read-only folder from the archive would keep its files
  DIR* listing = fdopendir(folder);
  if (listing == nullptr) {
    close(folder);
    return remember_error();
  }
  bool emptied = true;
  while (struct dirent* child = readdir(listing)) {
    const char* name = child->d_name;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
    if (unlinkat(folder, name, 0) == 0) continue;
    int inner = openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (inner < 0 || !empty_folder(inner) || unlinkat(folder, name, AT_REMOVEDIR) != 0) emptied = remember_error();
  }
  closedir(listing);
  return emptied;
}

}  // namespace

bool platform_current_folder(char* buffer, std::size_t size) { return getcwd(buffer, size) != nullptr; }

bool platform_enter_folder(const char* path) { return chdir(path) == 0 || remember_error(); }

bool platform_enter_private_temp_folder() {
  g_start_folder = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (g_start_folder < 0) return remember_error();
  const char* parent = getenv("TMPDIR");
  if (parent == nullptr || parent[0] == '\0') parent = "/tmp";
  bool made = allows_programs(parent) && make_temp_folder_in(parent);
  if (!made) made = make_temp_folder_in(".");
  if (made && chdir(g_temp_folder) == 0) return true;
  if (made) {
    remember_error();
    rmdir(g_temp_folder);
  }
  close(g_start_folder);
  g_start_folder = -1;
  return false;
}

bool platform_remove_private_temp_folder() {
  if (g_start_folder < 0) return true;
  bool removed = fchdir(g_start_folder) == 0 || remember_error();
  close(g_start_folder);
  g_start_folder = -1;
  int folder = open(g_temp_folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (folder < 0 || !empty_folder(folder) || rmdir(g_temp_folder) != 0) removed = remember_error();
  return removed;
}

bool platform_free_space(std::uint64_t* bytes) {
  struct statvfs found;
  if (statvfs(".", &found) != 0) return false;
  *bytes = static_cast<std::uint64_t>(found.f_bavail) * found.f_frsize;
  return true;
}
