// disk_writer.h - write the self-extractor to one file or to a set of floppy disks.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "zip_records.h"

// Where a byte landed: the disk (counted from 0) and the offset in its file.
struct DiskPosition {
  std::uint16_t disk = 0;
  std::uint64_t offset = 0;
};

// The output being written. With split_size 0 it is one file; otherwise
// disk N's file is folder/diskN/name and none grows past split_size.
struct DiskWriter {
  std::string folder;
  std::string name;
  std::uint64_t split_size = 0;
  std::vector<std::string> disk_paths;
  FILE* file = nullptr;
  std::uint64_t used = 0;  // bytes in the current disk's file
};

// Opens the single output file at path. Throws BuildError on failure.
void open_single_output(DiskWriter& writer, const std::string& path);
// Creates folder/disk1/name for a spanned output. Throws BuildError on failure.
void open_split_output(DiskWriter& writer, const std::string& folder, const std::string& name,
                       std::uint64_t split_size);

// Writes bytes that must stay on one disk (a header: the stub reads it
// with plain seeks), starting a new disk when they do not fit on this one.
// Returns where they begin. Throws BuildError when they fit on no disk.
DiskPosition write_whole(DiskWriter& writer, const char* data, std::size_t size);
DiskPosition write_whole(DiskWriter& writer, const std::string& bytes);
// Writes member data, which may run on across disks.
void write_spanning(DiskWriter& writer, const char* data, std::size_t size);
// Makes sure size bytes fit on the current disk, starting a new one if not.
void make_room(DiskWriter& writer, std::size_t size);
DiskPosition current_position(const DiskWriter& writer);

// Overwrites bytes of a single output at offset, where something written
// earlier waits for a value known only at the end, and goes back to the end.
// Throws BuildError on failure.
void patch_single_output(DiskWriter& writer, std::uint64_t offset, const std::string& bytes);

// Flushes and closes the current disk. Throws BuildError when a write failed.
void close_output(DiskWriter& writer);

// Writes the central directory and the end record behind the members;
// with more than 65535 entries, or a directory that starts or ends past
// 4 GiB, a Zip64 end record and its locator before the end record, all
// three on the last disk.
void write_directory(DiskWriter& writer, const std::vector<CentralRecord>& records, const std::string& comment);
