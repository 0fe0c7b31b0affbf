// zip64_fields.h - decode the Zip64 end locator, the Zip64 end record and the Zip64 extra field.
#pragma once

#include <cstddef>
#include <cstdint>

// What became of a Zip64 record.
enum class Zip64Result {
  ok,
  absent,     // no such record there (the 32-bit values stand)
  too_short,  // the record ends before the values it must hold
  too_large,  // a value past what the stub can seek to or count
};

// The largest size or offset taken from a Zip64 record: file positions are
// signed 64-bit numbers, and an offset plus a size must not wrap either.
constexpr std::uint64_t k_largest_zip64_value = 0x7FFFFFFFFFFFFFFFull;

struct Zip64Locator {
  std::uint32_t end_disk;    // the disk that holds the Zip64 end record
  std::uint64_t end_offset;  // its offset in that disk's file
  std::uint32_t total_disks;
};

// Decodes the k_zip64_locator_size bytes at bytes. Returns ok, or absent
// when they do not start with the locator's signature.
[[nodiscard]] Zip64Result decode_zip64_locator(const unsigned char* bytes, Zip64Locator* locator);

struct Zip64End {
  std::uint32_t this_disk;
  std::uint32_t directory_disk;
  std::uint64_t total_entries;
  std::uint64_t directory_size;
  std::uint64_t directory_offset;
};

// Decodes the k_zip64_end_size bytes at bytes. Returns ok; absent when they
// do not start with the record's signature; too_large when a disk number
// passes 65535, the entries 2^31 - 1, or the directory's offset and size
// k_largest_zip64_value.
[[nodiscard]] Zip64Result decode_zip64_end(const unsigned char* bytes, Zip64End* end);

// The central header's values that the Zip64 extra field may stand in for.
struct Zip64Values {
  std::uint64_t uncompressed_size;
  std::uint64_t compressed_size;
  std::uint64_t local_header_offset;
  std::uint32_t starting_disk;
};

// Replaces each value of values that is all ones (0xFFFFFFFF, 0xFFFF for
// the disk) by its Zip64 form from the extra field at extra (length bytes of
// id, size and data blocks). Returns ok, also when no value is all ones;
// absent when one is but the field has no Zip64 block (values unchanged);
// too_short when the block ends before a value it must hold; too_large when
// a new size or offset, or the offset and compressed size together, pass
// k_largest_zip64_value, or the disk passes 65535.
[[nodiscard]] Zip64Result apply_zip64_extra(const unsigned char* extra, std::size_t length, Zip64Values* values);

// True when every block of the extra field is one that nothing in the stub
// reads after the directory: Zip64 (decoded at once), Info-ZIP's times and
// Unix owners, NTFS times. A directory of many members keeps none of them.
bool holds_only_unused_blocks(const unsigned char* extra, std::size_t length);
