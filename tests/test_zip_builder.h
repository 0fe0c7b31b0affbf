// test_zip_builder.h - build small zip archives byte by byte, and scratch folders.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct TestMember {
  std::string name;
  std::string data;                 // stored as given (already compressed or enciphered when so flagged)
  std::uint16_t method = 0;
  std::uint16_t version_needed = 20;
  std::uint16_t flags = 0;
  std::string extra;
  std::string comment;
  std::uint32_t crc = 0;            // 0: the CRC-32 of data
};

struct TestEndRecord {
  std::int32_t total_entries = -1;  // -1: the number of members
  std::int64_t directory_offset = -1;  // -1: where the directory really is
  std::string comment;
  // A Zip64 end record and its locator before the end record, whose counts,
  // size and offset are then all ones (with zip64_disks_all_ones its two
  // disk numbers too, as some writers do).
  bool zip64 = false;
  bool zip64_disks_all_ones = false;
};

void put_le16(std::string& out, std::uint32_t value);
void put_le32(std::string& out, std::uint32_t value);
void put_le64(std::string& out, std::uint64_t value);

// Local headers and data, then the directory and the end record; offsets
// count from base_offset (the length of whatever will stand before it).
std::string build_zip(const std::vector<TestMember>& members, std::uint32_t base_offset = 0,
                      const TestEndRecord& end = TestEndRecord{});

// An end record alone: signature and 18 bytes of fields, then the comment.
std::string end_record(std::uint16_t this_disk, std::uint16_t directory_disk, std::uint16_t total_entries,
                       std::uint32_t directory_size, std::uint32_t directory_offset, const std::string& comment);

// A Zip64 end record (on disk 0) and the locator that names it at
// record_offset, as they stand before the end record.
std::string zip64_end_records(std::uint64_t total_entries, std::uint64_t directory_size,
                              std::uint64_t directory_offset, std::uint64_t record_offset);

std::string raw_deflate(const std::string& data);
std::uint32_t crc32_of(const std::string& data);

// A temporary file holding bytes, opened for binary reading; closed and
// removed with the object.
class TempArchive {
 public:
  explicit TempArchive(const std::string& bytes);
  ~TempArchive();
  TempArchive(const TempArchive&) = delete;
  TempArchive& operator=(const TempArchive&) = delete;
  FILE* stream() const { return stream_; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  FILE* stream_ = nullptr;
};

// Makes a fresh folder, changes into it, and leaves and removes it at the end.
class ScopedTempDir {
 public:
  ScopedTempDir();
  ~ScopedTempDir();
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::string previous_;
};

bool file_exists(const std::string& path);
std::string read_file(const std::string& path);
