// folder_times.h - the times and modes of folders made for folder entries, given after the last member.
#pragma once

#include <cstddef>

#include "archive/archive_state.h"

// Files written into a folder would change its time, and a read-only folder
// would refuse the members that go into it: folder entries get theirs last.
struct MadeFolder {
  const ZipEntry* entry;
  char* local_path;
};

struct FolderList {
  MadeFolder* folders = nullptr;
  std::size_t count = 0;
  std::size_t capacity = 0;
};

// Keeps the folder's local path (or frees it, when no memory is left: the
// folder then keeps the time it has).
void remember_folder(FolderList* folders, const ZipEntry* entry, char* local_path);

// Gives every folder its time and mode, the deepest first, so that a parent
// is changed after its children; empties the list.
void restore_folder_times(FolderList* folders);
