// member_data.h - what the steps of one member's extraction share.
#pragma once

#include <cstdint>
#include <cstdio>
#include <zlib.h>

#include "archive/archive_state.h"
#include "archive/zip_format.h"
#include "extract/member_names.h"
#include "extract/output_path.h"
#include "platform/platform.h"

constexpr const char* k_progress_verb = "Inflating";
// A deflate member is read 4 bytes past its data; the inflater stops at the
// stream's end and never uses them.
constexpr std::uint32_t k_deflate_read_ahead = 4;
constexpr int k_unix_host = 3;
// A link's target is read whole into memory; no system takes a longer one.
constexpr std::uint32_t k_longest_link = 4095;

enum class MemberOutcome {
  done,
  password_refused,  // skipped, the run result stays
  refused,           // method, output file or unsafe name: the run result is 1
  failed,
  stop,  // the walk ends with result 1
};

// What one member's data loop works with.
struct MemberData {
  ZipEntry* entry;
  const MemberNames* names;
  FILE* archive;
  z_stream* stream;
  bool deflated;
  bool encrypted;
  // What the member may still produce: the directory's uncompressed size.
  std::uint64_t still_to_write;
  std::uint64_t still_to_read = 0;
  std::uint32_t crc = 0;
  OutputFile output = {};
  // A streamed member's data gathered for its file: one write a buffer
  // (nullptr when no memory was left: each chunk is written at once).
  unsigned char* pending = nullptr;
  std::size_t pending_length = 0;
  // A member made as a symbolic link collects its target here instead of
  // writing a file (output is not open then).
  char* link_target = nullptr;
  std::uint32_t link_length = 0;
  // An AES member: its version (1 keeps the CRC-32, 2 does not), the
  // enciphered bytes not read yet, and whether its code matched.
  bool aes = false;
  std::uint16_t aes_version = 0;
  std::uint64_t aes_unread = 0;
  bool authentic = true;
  bool disk_full = false;  // a write failed for want of room: the walk stops
  // Where the archive stands after the member, when known (-1: not).
  std::int64_t stands_at = -1;
};

inline std::uint64_t data_offset(const ZipEntry* entry) {
  return entry->local_header_offset + k_local_header_size + entry->name_length + entry->local_extra_length;
}

// The permission bits a Unix host stored (never set-uid, set-gid or
// sticky), or -1 for the default ones.
inline int unix_mode_of(const ZipEntry* entry) {
  std::uint32_t mode = entry->external_attributes >> 16;
  if ((entry->version_made_by >> 8) != k_unix_host || mode == 0) return -1;
  return static_cast<int>(mode & 0777);
}

// A folder entry: its name ends in a separator.
inline bool is_directory_entry(const ZipEntry* entry) { return is_folder_name(entry->name, entry->name_length); }

// A member stored as a symbolic link, made as one where links are made.
inline bool is_symbolic_link(const ZipEntry* entry) {
  return k_symbolic_links && (entry->version_made_by >> 8) == k_unix_host &&
         ((entry->external_attributes >> 16) & k_unix_type_mask) == k_unix_type_link;
}
