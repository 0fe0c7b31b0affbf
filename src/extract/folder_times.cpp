// folder_times.cpp - the times and modes of folders made for folder entries, given after the last member.
#include "extract/folder_times.h"

#include <cstdlib>

#include "extract/member_data.h"
#include "platform/platform.h"

namespace {

std::size_t depth_of(const char* path) {
  std::size_t depth = 0;
  for (; *path != '\0'; ++path) {
    if (*path == k_path_separator) ++depth;
  }
  return depth;
}

int compare_deepest_first(const void* left, const void* right) {
  std::size_t a = depth_of(static_cast<const MadeFolder*>(left)->local_path);
  std::size_t b = depth_of(static_cast<const MadeFolder*>(right)->local_path);
  return a > b ? -1 : (a < b ? 1 : 0);
}

}  // namespace

// Keeps the folder's local path (or frees it, when no memory is left: the
// folder then keeps the time it has).
void remember_folder(FolderList* folders, const ZipEntry* entry, char* local_path) {
  if (folders->count == folders->capacity) {
    std::size_t capacity = folders->capacity == 0 ? 64 : folders->capacity * 2;
    void* larger = realloc(folders->folders, capacity * sizeof(MadeFolder));
    if (larger == nullptr) {
      free(local_path);
      return;
    }
    folders->folders = static_cast<MadeFolder*>(larger);
    folders->capacity = capacity;
  }
  folders->folders[folders->count++] = MadeFolder{entry, local_path};
}

// Gives every folder made for a folder entry its time and mode, the
// deepest first, so that a parent is changed after its children.
void restore_folder_times(FolderList* folders) {
  if (folders->count > 1) qsort(folders->folders, folders->count, sizeof(MadeFolder), compare_deepest_first);
  for (std::size_t i = 0; i < folders->count; ++i) {
    const MadeFolder& folder = folders->folders[i];
    platform_set_folder_times(folder.local_path, folder.entry->modification_time_and_date, unix_mode_of(folder.entry));
    free(folder.local_path);
  }
  free(folders->folders);
  *folders = FolderList{};
}
