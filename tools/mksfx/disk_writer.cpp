// disk_writer.cpp - write the self-extractor to one file or to a set of floppy disks.
#include "disk_writer.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "mksfx_platform.h"

namespace {

std::string system_reason() { return std::strerror(errno); }

std::string disk_path_of(const DiskWriter& writer, std::size_t disk_number) {
  return writer.folder + "/disk" + std::to_string(disk_number) + "/" + writer.name;
}

void make_disk_folder(const std::string& folder) {
  std::error_code error;
  if (!std::filesystem::create_directory(native_path(folder), error)) {
    throw BuildError("cannot create " + folder + ": " + (error ? error.message() : "it exists already"));
  }
}

void open_disk_file(DiskWriter& writer, const std::string& path) {
  writer.file = open_file(path, "wb");
  if (writer.file == nullptr) throw BuildError("cannot create " + path + ": " + system_reason());
  writer.disk_paths.push_back(path);
  writer.used = 0;
}

void start_next_disk(DiskWriter& writer) {
  close_output(writer);
  std::size_t number = writer.disk_paths.size() + 1;
  if (number > 65535) throw BuildError("more than 65535 disks would be needed");
  make_disk_folder(writer.folder + "/disk" + std::to_string(number));
  open_disk_file(writer, disk_path_of(writer, number));
}

void write_here(DiskWriter& writer, const char* data, std::size_t size) {
  stop_if_interrupted();
  if (size == 0) return;
  if (std::fwrite(data, 1, size, writer.file) != size) {
    throw BuildError("cannot write " + writer.disk_paths.back() + ": " + system_reason());
  }
  writer.used += size;
}

}  // namespace

void open_single_output(DiskWriter& writer, const std::string& path) {
  writer.split_size = 0;
  open_disk_file(writer, path);
}

void open_split_output(DiskWriter& writer, const std::string& folder, const std::string& name,
                       std::uint64_t split_size) {
  writer.folder = folder;
  writer.name = name;
  writer.split_size = split_size;
  make_disk_folder(folder + "/disk1");
  open_disk_file(writer, disk_path_of(writer, 1));
}

void make_room(DiskWriter& writer, std::size_t size) {
  if (writer.split_size == 0 || writer.used + size <= writer.split_size) return;
  if (size > writer.split_size) {
    throw BuildError("a header of " + std::to_string(size) + " bytes does not fit on a disk of " +
                     std::to_string(writer.split_size) + " bytes");
  }
  start_next_disk(writer);
}

DiskPosition current_position(const DiskWriter& writer) {
  DiskPosition position;
  position.disk = static_cast<std::uint16_t>(writer.disk_paths.size() - 1);
  position.offset = writer.used;
  return position;
}

DiskPosition write_whole(DiskWriter& writer, const char* data, std::size_t size) {
  make_room(writer, size);
  DiskPosition position = current_position(writer);
  write_here(writer, data, size);
  return position;
}

DiskPosition write_whole(DiskWriter& writer, const std::string& bytes) {
  return write_whole(writer, bytes.data(), bytes.size());
}

void write_spanning(DiskWriter& writer, const char* data, std::size_t size) {
  while (size > 0) {
    if (writer.split_size != 0 && writer.used == writer.split_size) start_next_disk(writer);
    std::size_t piece = size;
    if (writer.split_size != 0 && piece > writer.split_size - writer.used) {
      piece = static_cast<std::size_t>(writer.split_size - writer.used);
    }
    write_here(writer, data, piece);
    data += piece;
    size -= piece;
  }
}

void patch_single_output(DiskWriter& writer, std::uint64_t offset, const std::string& bytes) {
  if (!seek_file(writer.file, offset) || std::fwrite(bytes.data(), 1, bytes.size(), writer.file) != bytes.size() ||
      !seek_file(writer.file, writer.used)) {
    throw BuildError("cannot write " + writer.disk_paths.back() + ": " + system_reason());
  }
}

void close_output(DiskWriter& writer) {
  if (writer.file == nullptr) return;
  bool failed = std::fflush(writer.file) != 0 || std::ferror(writer.file) != 0;
  std::string reason = system_reason();
  failed = std::fclose(writer.file) != 0 || failed;
  writer.file = nullptr;
  if (failed) throw BuildError("cannot write " + writer.disk_paths.back() + ": " + reason);
}

namespace {

bool needs_zip64_end(std::size_t entries, DiskPosition directory_start, std::uint64_t directory_size) {
  return entries > k_largest_16bit_count || directory_start.offset > k_largest_32bit_value ||
         directory_size > k_largest_32bit_value;
}

// The Zip64 end record at position and its locator, which point at each other.
std::string zip64_end_records(DiskPosition position, DiskPosition directory_start, std::uint64_t directory_size,
                              std::uint64_t entries, std::uint64_t on_last_disk, std::size_t disk_count) {
  std::string out;
  put_le32(out, k_zip64_end_signature);
  put_le64(out, k_zip64_end_size - 12);  // the size of what follows this field
  put_le16(out, k_made_by_unix);
  put_le16(out, k_version_zip64);
  put_le32(out, position.disk);         // number of this disk
  put_le32(out, directory_start.disk);  // disk where the directory starts
  put_le64(out, on_last_disk);          // entries on this disk
  put_le64(out, entries);
  put_le64(out, directory_size);
  put_le64(out, directory_start.offset);
  put_le32(out, k_zip64_locator_signature);
  put_le32(out, position.disk);  // disk of the Zip64 end record
  put_le64(out, position.offset);
  put_le32(out, static_cast<std::uint32_t>(disk_count));
  return out;
}

std::uint32_t capped32(std::uint64_t value) {
  return value > k_largest_32bit_value ? k_zip64_marker32 : static_cast<std::uint32_t>(value);
}

std::uint32_t capped16(std::uint64_t value) {
  return value > k_largest_16bit_count ? k_zip64_marker16 : static_cast<std::uint32_t>(value);
}

}  // namespace

void write_directory(DiskWriter& writer, const std::vector<CentralRecord>& records, const std::string& comment) {
  std::string end_record;
  std::size_t end_size = k_end_record_size + comment.size();
  // An empty directory starts where the end record lands.
  if (records.empty()) make_room(writer, end_size);
  DiskPosition directory_start = current_position(writer);
  std::uint64_t directory_size = 0;
  std::vector<std::uint16_t> header_disks;
  for (std::size_t i = 0; i < records.size(); ++i) {
    std::string header = encode_central_header(records[i]);
    DiskPosition position = write_whole(writer, header);
    if (i == 0) directory_start = position;
    header_disks.push_back(position.disk);
    directory_size += header.size();
  }
  bool zip64 = needs_zip64_end(records.size(), directory_start, directory_size);
  if (zip64) end_size += k_zip64_end_size + k_zip64_locator_size;
  make_room(writer, end_size);
  DiskPosition end_position = current_position(writer);
  std::uint64_t on_last_disk = 0;
  for (std::uint16_t disk : header_disks) on_last_disk += disk == end_position.disk ? 1 : 0;
  if (zip64) {
    end_record = zip64_end_records(end_position, directory_start, directory_size, records.size(), on_last_disk,
                                   writer.disk_paths.size());
  }
  put_le32(end_record, end_record_signature());
  put_le16(end_record, end_position.disk);     // number of this disk
  put_le16(end_record, directory_start.disk);  // disk where the directory starts
  put_le16(end_record, capped16(on_last_disk));  // entries on this disk
  put_le16(end_record, capped16(records.size()));
  put_le32(end_record, capped32(directory_size));
  put_le32(end_record, capped32(directory_start.offset));
  put_le16(end_record, static_cast<std::uint32_t>(comment.size()));
  end_record += comment;
  write_whole(writer, end_record);
}
