// zip_format.h - signatures, record sizes and field offsets of the zip format.
#pragma once

#include <cstdint>

inline std::uint16_t read_le16(const unsigned char* bytes) {
  return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

inline std::uint32_t read_le32(const unsigned char* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
         (static_cast<std::uint32_t>(bytes[2]) << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
}

inline std::uint64_t read_le64(const unsigned char* bytes) {
  return static_cast<std::uint64_t>(read_le32(bytes)) | (static_cast<std::uint64_t>(read_le32(bytes + 4)) << 32);
}

constexpr std::uint32_t k_central_header_signature = 0x02014B50;
constexpr std::uint32_t k_local_header_signature = 0x04034B50;

// The end record's signature is searched for in the last 66000 bytes of the
// stub's own file. Kept in memory as its complement, so that its 4 bytes in
// order never appear in the stub's code or data and a stub with nothing
// appended cannot mistake itself for an archive.
extern const volatile std::uint32_t k_end_record_signature_complement;
inline std::uint32_t end_record_signature() { return ~k_end_record_signature_complement; }

// The same for the local header's signature, which the stub compares: tools
// such as 7-Zip find the archive in a self-extractor by the first local
// header signature in the file, and would take one in the stub's code for
// the archive's start.
extern const volatile std::uint32_t k_local_header_signature_complement;
inline std::uint32_t local_header_signature() { return ~k_local_header_signature_complement; }

// End-of-central-directory record: the signature, then 18 bytes of fields
// (offsets below count from the byte after the signature), then the comment.
constexpr std::uint32_t k_end_record_size = 22;
constexpr std::uint32_t k_end_fields_size = 18;
constexpr int k_end_this_disk = 0;           // 2: number of this disk
constexpr int k_end_directory_disk = 2;      // 2: disk where the directory starts
constexpr int k_end_entries_on_disk = 4;     // 2: entries on this disk
constexpr int k_end_total_entries = 6;       // 2: total entries
constexpr int k_end_directory_size = 8;      // 4: size of the directory
constexpr int k_end_directory_offset = 12;   // 4: offset of the directory
constexpr int k_end_comment_length = 16;     // 2: archive comment length

// Zip64 end locator: 20 bytes right before the end record (offsets below
// count from its signature), naming where the Zip64 end record lies.
constexpr std::uint32_t k_zip64_locator_signature = 0x07064B50;
constexpr std::uint32_t k_zip64_locator_size = 20;
constexpr int k_locator_end_disk = 4;     // 4: disk that holds the Zip64 end record
constexpr int k_locator_end_offset = 8;   // 8: its offset in that disk's file
constexpr int k_locator_total_disks = 16; // 4: number of disks

// Zip64 end record: 56 bytes and data of its own (offsets below count from
// its signature); it stands in for the end record's fields that are all ones.
constexpr std::uint32_t k_zip64_end_signature = 0x06064B50;
constexpr std::uint32_t k_zip64_end_size = 56;
constexpr int k_zip64_end_this_disk = 16;         // 4: number of this disk
constexpr int k_zip64_end_directory_disk = 20;    // 4: disk where the directory starts
constexpr int k_zip64_end_total_entries = 32;     // 8: total entries
constexpr int k_zip64_end_directory_size = 40;    // 8: size of the directory
constexpr int k_zip64_end_directory_offset = 48;  // 8: offset of the directory

// The all-ones values that send a reader to the Zip64 records.
constexpr std::uint16_t k_zip64_marker16 = 0xFFFF;
constexpr std::uint32_t k_zip64_marker32 = 0xFFFFFFFF;
// Extra-field blocks: a 2-byte id and a 2-byte size, then the data.
constexpr std::uint32_t k_extra_block_header_size = 4;
// The Zip64 extra field holds, in this order, the 8-byte uncompressed size,
// compressed size and local header offset and the 4-byte starting disk,
// each only when the header's own field is all ones.
constexpr std::uint16_t k_zip64_extra_id = 0x0001;
// Info-ZIP's Unicode path field: version 1, the CRC-32 of the stored name,
// then the name in UTF-8.
constexpr std::uint16_t k_extra_unicode_path = 0x7075;
// Blocks nothing in the stub reads after the directory: Info-ZIP's times
// and Unix owners, and the NTFS times of 7-Zip and Windows tools.
constexpr std::uint16_t k_extra_unix_time = 0x5455;
constexpr std::uint16_t k_extra_unix_owner = 0x7875;
constexpr std::uint16_t k_extra_ntfs_time = 0x000A;
// The version a member needs for Zip64 alone (4.5).
constexpr std::uint16_t k_version_zip64 = 45;

// Central directory header: the signature, then 42 bytes of fields (offsets
// below count from the byte after the signature), then name, extra, comment.
constexpr std::uint32_t k_central_header_size = 46;
constexpr std::uint32_t k_central_fields_size = 42;
constexpr int k_central_version_made_by = 0;
constexpr int k_central_version_needed = 2;
constexpr int k_central_flags = 4;
constexpr int k_central_method = 6;
constexpr int k_central_time = 8;
constexpr int k_central_date = 10;
constexpr int k_central_crc32 = 12;
constexpr int k_central_compressed_size = 16;
constexpr int k_central_uncompressed_size = 20;
constexpr int k_central_name_length = 24;
constexpr int k_central_extra_length = 26;
constexpr int k_central_comment_length = 28;
constexpr int k_central_disk_start = 30;
constexpr int k_central_internal_attributes = 32;
constexpr int k_central_external_attributes = 34;
constexpr int k_central_local_header_offset = 38;

// Local file header: 30 bytes, then the name and the extra field (offsets
// below count from the header's first byte, its signature).
constexpr std::uint32_t k_local_header_size = 30;
constexpr std::uint32_t k_local_name_length_offset = 26;
constexpr std::uint32_t k_local_extra_length_offset = 28;

constexpr std::uint16_t k_flag_encrypted = 0x0001;
constexpr std::uint16_t k_flag_data_descriptor = 0x0008;
constexpr std::uint16_t k_flag_utf8_name = 0x0800;  // name and comment are UTF-8

constexpr std::uint16_t k_method_stored = 0;
constexpr std::uint16_t k_method_deflated = 8;
// An AES member: the real method is in its AES extra field.
constexpr std::uint16_t k_method_aes = 99;

// The AES extra field's data: 7 bytes.
constexpr std::uint16_t k_aes_extra_tag = 0x9901;
constexpr std::uint16_t k_aes_extra_data_size = 7;
constexpr int k_aes_extra_version = 0;   // 2: 1 (AE-1, CRC kept) or 2 (AE-2, no CRC)
constexpr int k_aes_extra_vendor = 2;    // 2: "AE"
constexpr int k_aes_extra_strength = 4;  // 1: 1, 2, 3 for AES-128, AES-192, AES-256
constexpr int k_aes_extra_method = 5;    // 2: the real compression method

// The Unix mode that a Unix host keeps in the top 16 bits of the external
// attributes: its file type bits, and the type of a symbolic link.
constexpr std::uint32_t k_unix_type_mask = 0170000;
constexpr std::uint32_t k_unix_type_link = 0120000;
