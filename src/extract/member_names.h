// member_names.h - what a member is called: as stored, as it goes by, and where its file goes.
#pragma once

#include "archive/archive_state.h"
#include "platform/platform.h"

// The names of the member being extracted; the entry's stored name never
// changes.
struct MemberNames {
  // The name the member goes by: its stored name or, on Windows, the UTF-8
  // name that Info-ZIP's Unicode path field gives for a name stored in the
  // DOS code page.
  const char* name = nullptr;
  bool utf8 = false;  // flag bit 11, or the Unicode path field
  // Where its file goes below the extraction folder, the folders joined by
  // the platform's separator: UTF-8 on Windows, bytes on POSIX. nullptr
  // until make_member_path.
  char* local_path = nullptr;
  // The local path as messages show it: in the name's own encoding, as the
  // stub always printed it (not local_path itself only for a name in the
  // DOS code page on Windows).
  const char* shown_path = nullptr;
  char* owned_name = nullptr;
  char* owned_shown_path = nullptr;
};

// Finds the name the entry goes by.
void name_member(const ZipEntry* entry, MemberNames* names);

// Makes the member's local path from its name, creating every folder along
// it as make_output_path does (*folders tells how that went). False when no
// memory is left.
bool make_member_path(MemberNames* names, FolderResult* folders);

// Frees what the names hold but the local path when keep_local_path (the
// caller then owns it).
void release_member_names(MemberNames* names, bool keep_local_path = false);
