// zip_records.cpp - encode local and central headers, convert times to DOS form.
#include "zip_records.h"

#include <algorithm>

#include "archive/extra_field.h"
#include "front/messages.h"

volatile std::sig_atomic_t g_build_interrupted = 0;

void stop_if_interrupted() {
  if (g_build_interrupted != 0) throw BuildError("interrupted");
}

std::string shown(const std::string& name) {
  std::string text = name;
  for (char& c : text) {
    if (c == '\0') c = '?';
  }
  return shown_name(text.c_str());
}

namespace {

// A 32-bit field's value: all ones when the value goes into the Zip64 block.
std::uint32_t field_of(std::uint64_t value, bool in_zip64) {
  return in_zip64 ? k_zip64_marker32 : static_cast<std::uint32_t>(value);
}

bool is_large(std::uint64_t value) { return value > k_largest_32bit_value; }

// The fields that the local and the central header hold alike, from version
// needed to the extra field's length; sizes_in_zip64 makes both sizes all
// ones, otherwise each large one is. A header with a Zip64 block needs
// version 4.5.
void put_shared_fields(std::string& out, const CentralRecord& record, bool sizes_in_zip64, const std::string& extra) {
  bool zip64 = extra.size() != record.extra.size();
  std::uint16_t version = zip64 && record.version_needed < k_version_zip64 ? k_version_zip64 : record.version_needed;
  put_le16(out, version);
  put_le16(out, record.flags);
  put_le16(out, record.method);
  put_le16(out, record.dos_time);
  put_le16(out, record.dos_date);
  put_le32(out, record.crc32);
  put_le32(out, field_of(record.compressed_size, sizes_in_zip64 || is_large(record.compressed_size)));
  put_le32(out, field_of(record.uncompressed_size, sizes_in_zip64 || is_large(record.uncompressed_size)));
  put_le16(out, static_cast<std::uint32_t>(record.name.size()));
  put_le16(out, static_cast<std::uint32_t>(extra.size()));
}

std::string zip64_block(const std::string& values) {
  std::string block;
  put_le16(block, k_zip64_extra_id);
  put_le16(block, static_cast<std::uint32_t>(values.size()));
  return block + values;
}

}  // namespace

std::string without_zip64_block(const std::string& extra) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(extra.data());
  std::string kept;
  std::size_t at = 0;
  std::size_t start = 0;
  ExtraBlock block;
  while (next_extra_block(bytes, extra.size(), &at, &block)) {
    if (block.id != k_zip64_extra_id) kept += extra.substr(start, at - start);
    start = at;
  }
  return kept + extra.substr(at);  // a stray tail, as it was
}

std::string encode_local_header(const CentralRecord& record) {
  // The local Zip64 block holds both sizes, or none.
  bool large = is_large(record.compressed_size) || is_large(record.uncompressed_size);
  std::string values;
  if (large) {
    put_le64(values, record.uncompressed_size);
    put_le64(values, record.compressed_size);
  }
  std::string extra = large ? zip64_block(values) + record.extra : record.extra;
  std::string out;
  out.reserve(k_local_header_size + record.name.size() + extra.size());
  put_le32(out, k_local_header_signature);
  put_shared_fields(out, record, large, extra);
  out += record.name;
  out += extra;
  return out;
}

std::string encode_central_header(const CentralRecord& record) {
  std::string values;
  if (is_large(record.uncompressed_size)) put_le64(values, record.uncompressed_size);
  if (is_large(record.compressed_size)) put_le64(values, record.compressed_size);
  bool offset_in_zip64 = is_large(record.local_header_offset);
  if (offset_in_zip64) put_le64(values, record.local_header_offset);
  std::string extra = values.empty() ? record.extra : zip64_block(values) + record.extra;
  std::string out;
  out.reserve(k_central_header_size + record.name.size() + extra.size() + record.comment.size());
  put_le32(out, k_central_header_signature);
  put_le16(out, record.version_made_by);
  put_shared_fields(out, record, false, extra);
  put_le16(out, static_cast<std::uint32_t>(record.comment.size()));
  put_le16(out, record.disk);
  put_le16(out, record.internal_attributes);
  put_le32(out, record.external_attributes);
  put_le32(out, field_of(record.local_header_offset, offset_in_zip64));
  out += record.name;
  out += extra;
  out += record.comment;
  return out;
}

std::uint32_t dos_time_of(std::time_t seconds) {
  // mksfx runs one thread, so localtime's shared result is safe to read.
  const struct tm* converted = std::localtime(&seconds);
  if (converted == nullptr || converted->tm_year < 80) {
    return (1u << 21 | 1u << 16);  // 1980-01-01 00:00:00, the earliest DOS time
  }
  const struct tm& local = *converted;
  if (local.tm_year > 207) return (127u << 25 | 12u << 21 | 31u << 16 | 23u << 11 | 59u << 5 | 29u);
  // DOS times count in 2-second steps; an odd second is rounded down.
  std::uint32_t date = static_cast<std::uint32_t>((local.tm_year - 80) << 9 | (local.tm_mon + 1) << 5 | local.tm_mday);
  std::uint32_t time = static_cast<std::uint32_t>(local.tm_hour << 11 | local.tm_min << 5 | local.tm_sec / 2);
  return date << 16 | time;
}
