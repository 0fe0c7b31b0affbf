// zip_records.cpp - encode local and central headers, convert times to DOS form.
#include "zip_records.h"

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

// The fields that the local and the central header hold alike, from version
// needed to the extra field's length.
void put_shared_fields(std::string& out, const CentralRecord& record) {
  put_le16(out, record.version_needed);
  put_le16(out, record.flags);
  put_le16(out, record.method);
  put_le16(out, record.dos_time);
  put_le16(out, record.dos_date);
  put_le32(out, record.crc32);
  put_le32(out, record.compressed_size);
  put_le32(out, record.uncompressed_size);
  put_le16(out, static_cast<std::uint32_t>(record.name.size()));
  put_le16(out, static_cast<std::uint32_t>(record.extra.size()));
}

}  // namespace

std::string encode_local_header(const CentralRecord& record) {
  std::string out;
  out.reserve(k_local_header_size + record.name.size() + record.extra.size());
  put_le32(out, k_local_header_signature);
  put_shared_fields(out, record);
  out += record.name;
  out += record.extra;
  return out;
}

std::string encode_central_header(const CentralRecord& record) {
  std::string out;
  out.reserve(k_central_header_size + record.name.size() + record.extra.size() + record.comment.size());
  put_le32(out, k_central_header_signature);
  put_le16(out, record.version_made_by);
  put_shared_fields(out, record);
  put_le16(out, static_cast<std::uint32_t>(record.comment.size()));
  put_le16(out, record.disk);
  put_le16(out, record.internal_attributes);
  put_le32(out, record.external_attributes);
  put_le32(out, record.local_header_offset);
  out += record.name;
  out += record.extra;
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
