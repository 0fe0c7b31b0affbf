// harness.cpp - shared set-up for the fuzz targets.
#include "harness.h"

#include "archive/archive_state.h"

#include <cstdio>
#include <cstdlib>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fuzz {

namespace {

void remove_scratch_folder() {
  empty_folder(scratch_folder());
  rmdir(scratch_folder().c_str());
}

}  // namespace

const std::string& scratch_folder() {
  // Never destroyed: the exit handler below still needs it.
  static const std::string& folder = *new std::string([] {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/sfxfuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) abort();
    mkdir((pattern + "/drive").c_str(), 0700);
    mkdir((pattern + "/out").c_str(), 0700);
    // Segment prompts re-open the archive from drive A.
    setenv("SFX_DRIVE_A", (pattern + "/drive").c_str(), 1);
    atexit(remove_scratch_folder);
    return pattern;
  }());
  return folder;
}

std::string drive_a_folder() { return scratch_folder() + "/drive"; }
std::string output_folder() { return scratch_folder() + "/out"; }

bool write_file(const std::string& path, const std::uint8_t* data, std::size_t size) {
  FILE* file = fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool written = size == 0 || fwrite(data, 1, size, file) == size;
  return fclose(file) == 0 && written;
}

void feed_standard_input(const std::uint8_t* data, std::size_t size) {
  std::string path = scratch_folder() + "/stdin";
  if (!write_file(path, data, size) || freopen(path.c_str(), "rb", stdin) == nullptr) abort();
}

namespace {

int remove_entry(const char* path, const struct stat*, int, struct FTW* where) {
  if (where->level > 0) remove(path);  // links are removed, never followed (FTW_PHYS)
  return 0;
}

}  // namespace

void empty_folder(const std::string& folder) {
  nftw(folder.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

SplitInput split_input(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return {data, 0, data, 0};
  std::size_t answers = data[0];
  if (answers > size - 1) answers = size - 1;
  return {data + 1, answers, data + 1 + answers, size - 1 - answers};
}

void allocate_chunk_buffers() {
  archive_state.read_buffer = static_cast<unsigned char*>(malloc(k_buffer_size));
  archive_state.output_buffer = static_cast<unsigned char*>(malloc(k_buffer_size));
}

const char* stage_archive_input(const std::uint8_t* data, std::size_t size) {
  SplitInput input = split_input(data, size);
  static const std::string path = drive_a_folder() + "/archive.zip";
  if (!write_file(path, input.archive, input.archive_size)) abort();
  feed_standard_input(input.answers, input.answers_size);
  archive_state.archive_path = path.c_str();
  return path.c_str();
}

}  // namespace fuzz
