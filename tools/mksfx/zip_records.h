// zip_records.h - the records mksfx writes: central entries, byte packing, DOS times.
#pragma once

#include <csignal>
#include <cstdint>
#include <ctime>
#include <stdexcept>
#include <string>
#include <vector>

#include "archive/zip_format.h"
#include "extract/traditional_cipher.h"

// A failure that ends the build; main prints what() and exits with 1.
struct BuildError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A member name or path as a message shows it, by the stub's rule
// (shown_name): control bytes become '?'. A zero byte, which would end the
// text there, becomes '?' too, so the whole name shows.
std::string shown(const std::string& name);

// The signal that interrupted the build, or 0; the build stops at its next
// read or write and removes what it has written.
extern volatile std::sig_atomic_t g_build_interrupted;
// Throws BuildError once the build has been interrupted.
void stop_if_interrupted();

// One entry of the central directory as it will be written. The writer fills
// in disk and local_header_offset when the member's local header lands.
struct CentralRecord {
  std::uint16_t version_made_by = 0;
  std::uint16_t version_needed = 0;
  std::uint16_t flags = 0;
  std::uint16_t method = 0;
  std::uint16_t dos_time = 0;
  std::uint16_t dos_date = 0;
  std::uint32_t crc32 = 0;
  std::uint64_t compressed_size = 0;
  std::uint64_t uncompressed_size = 0;
  std::string name;
  std::string extra;  // without a Zip64 block: the encoders add one where needed
  std::string comment;
  std::uint16_t internal_attributes = 0;
  std::uint32_t external_attributes = 0;
  std::uint16_t disk = 0;
  std::uint64_t local_header_offset = 0;
};

// The hard limits of what the stub extracts: it counts members in 31 bits
// and seeks to signed 64-bit positions.
constexpr std::uint64_t k_max_entries = 0x7FFFFFFF;
constexpr std::uint64_t k_max_member_size = 0x7FFFFFFFFFFFFFFFull;
// Past these, the 32-bit field holds all ones and a Zip64 record the value.
constexpr std::uint64_t k_largest_32bit_value = 0xFFFFFFFEull;
constexpr std::uint64_t k_largest_16bit_count = 0xFFFF;

constexpr std::uint16_t k_made_by_unix = (3 << 8) | 30;  // Unix host, version 3.0
constexpr std::uint16_t k_needed_stored = 10;
constexpr std::uint16_t k_needed_deflated = 20;  // also needed for the cipher
// The DOS attributes in the low byte of the external attributes.
constexpr std::uint32_t k_dos_read_only_attribute = 0x01;
constexpr std::uint32_t k_dos_directory_attribute = 0x10;
constexpr std::uint32_t k_dos_archive_attribute = 0x20;

inline void put_le16(std::string& out, std::uint32_t value) {
  out.push_back(static_cast<char>(value & 0xFF));
  out.push_back(static_cast<char>((value >> 8) & 0xFF));
}

inline void put_le32(std::string& out, std::uint32_t value) {
  put_le16(out, value & 0xFFFF);
  put_le16(out, value >> 16);
}

inline void put_le64(std::string& out, std::uint64_t value) {
  put_le32(out, static_cast<std::uint32_t>(value & 0xFFFFFFFF));
  put_le32(out, static_cast<std::uint32_t>(value >> 32));
}

inline std::uint16_t get_le16(const std::string& bytes, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[at]) |
                                    (static_cast<unsigned char>(bytes[at + 1]) << 8));
}

inline std::uint32_t get_le32(const std::string& bytes, std::size_t at) {
  return get_le16(bytes, at) | (static_cast<std::uint32_t>(get_le16(bytes, at + 2)) << 16);
}

inline std::uint64_t get_le64(const std::string& bytes, std::size_t at) {
  return get_le32(bytes, at) | (static_cast<std::uint64_t>(get_le32(bytes, at + 4)) << 32);
}

// The extra field without its Zip64 block (the other blocks as they were).
std::string without_zip64_block(const std::string& extra);

// Local header of a member as described by its central record; sizes of
// 4 GiB or more go into a Zip64 block, which holds both of them.
std::string encode_local_header(const CentralRecord& record);
// Central header with the record's disk and offset; each size or offset of
// 4 GiB or more is all ones and its value in a Zip64 block.
std::string encode_central_header(const CentralRecord& record);

// The DOS date (high 16 bits) and time (low 16 bits) of a moment in local
// time, which is how the stubs restore it; clamped to 1980-2107.
std::uint32_t dos_time_of(std::time_t seconds);
