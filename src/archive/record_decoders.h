// record_decoders.h - decode zip records from bytes in memory and settle which values count.
#pragma once

#include <cstddef>
#include <cstdint>

#include "archive/archive_state.h"
#include "archive/zip64_fields.h"
#include "archive/zip_format.h"

// The stub and mksfx read archives through these: whatever one of them
// accepts, and the values it takes, the other does alike. Inline: the stub
// calls each once, and a call and a record copied between them would cost
// it bytes.

// The offset of the last end-record signature in block (size bytes), or -1.
// The last one wins, also when it stands in an archive comment.
inline long last_end_signature_in(const unsigned char* block, std::size_t size) {
  std::uint32_t signature = end_record_signature();
  long found = -1;
  for (std::size_t p = 0; p + 4 <= size; ++p) {
    if (block[p] == 0x50 && read_le32(block + p) == signature) found = static_cast<long>(p);
  }
  return found;
}

// The end record's values, replaced by the Zip64 end record's where one
// stands in for them.
struct EndRecordFields {
  std::uint32_t last_disk;  // the disk that holds the end record
  std::uint32_t directory_disk;
  std::uint64_t directory_size;
  std::uint64_t directory_offset;
  std::uint32_t total_entries;  // at most 2^31 - 1 (decode_zip64_end)
  std::uint16_t comment_length;
  bool last_disk_unknown;  // the end record's disk number is all ones
  bool zip64_needed;       // a field is all ones: its value is the Zip64 end record's
};

// True when a field of the end record (its fields after the signature) is
// all ones: its value must then come from the Zip64 end record.
inline bool needs_zip64_end(const unsigned char* fields) {
  constexpr int k_short_fields[] = {k_end_this_disk, k_end_directory_disk, k_end_entries_on_disk, k_end_total_entries};
  for (int at : k_short_fields) {
    if (read_le16(&fields[at]) == k_zip64_marker16) return true;
  }
  return read_le32(&fields[k_end_directory_size]) == k_zip64_marker32 ||
         read_le32(&fields[k_end_directory_offset]) == k_zip64_marker32;
}

// Decodes the k_end_fields_size bytes that follow the end record's signature.
inline void decode_end_record(const unsigned char* fields, EndRecordFields* end) {
  end->last_disk = read_le16(&fields[k_end_this_disk]);
  end->directory_disk = read_le16(&fields[k_end_directory_disk]);
  end->total_entries = read_le16(&fields[k_end_total_entries]);
  end->directory_size = read_le32(&fields[k_end_directory_size]);
  end->directory_offset = read_le32(&fields[k_end_directory_offset]);
  end->comment_length = read_le16(&fields[k_end_comment_length]);
  end->last_disk_unknown = end->last_disk == k_zip64_marker16;
  end->zip64_needed = needs_zip64_end(fields);
}

// An end record whose disk number is all ones is the last disk of a set
// whose size the locator gives (when it is 1 to 65535).
inline void take_last_disk_from(const Zip64Locator& locator, EndRecordFields* end) {
  if (!end->last_disk_unknown || locator.total_disks == 0 || locator.total_disks > k_zip64_marker16) return;
  end->last_disk = locator.total_disks - 1;
}

// True when the Zip64 end record that locator names is to be read: it lies
// on a disk of the set, and on another disk than the end record's only
// when the end record needs it, for a locator's signature may also be bytes
// of a name that stand there by chance.
inline bool is_zip64_end_wanted(const Zip64Locator& locator, const EndRecordFields& end) {
  if (locator.end_disk > end.last_disk) return false;
  return end.zip64_needed || locator.end_disk == end.last_disk;
}

// Where the Zip64 end record lies when it is not where the locator says: in
// a single-disk archive appended to a program with offsets counted from its
// own start, right before the locator (at locator_offset). False when it
// cannot be so: more than one disk, or a place not past the locator's
// (data in front moves records back, never forward).
inline bool find_zip64_end_before_locator(const Zip64Locator& locator, std::uint64_t locator_offset,
                                          const EndRecordFields& end, std::uint64_t* offset) {
  if (end.last_disk != 0 || locator_offset < k_zip64_end_size ||
      locator_offset - k_zip64_end_size <= locator.end_offset) {
    return false;
  }
  *offset = locator_offset - k_zip64_end_size;
  return true;
}

// Takes the Zip64 end record's directory disk, entry count, size and offset,
// and its disk number where the end record's is unknown.
inline void take_zip64_end(const Zip64End& zip64, EndRecordFields* end) {
  if (end->last_disk_unknown) end->last_disk = zip64.this_disk;
  end->directory_disk = zip64.directory_disk;
  end->total_entries = static_cast<std::uint32_t>(zip64.total_entries);
  end->directory_size = zip64.directory_size;
  end->directory_offset = zip64.directory_offset;
}

// How far the directory of a single-disk archive appended to a program
// (cat stub archive.zip), whose offsets count from its own start, lies
// past its offset: it ends where the end record (or the Zip64 end record)
// begins, at directory_end. 0 when it cannot be so: more than one disk, or
// a directory that would end at or before its offset plus size.
inline std::uint64_t appended_archive_shift(const EndRecordFields& end, std::uint64_t directory_end) {
  if (end.last_disk != 0 || end.directory_disk != 0) return 0;
  // Every value is below 2^63, so the difference cannot wrap.
  std::int64_t distance = static_cast<std::int64_t>(directory_end) - static_cast<std::int64_t>(end.directory_size) -
                          static_cast<std::int64_t>(end.directory_offset);
  return distance > 0 ? static_cast<std::uint64_t>(distance) : 0;
}

// Decodes the k_central_fields_size bytes that follow a central header's
// signature into entry; name, extra field and comment stay untouched.
inline void decode_central_fields(const unsigned char* fields, ZipEntry* entry) {
  entry->version_made_by = read_le16(&fields[k_central_version_made_by]);
  entry->version_needed = read_le16(&fields[k_central_version_needed]);
  entry->flags = read_le16(&fields[k_central_flags]);
  entry->compression_method = read_le16(&fields[k_central_method]);
  entry->modification_time_and_date = read_le16(&fields[k_central_date]) * 65536u + read_le16(&fields[k_central_time]);
  entry->crc32 = read_le32(&fields[k_central_crc32]);
  entry->compressed_size = read_le32(&fields[k_central_compressed_size]);
  entry->uncompressed_size = read_le32(&fields[k_central_uncompressed_size]);
  entry->name_length = read_le16(&fields[k_central_name_length]);
  entry->extra_length = read_le16(&fields[k_central_extra_length]);
  entry->comment_length = read_le16(&fields[k_central_comment_length]);
  entry->starting_segment = read_le16(&fields[k_central_disk_start]);
  entry->internal_attributes = read_le16(&fields[k_central_internal_attributes]);
  entry->external_attributes = read_le32(&fields[k_central_external_attributes]);
  entry->local_header_offset = read_le32(&fields[k_central_local_header_offset]);
}

// Replaces entry's sizes, offset and disk that are all ones by their values
// in its Zip64 extra field (apply_zip64_extra's results; entry unchanged
// unless ok).
[[nodiscard]] inline Zip64Result apply_zip64_extra_to(ZipEntry* entry) {
  Zip64Values values{entry->uncompressed_size, entry->compressed_size, entry->local_header_offset,
                     entry->starting_segment};
  std::size_t extra_length = entry->extra_field != nullptr ? entry->extra_length : 0;
  Zip64Result result = apply_zip64_extra(entry->extra_field, extra_length, &values);
  if (result == Zip64Result::ok) {
    entry->uncompressed_size = values.uncompressed_size;
    entry->compressed_size = values.compressed_size;
    entry->local_header_offset = values.local_header_offset;
    entry->starting_segment = static_cast<std::uint16_t>(values.starting_disk);
  }
  return result;
}

// The fixed fields of a local header that a reader needs.
struct LocalHeaderFields {
  std::uint16_t name_length;
  std::uint16_t extra_length;
};

// Decodes the k_local_header_size bytes of a local header. Returns false
// when they do not start with its signature.
[[nodiscard]] inline bool decode_local_header(const unsigned char* header, LocalHeaderFields* fields) {
  if (read_le32(header) != local_header_signature()) return false;
  fields->name_length = read_le16(&header[k_local_name_length_offset]);
  fields->extra_length = read_le16(&header[k_local_extra_length_offset]);
  return true;
}
