// zip64_fields.cpp - decode the Zip64 end locator, the Zip64 end record and the Zip64 extra field.
#include "archive/zip64_fields.h"

#include "archive/extra_field.h"
#include "archive/zip_format.h"

namespace {

constexpr std::uint32_t k_largest_disk = 0xFFFF;  // segments are counted in 16 bits
constexpr std::uint64_t k_largest_entry_count = 0x7FFFFFFF;

// Finds the block of id; *data and *size describe its data. A block whose
// size runs past the field's end is cut to what the field holds.
bool find_block(const unsigned char* extra, std::size_t length, std::uint16_t id, const unsigned char** data,
                std::size_t* size) {
  std::size_t at = 0;
  ExtraBlock block;
  while (next_extra_block(extra, length, &at, &block)) {
    if (block.id == id) {
      *data = block.data;
      *size = block.size;
      return true;
    }
  }
  return false;
}

// Takes the next 8-byte value of the block for a field that is all ones.
bool take_value(const unsigned char* data, std::size_t size, std::size_t* used, std::uint64_t* value) {
  if (*used + 8 > size) return false;
  *value = read_le64(data + *used);
  *used += 8;
  return true;
}

}  // namespace

Zip64Result decode_zip64_locator(const unsigned char* bytes, Zip64Locator* locator) {
  if (read_le32(bytes) != k_zip64_locator_signature) return Zip64Result::absent;
  locator->end_disk = read_le32(&bytes[k_locator_end_disk]);
  locator->end_offset = read_le64(&bytes[k_locator_end_offset]);
  locator->total_disks = read_le32(&bytes[k_locator_total_disks]);
  return Zip64Result::ok;
}

Zip64Result decode_zip64_end(const unsigned char* bytes, Zip64End* end) {
  if (read_le32(bytes) != k_zip64_end_signature) return Zip64Result::absent;
  end->this_disk = read_le32(&bytes[k_zip64_end_this_disk]);
  end->directory_disk = read_le32(&bytes[k_zip64_end_directory_disk]);
  end->total_entries = read_le64(&bytes[k_zip64_end_total_entries]);
  end->directory_size = read_le64(&bytes[k_zip64_end_directory_size]);
  end->directory_offset = read_le64(&bytes[k_zip64_end_directory_offset]);
  bool fits = end->this_disk <= k_largest_disk && end->directory_disk <= k_largest_disk &&
              end->total_entries <= k_largest_entry_count && end->directory_size <= k_largest_zip64_value &&
              end->directory_offset <= k_largest_zip64_value - end->directory_size;
  return fits ? Zip64Result::ok : Zip64Result::too_large;
}

Zip64Result apply_zip64_extra(const unsigned char* extra, std::size_t length, Zip64Values* values) {
  bool wanted = values->uncompressed_size == k_zip64_marker32 || values->compressed_size == k_zip64_marker32 ||
                values->local_header_offset == k_zip64_marker32 || values->starting_disk == k_zip64_marker16;
  if (!wanted) return Zip64Result::ok;
  const unsigned char* data = nullptr;
  std::size_t size = 0;
  if (!find_block(extra, length, k_zip64_extra_id, &data, &size)) return Zip64Result::absent;
  // The values come in this order, each only when its field is all ones.
  std::size_t used = 0;
  if (values->uncompressed_size == k_zip64_marker32 && !take_value(data, size, &used, &values->uncompressed_size)) {
    return Zip64Result::too_short;
  }
  if (values->compressed_size == k_zip64_marker32 && !take_value(data, size, &used, &values->compressed_size)) {
    return Zip64Result::too_short;
  }
  if (values->local_header_offset == k_zip64_marker32 &&
      !take_value(data, size, &used, &values->local_header_offset)) {
    return Zip64Result::too_short;
  }
  if (values->starting_disk == k_zip64_marker16) {
    if (used + 4 > size) return Zip64Result::too_short;
    values->starting_disk = read_le32(data + used);
  }
  bool fits = values->uncompressed_size <= k_largest_zip64_value && values->compressed_size <= k_largest_zip64_value &&
              values->local_header_offset <= k_largest_zip64_value - values->compressed_size &&
              values->starting_disk <= k_largest_disk;
  return fits ? Zip64Result::ok : Zip64Result::too_large;
}

bool holds_only_unused_blocks(const unsigned char* extra, std::size_t length) {
  std::size_t at = 0;
  ExtraBlock block;
  while (next_extra_block(extra, length, &at, &block)) {
    bool unused = block.id == k_zip64_extra_id || block.id == k_extra_unix_time || block.id == k_extra_unix_owner ||
                  block.id == k_extra_ntfs_time;
    if (!unused || block.cut) return false;
  }
  return at == length;
}
