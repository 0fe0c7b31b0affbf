// zip_conversion.cpp - turn an existing zip archive (or split set) into a self-extractor.
#include "zip_conversion.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "archive/aes_extra.h"
#include "archive/eocd_search.h"
#include "archive/record_decoders.h"
#include "extract/aes_member.h"
#include "mksfx_platform.h"
#include "platform/platform.h"

namespace {

constexpr std::size_t k_copy_chunk = 1 << 20;
constexpr std::uint16_t k_flag_strong_encryption = 0x0040;

std::uint64_t file_size_of(const std::string& path) {
  std::error_code error;
  std::uintmax_t size = std::filesystem::file_size(native_path(path), error);
  if (error) throw BuildError("cannot read " + path + ": " + error.message());
  return size;
}

// The parts of a split set read as one stream: disk N's offset X is byte
// starts[N] + X of the whole.
class ArchiveParts {
 public:
  void add_part(const std::string& path) {
    starts_.push_back(total_);
    paths_.push_back(path);
    total_ += file_size_of(path);
  }
  ~ArchiveParts() {
    if (file_ != nullptr) std::fclose(file_);
  }

  std::uint64_t start_of(std::size_t disk) const {
    if (disk >= starts_.size())
      throw BuildError("the archive names disk " + std::to_string(disk + 1) + " of " + std::to_string(starts_.size()));
    return starts_[disk];
  }
  std::uint64_t total() const { return total_; }
  const std::string& last_path() const { return paths_.back(); }

  // Reads size bytes at offset of the whole; throws when they are not there.
  std::string read(std::uint64_t offset, std::size_t size) {
    // Before the buffer is sized: a length read from the archive may be absurd.
    if (size > total_ || offset > total_ - size) throw BuildError("the archive is cut short: a record passes its end");
    std::string bytes;
    bytes.reserve(size);
    while (bytes.size() < size) {
      std::size_t part = part_of(offset);
      std::uint64_t in_part = offset - starts_[part];
      std::uint64_t part_end = part + 1 < starts_.size() ? starts_[part + 1] : total_;
      std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(size - bytes.size(), part_end - offset));
      open_part(part);
      std::string chunk(piece, '\0');
      if (platform_seek(file_, in_part) != 0 || std::fread(chunk.data(), 1, piece, file_) != piece) {
        throw BuildError("cannot read " + paths_[part] + ": the archive is cut short or unreadable");
      }
      bytes += chunk;
      offset += piece;
    }
    return bytes;
  }

 private:
  std::size_t part_of(std::uint64_t offset) const {
    if (offset >= total_) throw BuildError("the archive is cut short: an offset points past its end");
    auto after = std::upper_bound(starts_.begin(), starts_.end(), offset);
    return static_cast<std::size_t>(after - starts_.begin()) - 1;
  }
  void open_part(std::size_t part) {
    if (file_ != nullptr && open_part_ == part) return;
    if (file_ != nullptr) std::fclose(file_);
    file_ = open_file(paths_[part], "rb");
    if (file_ == nullptr) throw BuildError("cannot read " + paths_[part] + ": " + std::strerror(errno));
    open_part_ = part;
  }

  std::vector<std::string> paths_;
  std::vector<std::uint64_t> starts_;
  std::uint64_t total_ = 0;
  FILE* file_ = nullptr;
  std::size_t open_part_ = 0;
};

const unsigned char* bytes_of(const std::string& bytes) { return reinterpret_cast<const unsigned char*>(bytes.data()); }

// The end of the archive as the stub reads it: the end record's fields
// (the Zip64 end record's once that is read), where it lies, its comment
// and the Zip64 locator before it.
struct ArchiveEnd {
  EndRecordFields fields{};
  std::uint64_t offset = 0;  // the end record's, in the last file
  std::string comment;
  bool has_locator = false;
  Zip64Locator locator{};
  // Where the directory ends in the whole set: at the end record or the
  // Zip64 end record.
  std::uint64_t directory_end = 0;
};

// The last bytes of the file at path, size bytes long: the stub's search
// window for the end record, and room before it for the Zip64 locator of a
// record at the window's very start. Empty when the file cannot be read.
std::string read_end_window(const std::string& path, std::uint64_t size) {
  FILE* file = open_file(path, "rb");
  if (file == nullptr) return "";
  std::size_t length =
      static_cast<std::size_t>(std::min<std::uint64_t>(size, k_end_record_window + k_zip64_locator_size));
  std::string window(length, '\0');
  bool read_ok = platform_seek(file, size - length) == 0 && std::fread(window.data(), 1, length, file) == length;
  std::fclose(file);
  return read_ok ? window : "";
}

// Where in window the stub finds the end record's signature, or -1.
long find_end_signature(const std::string& window) {
  std::size_t search_start = window.size() - std::min<std::size_t>(window.size(), k_end_record_window);
  long match = last_end_signature_in(bytes_of(window) + search_start, window.size() - search_start);
  return match < 0 ? -1 : match + static_cast<long>(search_start);
}

// Reads the end record that the stub finds: false when there is none;
// throws when its fields pass the file's end. A comment that does is cut
// to what is there.
bool read_end_record(const std::string& path, ArchiveEnd* end) {
  std::uint64_t size = file_size_of(path);
  std::string window = read_end_window(path, size);
  long match = find_end_signature(window);
  if (match < 0) return false;
  std::size_t found = static_cast<std::size_t>(match);
  if (found + k_end_record_size > window.size()) throw BuildError("the archive is cut short: a record passes its end");
  decode_end_record(bytes_of(window) + found + 4, &end->fields);
  end->offset = size - window.size() + found;
  std::size_t after = window.size() - found - k_end_record_size;
  end->comment = window.substr(found + k_end_record_size, std::min<std::size_t>(end->fields.comment_length, after));
  end->has_locator =
      found >= k_zip64_locator_size &&
      decode_zip64_locator(bytes_of(window) + found - k_zip64_locator_size, &end->locator) == Zip64Result::ok;
  return true;
}

// The Zip64 end record at offset of the file that starts at file_start in
// the whole set, or absent.
Zip64Result read_zip64_end_at(ArchiveParts& parts, std::uint64_t file_start, std::uint64_t offset, Zip64End* zip64) {
  std::uint64_t room = parts.total() - file_start;
  if (offset > room || room - offset < k_zip64_end_size) return Zip64Result::absent;
  return decode_zip64_end(bytes_of(parts.read(file_start + offset, k_zip64_end_size)), zip64);
}

// Takes the values of the Zip64 end record that the locator names, where
// the stub would (see is_zip64_end_wanted, find_zip64_end_before_locator).
void read_zip64_end(ArchiveParts& parts, ArchiveEnd* end) {
  if (!is_zip64_end_wanted(end->locator, end->fields)) return;
  std::uint64_t file_start = parts.start_of(end->locator.end_disk);
  std::uint64_t offset = end->locator.end_offset;
  Zip64End zip64{};
  Zip64Result result = read_zip64_end_at(parts, file_start, offset, &zip64);
  std::uint64_t locator_offset = end->offset - k_zip64_locator_size;
  if (result == Zip64Result::absent &&
      find_zip64_end_before_locator(end->locator, locator_offset, end->fields, &offset)) {
    file_start = end->directory_end - end->offset;
    result = read_zip64_end_at(parts, file_start, offset, &zip64);
  }
  if (result == Zip64Result::absent && !end->fields.zip64_needed) return;
  if (result == Zip64Result::absent) throw BuildError("the archive's Zip64 end locator points to no Zip64 end record");
  if (result != Zip64Result::ok) {
    throw BuildError("the archive's Zip64 end record holds counts or offsets too large to be true");
  }
  take_zip64_end(zip64, &end->fields);
  end->directory_end = file_start + offset;
}

// The sibling that holds disk number (counted from 1) of a split set:
// NAME.z01, NAME.z02, ... beside NAME.zip.
std::string sibling_path(const std::string& last_path, std::size_t number) {
  std::size_t dot = last_path.rfind('.');
  std::size_t slash = last_path.rfind('/');
  std::string stem =
      (dot == std::string::npos || (slash != std::string::npos && dot < slash)) ? last_path : last_path.substr(0, dot);
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, ".z%02zu", number);
  std::string lower = stem + suffix;
  std::error_code error;
  if (std::filesystem::exists(native_path(lower), error)) return lower;
  std::snprintf(suffix, sizeof suffix, ".Z%02zu", number);
  if (std::filesystem::exists(native_path(stem + suffix), error)) return stem + suffix;
  throw BuildError("part " + std::to_string(number) + " of the split archive is missing: " + lower);
}

// One member of the source archive: its central record and the bytes from
// its local header up to the next member (data descriptor included).
struct SourceMember {
  CentralRecord record;
  std::uint64_t start = 0;
  std::uint64_t span = 0;
  std::size_t header_length = 0;  // local header, name, extra, encryption header
};

// Reads the record's AES extra field the way the stub does; false when the
// record is no AES member the stub can read.
bool read_record_aes_extra(const CentralRecord& record, AesExtra* extra) {
  ZipEntry entry{};
  entry.compression_method = record.method;
  entry.flags = record.flags;
  entry.extra_length = static_cast<std::uint16_t>(record.extra.size());
  entry.extra_field = reinterpret_cast<unsigned char*>(const_cast<char*>(record.extra.data()));
  return read_aes_extra(&entry, extra);
}

// What lies between a member's local header and its data: the traditional
// cipher's header, or an AES member's salt and password verifier.
std::size_t cipher_header_size(const CentralRecord& record) {
  AesExtra aes;
  if (read_record_aes_extra(record, &aes)) return aes_salt_size(aes.strength) + k_aes_verifier_size;
  return (record.flags & 1) ? k_encryption_header_size : 0;
}

// Takes the Zip64 block's values for the fields that are all ones, as the
// stub does.
void apply_zip64_block(ZipEntry* entry, const std::string& name) {
  Zip64Result result = apply_zip64_extra_to(entry);
  if (result == Zip64Result::too_short) {
    throw BuildError(shown(name) + ": its Zip64 extra field is shorter than the values it must hold");
  }
  if (result == Zip64Result::too_large) throw BuildError(shown(name) + ": its Zip64 sizes are too large");
}

// The record of a decoded entry, without the Zip64 block: the writer makes
// a new one where the new place needs it.
CentralRecord record_of(const ZipEntry& entry, std::string name, const std::string& extra, std::string comment) {
  CentralRecord record;
  record.version_made_by = entry.version_made_by;
  record.version_needed = entry.version_needed;
  // What the header needed beyond Zip64 stays; Zip64 alone is the writer's to mark.
  if (record.version_needed == k_version_zip64) record.version_needed = k_needed_deflated;
  record.flags = entry.flags;
  record.method = entry.compression_method;
  record.dos_time = static_cast<std::uint16_t>(entry.modification_time_and_date & 0xFFFF);
  record.dos_date = static_cast<std::uint16_t>(entry.modification_time_and_date >> 16);
  record.crc32 = entry.crc32;
  record.compressed_size = entry.compressed_size;
  record.uncompressed_size = entry.uncompressed_size;
  record.name = std::move(name);
  record.extra = without_zip64_block(extra);
  record.comment = std::move(comment);
  record.internal_attributes = entry.internal_attributes;
  record.external_attributes = entry.external_attributes;
  record.disk = entry.starting_segment;
  record.local_header_offset = entry.local_header_offset;
  return record;
}

// Decodes the central header at `at` in directory as the stub does; *next
// is where the next one starts.
CentralRecord decode_central(const std::string& directory, std::size_t at, std::size_t* next) {
  if (at + k_central_header_size > directory.size() || get_le32(directory, at) != k_central_header_signature) {
    throw BuildError("the archive's central directory is damaged");
  }
  ZipEntry entry{};
  decode_central_fields(bytes_of(directory) + at + 4, &entry);
  std::size_t variable = at + k_central_header_size;
  *next = variable + entry.name_length + entry.extra_length + entry.comment_length;
  if (*next > directory.size()) throw BuildError("the archive's central directory is damaged");
  std::string name = directory.substr(variable, entry.name_length);
  std::string extra = directory.substr(variable + entry.name_length, entry.extra_length);
  entry.extra_field = reinterpret_cast<unsigned char*>(extra.data());
  apply_zip64_block(&entry, name);
  return record_of(entry, std::move(name), extra, directory.substr(*next - entry.comment_length, entry.comment_length));
}

void check_member(const CentralRecord& record, NameRules rules) {
  std::string refusal = refusal_of_name(record.name, rules);
  if (!refusal.empty()) throw BuildError("refusing member " + shown(record.name) + ": " + refusal);
  bool is_directory = !record.name.empty() && record.name.back() == '/';
  AesExtra aes;
  bool readable_aes = read_record_aes_extra(record, &aes);
  if (!is_directory && record.compressed_size > 0 && record.method != 0 && record.method != 8 && !readable_aes) {
    throw BuildError(shown(record.name) + " uses compression method " + std::to_string(record.method) +
                     ", which the stub cannot extract (only stored and deflated)");
  }
  if ((record.flags & k_flag_strong_encryption) != 0) {
    throw BuildError(shown(record.name) + " uses strong encryption, which the stub cannot decipher");
  }
}

// The directory lies between its start and the end record: a size that
// passes the end record (a damaged or hostile end record claiming
// petabytes) is refused before any of it is read.
void check_directory_size(std::uint64_t directory_size, std::uint64_t directory_start, std::uint64_t end_start) {
  if (directory_start > end_start) {
    throw BuildError("the archive's end record places its central directory past itself");
  }
  if (directory_size > end_start - directory_start) {
    throw BuildError("the archive's end record gives its central directory " + std::to_string(directory_size) +
                     " bytes, but only " + std::to_string(end_start - directory_start) +
                     " bytes lie between its start and the end record");
  }
}

std::vector<SourceMember> read_members(ArchiveParts& parts, const ArchiveEnd& end, NameRules rules,
                                       std::uint64_t* directory_start_out) {
  const EndRecordFields& fields = end.fields;
  std::uint64_t directory_start = parts.start_of(fields.directory_disk) + fields.directory_offset;
  // An archive with data in front (cat stub archive.zip) keeps offsets
  // counted from its own start: every offset moves by the same distance.
  std::uint64_t shift = 0;
  bool directory_in_place =
      fields.total_entries == 0 || (directory_start + 4 <= parts.total() &&
                                    get_le32(parts.read(directory_start, 4), 0) == k_central_header_signature);
  if (!directory_in_place) shift = appended_archive_shift(fields, end.directory_end);
  directory_start += shift;
  check_directory_size(fields.directory_size, directory_start, end.directory_end);
  *directory_start_out = directory_start;
  std::string directory = parts.read(directory_start, fields.directory_size);
  std::vector<SourceMember> members;
  for (std::size_t at = 0; at < directory.size();) {
    SourceMember member;
    member.record = decode_central(directory, at, &at);
    check_member(member.record, rules);
    member.start = parts.start_of(member.record.disk) + member.record.local_header_offset + shift;
    members.push_back(std::move(member));
  }
  if (members.size() != fields.total_entries) {
    throw BuildError("the archive's end record announces " + std::to_string(fields.total_entries) +
                     " entries, its directory holds " + std::to_string(members.size()));
  }
  return members;
}

// The members in the order they lie in the archive.
std::vector<SourceMember*> sorted_by_start(std::vector<SourceMember>& members) {
  std::vector<SourceMember*> by_start;
  by_start.reserve(members.size());
  for (SourceMember& member : members) by_start.push_back(&member);
  std::sort(by_start.begin(), by_start.end(), [](auto* a, auto* b) { return a->start < b->start; });
  return by_start;
}

// Finds each member's span (up to the next local header or the directory)
// and checks its local header.
void measure_members(ArchiveParts& parts, std::vector<SourceMember>& members, std::uint64_t directory_start) {
  std::vector<SourceMember*> by_start = sorted_by_start(members);
  for (std::size_t i = 0; i < by_start.size(); ++i) {
    SourceMember& member = *by_start[i];
    std::uint64_t end = i + 1 < by_start.size() ? by_start[i + 1]->start : directory_start;
    if (end <= member.start) throw BuildError("members " + shown(member.record.name) + " and another share their data");
    member.span = end - member.start;
    if (member.span < k_local_header_size) {
      throw BuildError(shown(member.record.name) + ": its local header is cut short");
    }
    LocalHeaderFields local;
    if (!decode_local_header(bytes_of(parts.read(member.start, k_local_header_size)), &local))
      throw BuildError(shown(member.record.name) + ": no local header where the directory says");
    std::size_t names = local.name_length + static_cast<std::size_t>(local.extra_length);
    member.header_length = k_local_header_size + names + cipher_header_size(member.record);
    std::uint64_t needed = k_local_header_size + names + member.record.compressed_size;
    if (needed > member.span)
      throw BuildError(shown(member.record.name) + ": its data overlaps the next member or the directory");
  }
}

void copy_member(ArchiveParts& parts, DiskWriter& writer, SourceMember& member) {
  DiskPosition position = write_whole(writer, parts.read(member.start, member.header_length));
  member.record.disk = position.disk;
  member.record.local_header_offset = position.offset;
  for (std::uint64_t done = member.header_length; done < member.span;) {
    std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(k_copy_chunk, member.span - done));
    std::string bytes = parts.read(member.start + done, piece);
    write_spanning(writer, bytes.data(), bytes.size());
    done += piece;
  }
}

// Opens the archive at path (the last file of a split set, with its
// siblings) into parts and reads its checked members; *comment receives
// the archive comment.
std::vector<SourceMember> read_archive(ArchiveParts& parts, const std::string& path, NameRules rules,
                                       std::string* comment) {
  ArchiveEnd end;
  if (!read_end_record(path, &end)) throw BuildError(path + " is not a zip archive");
  if (end.has_locator) take_last_disk_from(end.locator, &end.fields);
  for (std::size_t number = 1; number <= end.fields.last_disk; ++number) parts.add_part(sibling_path(path, number));
  parts.add_part(path);
  end.directory_end = parts.start_of(end.fields.last_disk) + end.offset;
  if (end.has_locator) read_zip64_end(parts, &end);
  std::uint64_t directory_start = 0;
  std::vector<SourceMember> members = read_members(parts, end, rules, &directory_start);
  measure_members(parts, members, directory_start);
  *comment = end.comment;
  return members;
}

// The first bytes (at most size) that a raw deflate stream inflates to; ""
// when it is damaged.
std::string inflate_head(const std::string& deflated, std::size_t size) {
  z_stream stream;
  std::memset(&stream, 0, sizeof stream);
  if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) return "";
  std::string head(size, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(deflated.data()));
  stream.avail_in = static_cast<uInt>(deflated.size());
  stream.next_out = reinterpret_cast<Bytef*>(head.data());
  stream.avail_out = static_cast<uInt>(size);
  int status = inflate(&stream, Z_SYNC_FLUSH);
  head.resize(size - stream.avail_out);
  inflateEnd(&stream);
  return status == Z_OK || status == Z_STREAM_END || status == Z_BUF_ERROR ? head : "";
}

// The first bytes of a member's data as extracted, for a member stored or
// deflated without a cipher; "" for any other.
std::string decode_member_head(ArchiveParts& parts, const SourceMember& member, std::size_t size) {
  const CentralRecord& record = member.record;
  if ((record.flags & 1) != 0 || (record.method != 0 && record.method != 8)) return "";
  std::uint64_t data_start = member.start + member.header_length;
  if (record.method == 0) return parts.read(data_start, std::min<std::uint64_t>(size, record.compressed_size));
  // A program's start seldom deflates below a sixteenth: this much fills size.
  std::uint64_t input = std::min<std::uint64_t>(record.compressed_size, std::uint64_t{16} * size);
  return inflate_head(parts.read(data_start, static_cast<std::size_t>(input)), size);
}

}  // namespace

bool is_zip_archive(const std::string& path) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(native_path(path), error)) return false;
  return find_end_signature(read_end_window(path, file_size_of(path))) >= 0;
}

std::vector<CentralRecord> convert_archive(DiskWriter& writer, const std::string& path, NameRules rules, bool quiet,
                                           std::string* comment) {
  ArchiveParts parts;
  std::vector<SourceMember> members = read_archive(parts, path, rules, comment);
  // Members are copied in the order they lie in the archive; the directory
  // keeps its own order.
  std::vector<SourceMember*> by_start = sorted_by_start(members);
  for (SourceMember* member : by_start) {
    copy_member(parts, writer, *member);
    if (!quiet) std::printf("  copying: %s\n", shown(member->record.name).c_str());
  }
  std::vector<CentralRecord> records;
  records.reserve(members.size());
  for (SourceMember& member : members) records.push_back(std::move(member.record));
  return records;
}

std::string read_member_head(const std::string& path, const std::string& name, NameRules rules, std::size_t size) {
  ArchiveParts parts;
  std::string comment;
  std::vector<SourceMember> members = read_archive(parts, path, rules, &comment);
  for (const SourceMember& member : members) {
    if (member.record.name == name) return decode_member_head(parts, member, size);
  }
  return "";
}
