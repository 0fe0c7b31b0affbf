// archive_state.h - the in-memory directory: ZipEntry records and ArchiveState.
#pragma once

#include <cstdint>
#include <cstdio>

// One central-directory entry, fields in the order of the central header.
struct ZipEntry {
  std::uint16_t version_made_by;
  std::uint16_t version_needed;
  std::uint16_t flags;  // bit 0 encrypted, bit 3 check byte from the time
  std::uint16_t compression_method;
  std::uint32_t modification_time_and_date;  // time in bits 0-15, date in 16-31
  std::uint32_t crc32;
  // Sizes and the offset are the Zip64 extra field's where the header's
  // fields are all ones.
  std::uint64_t compressed_size;  // member data in the archive, encryption header included
  std::uint64_t uncompressed_size;
  std::uint16_t name_length;
  std::uint16_t local_extra_length;  // the central value until the local header is read
  std::uint16_t extra_length;
  std::uint16_t comment_length;
  std::uint16_t starting_segment;
  std::uint16_t internal_attributes;
  std::uint32_t external_attributes;
  std::uint64_t local_header_offset;  // absolute, in the segment file that holds it
  char* name;  // as stored, NUL-terminated; never changed (the local path is made apart)
  // nullptr when extra_length is 0, or when the field holds only blocks the
  // stub has no use for after the directory (holds_only_unused_blocks).
  unsigned char* extra_field;
  char* comment;  // nullptr when comment_length is 0
  // Set before extraction from the spans of all members: the member's local
  // header lies inside another member's header or data, and where the next
  // member's local header begins on the same segment (UINT64_MAX: none).
  bool overlaps_another;
  // The order of the members that take part in the span check, as the
  // check numbers them (it fits in what would otherwise be padding).
  std::uint32_t span_index;
  std::uint64_t following_header_offset;
  ZipEntry* next;
};

// The single process-wide record of the opened archive.
struct ArchiveState {
  const char* archive_path;
  std::int32_t current_segment;  // -1 after a switch to the last segment
  std::int32_t last_segment;
  std::int32_t directory_segment;
  // The counts, disks and directory offset are the Zip64 end record's when
  // a Zip64 end locator stands before the end record.
  std::int32_t total_entry_count;
  std::uint64_t directory_offset;
  bool end_record_read;  // end_record_offset and the fields from the end record are known
  std::uint64_t end_record_offset;  // in the last segment's file
  std::uint16_t archive_comment_length;
  unsigned char* archive_comment;
  ZipEntry* entries;
  std::int32_t entry_count;
  unsigned char* read_buffer;
  unsigned char* output_buffer;
  bool stream_lost;  // a segment re-open failed and closed the archive stream
};

extern ArchiveState archive_state;

constexpr std::size_t k_buffer_size = 10240;

// Releases the entry list and comment and clears every field but the path
// and the two buffers; for callers that read more than one archive.
void release_directory();
