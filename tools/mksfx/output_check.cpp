// output_check.cpp - read the written self-extractor back and compare it with what was meant.
#include "output_check.h"

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "archive/archive_state.h"
#include "archive/central_directory.h"
#include "archive/eocd_search.h"
#include "archive/record_decoders.h"
#include "mksfx_platform.h"
#include "platform/platform.h"

namespace {

class ReadFile {
 public:
  explicit ReadFile(const std::string& path) : file_(open_file(path, "rb")) {
    if (file_ == nullptr) throw BuildError("cannot read back " + path);
  }
  ~ReadFile() {
    if (file_ != nullptr) std::fclose(file_);
  }
  ReadFile(const ReadFile&) = delete;
  ReadFile& operator=(const ReadFile&) = delete;
  FILE* get() { return file_; }

 private:
  FILE* file_;
};

std::string read_at(FILE* file, std::uint64_t offset, std::size_t size) {
  std::string bytes(size, '\0');
  if (platform_seek(file, offset) != 0 || std::fread(bytes.data(), 1, size, file) != size) {
    return "";
  }
  return bytes;
}

void check_local_header(FILE* file, const CentralRecord& record) {
  std::string header = read_at(file, record.local_header_offset, k_local_header_size + record.name.size());
  if (header.empty() || get_le32(header, 0) != k_local_header_signature ||
      header.compare(k_local_header_size, std::string::npos, record.name) != 0) {
    throw BuildError("read back: no local header of " + record.name + " where the directory says");
  }
}

bool same_entry(const ZipEntry& entry, const CentralRecord& record) {
  return entry.name_length == record.name.size() &&
         std::memcmp(entry.name, record.name.data(), record.name.size()) == 0 && entry.crc32 == record.crc32 &&
         entry.compressed_size == record.compressed_size && entry.uncompressed_size == record.uncompressed_size &&
         entry.compression_method == record.method && entry.flags == record.flags &&
         entry.starting_segment == record.disk && entry.local_header_offset == record.local_header_offset;
}

std::uint64_t size_of(const std::string& path) {
  std::error_code error;
  std::uintmax_t size = std::filesystem::file_size(native_path(path), error);
  if (error) throw BuildError("cannot read back " + path);
  return size;
}

// True when the end record's signature lies in the part of the file that the
// stub searches; on any disk but the last it would stop the stub there.
bool holds_end_signature(const std::string& path) {
  ReadFile file(path);
  std::uint64_t size = size_of(path);
  std::uint64_t start = size > k_end_record_window ? size - k_end_record_window : 0;
  std::string tail = read_at(file.get(), start, static_cast<std::size_t>(size - start));
  return last_end_signature_in(reinterpret_cast<const unsigned char*>(tail.data()), tail.size()) >= 0;
}

}  // namespace

void check_single_output(const std::string& path, const std::vector<CentralRecord>& records) {
  release_directory();
  archive_state.archive_path = path.c_str();
  ReadFile file(path);
  // Without an end record the reader would ask for the last disk; a single
  // file that lacks one is simply broken.
  std::uint64_t size = size_of(path);
  std::uint32_t found = 0;
  std::uint32_t lower = size > k_end_record_window ? static_cast<std::uint32_t>(size - k_end_record_window) : 0;
  if (find_end_of_central(file.get(), &found, lower) != ArchiveError::none) {
    throw BuildError("read back: the stub finds no end record in " + path);
  }
  ArchiveError code = read_central_directory(file.get());
  if (code != ArchiveError::none) {
    release_directory();
    throw BuildError(std::string("read back: the stub could not read the directory: ") + error_text(code));
  }
  bool same = archive_state.entry_count == static_cast<std::int32_t>(records.size()) &&
              archive_state.total_entry_count == archive_state.entry_count;
  std::size_t index = 0;
  for (const ZipEntry* entry = archive_state.entries; same && entry != nullptr; entry = entry->next, ++index) {
    same = index < records.size() && same_entry(*entry, records[index]);
  }
  release_directory();
  if (!same) throw BuildError("read back: the directory the stub reads differs from the one written");
  for (const CentralRecord& record : records) check_local_header(file.get(), record);
}

void check_split_output(const std::vector<std::string>& disk_paths, std::uint64_t split_size,
                        const std::vector<CentralRecord>& records) {
  for (std::size_t i = 0; i < disk_paths.size(); ++i) {
    if (size_of(disk_paths[i]) > split_size) throw BuildError("read back: " + disk_paths[i] + " is larger than a disk");
    if (i + 1 < disk_paths.size() && holds_end_signature(disk_paths[i])) {
      throw BuildError(
          "read back: " + disk_paths[i] +
          " holds the bytes of an end record near its end, which would mislead the stub; try another --split size");
    }
  }
  ReadFile last(disk_paths.back());
  std::uint64_t size = size_of(disk_paths.back());
  std::uint32_t found = 0;
  std::uint32_t lower = size > k_end_record_window ? static_cast<std::uint32_t>(size - k_end_record_window) : 0;
  if (find_end_of_central(last.get(), &found, lower) != ArchiveError::none) {
    throw BuildError("read back: the stub finds no end record on the last disk");
  }
  std::string end = read_at(last.get(), found, k_end_record_size);
  EndRecordFields fields{};
  if (!end.empty()) decode_end_record(reinterpret_cast<const unsigned char*>(end.data()) + 4, &fields);
  std::size_t counted = records.size() > k_largest_16bit_count ? k_zip64_marker16 : records.size();
  if (end.empty() || fields.last_disk != disk_paths.size() - 1 || fields.total_entries != counted) {
    throw BuildError("read back: the end record on the last disk does not match the disks written");
  }
  for (const CentralRecord& record : records) {
    if (record.disk >= disk_paths.size()) throw BuildError("read back: " + record.name + " lies on a missing disk");
    ReadFile disk(disk_paths[record.disk]);
    check_local_header(disk.get(), record);
  }
}
