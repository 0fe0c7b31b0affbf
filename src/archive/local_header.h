// local_header.h - check a member's local header against its directory entry.
#pragma once

#include <cstdio>

#include "archive/archive_state.h"

enum class LocalHeader {
  matches,
  unreadable,    // the file ends (or fails) inside it
  no_signature,  // no local header where the directory says
  other_name,    // a local header of another name than the directory's
  overlapping,   // with its extra field, the data runs into the next member's header
};

// Reads the member's local header in the archive's current file: its
// signature, its name (which must be the directory's, byte for byte) and
// its extra-field length, which goes into entry. Readers that take the name
// or the data position from the local header would otherwise see another
// file than this one. position is where the archive stands when the caller
// knows it (-1: asked of the stream, which costs a system call). Leaves the
// archive after the name. Returns matches, unreadable, no_signature or
// other_name.
[[nodiscard]] LocalHeader check_local_header(ZipEntry* entry, FILE* archive, std::int64_t position = -1);
