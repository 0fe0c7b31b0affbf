// test_zip_builder.cpp - build small zip archives byte by byte, and scratch folders.
#include "test_zip_builder.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

void put_le16(std::string& out, std::uint32_t value) {
  out += static_cast<char>(value & 0xFF);
  out += static_cast<char>((value >> 8) & 0xFF);
}

void put_le32(std::string& out, std::uint32_t value) {
  put_le16(out, value & 0xFFFF);
  put_le16(out, value >> 16);
}

void put_le64(std::string& out, std::uint64_t value) {
  put_le32(out, static_cast<std::uint32_t>(value));
  put_le32(out, static_cast<std::uint32_t>(value >> 32));
}

std::uint32_t crc32_of(const std::string& data) {
  return static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

std::string raw_deflate(const std::string& data) {
  z_stream stream{};
  deflateInit2(&stream, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&stream, data.size()) + 16, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

std::string end_record(std::uint16_t this_disk, std::uint16_t directory_disk, std::uint16_t total_entries,
                       std::uint32_t directory_size, std::uint32_t directory_offset, const std::string& comment) {
  std::string out = "PK\x05\x06";
  put_le16(out, this_disk);
  put_le16(out, directory_disk);
  put_le16(out, total_entries);
  put_le16(out, total_entries);
  put_le32(out, directory_size);
  put_le32(out, directory_offset);
  put_le16(out, static_cast<std::uint32_t>(comment.size()));
  return out + comment;
}

namespace {

void put_common_fields(std::string& out, const TestMember& member, std::uint32_t crc) {
  put_le16(out, member.version_needed);
  put_le16(out, member.flags);
  put_le16(out, member.method);
  put_le16(out, 0x6000);  // 12:00:00
  put_le16(out, 0x5A21);  // 2025-01-01
  put_le32(out, crc);
  put_le32(out, static_cast<std::uint32_t>(member.data.size()));
  put_le32(out, static_cast<std::uint32_t>(member.data.size()));
  put_le16(out, static_cast<std::uint32_t>(member.name.size()));
  put_le16(out, static_cast<std::uint32_t>(member.extra.size()));
}

}  // namespace

std::string build_zip(const std::vector<TestMember>& members, std::uint32_t base_offset, const TestEndRecord& end) {
  std::string body;
  std::string directory;
  for (const TestMember& member : members) {
    std::uint32_t crc = member.crc != 0 ? member.crc : crc32_of(member.data);
    std::uint32_t offset = base_offset + static_cast<std::uint32_t>(body.size());
    body += "PK\x03\x04";
    put_common_fields(body, member, crc);
    body += member.name + member.extra + member.data;
    directory += "PK\x01\x02";
    put_le16(directory, 0x031E);  // made on Unix, version 3.0
    put_common_fields(directory, member, crc);
    put_le16(directory, static_cast<std::uint32_t>(member.comment.size()));
    put_le16(directory, 0);
    put_le16(directory, 0);
    put_le32(directory, 0);
    put_le32(directory, offset);
    directory += member.name + member.extra + member.comment;
  }
  std::uint32_t directory_offset = end.directory_offset >= 0 ? static_cast<std::uint32_t>(end.directory_offset)
                                                             : base_offset + static_cast<std::uint32_t>(body.size());
  std::uint16_t total = static_cast<std::uint16_t>(end.total_entries >= 0 ? end.total_entries : static_cast<std::int32_t>(members.size()));
  if (!end.zip64) {
    return body + directory +
           end_record(0, 0, total, static_cast<std::uint32_t>(directory.size()), directory_offset, end.comment);
  }
  std::uint32_t record_offset = base_offset + static_cast<std::uint32_t>(body.size() + directory.size());
  std::uint16_t disk = end.zip64_disks_all_ones ? 0xFFFF : 0;
  return body + directory + zip64_end_records(total, directory.size(), directory_offset, record_offset) +
         end_record(disk, disk, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF, end.comment);
}

std::string zip64_end_records(std::uint64_t total_entries, std::uint64_t directory_size,
                              std::uint64_t directory_offset, std::uint64_t record_offset) {
  std::string out = "PK\x06\x06";
  put_le64(out, 44);  // the size of the rest of the record
  put_le16(out, 45);
  put_le16(out, 45);
  put_le32(out, 0);  // this disk
  put_le32(out, 0);  // the directory's disk
  put_le64(out, total_entries);
  put_le64(out, total_entries);
  put_le64(out, directory_size);
  put_le64(out, directory_offset);
  out += "PK\x06\x07";
  put_le32(out, 0);  // the disk of the Zip64 end record
  put_le64(out, record_offset);
  put_le32(out, 1);  // disks in all
  return out;
}

TempArchive::TempArchive(const std::string& bytes) {
  char name[] = "/tmp/sfx-test-XXXXXX";
  int descriptor = mkstemp(name);
  path_ = name;
  if (descriptor >= 0) {
    (void)!write(descriptor, bytes.data(), bytes.size());
    close(descriptor);
  }
  stream_ = fopen(path_.c_str(), "rb");
}

TempArchive::~TempArchive() {
  if (stream_ != nullptr) fclose(stream_);
  unlink(path_.c_str());
}

ScopedTempDir::ScopedTempDir() {
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof cwd) != nullptr) previous_ = cwd;
  char name[] = "/tmp/sfx-dir-XXXXXX";
  if (mkdtemp(name) != nullptr) path_ = name;
  (void)!chdir(path_.c_str());
}

ScopedTempDir::~ScopedTempDir() {
  (void)!chdir(previous_.c_str());
  std::string command = "rm -rf '" + path_ + "'";
  (void)!system(command.c_str());
}

bool file_exists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}
