// local_header.cpp - check a member's local header against its directory entry.
#include "archive/local_header.h"

#include <cstring>

#include "archive/record_decoders.h"
#include "archive/zip_format.h"
#include "platform/platform.h"

LocalHeader check_local_header(ZipEntry* entry, FILE* archive, std::int64_t position) {
  unsigned char header[k_local_header_size];
  int sought = position >= 0 ? platform_seek_from(archive, position, entry->local_header_offset)
                             : platform_seek(archive, entry->local_header_offset);
  if (sought != 0 ||
      fread(header, 1, sizeof header, archive) != sizeof header) {
    return LocalHeader::unreadable;
  }
  LocalHeaderFields fields;
  if (!decode_local_header(header, &fields)) return LocalHeader::no_signature;
  entry->local_extra_length = fields.extra_length;
  if (fields.name_length != entry->name_length) return LocalHeader::other_name;
  // Names reach 65535 bytes: compared piece by piece.
  unsigned char piece[256];
  for (std::size_t compared = 0; compared < entry->name_length;) {
    std::size_t length = entry->name_length - compared < sizeof piece ? entry->name_length - compared : sizeof piece;
    if (fread(piece, 1, length, archive) != length) return LocalHeader::unreadable;
    if (memcmp(piece, entry->name + compared, length) != 0) return LocalHeader::other_name;
    compared += length;
  }
  return LocalHeader::matches;
}
