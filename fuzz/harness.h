// harness.h - shared set-up for the fuzz targets: a scratch folder, the
// archive written as a file, answers fed to standard input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

// The scratch folder (created once per process) and its parts: drive A,
// where the archive file lives so that segment prompts re-open it, and the
// extraction folder.
const std::string& scratch_folder();
std::string drive_a_folder();
std::string output_folder();

// Writes size bytes to path; false when the file cannot be written.
bool write_file(const std::string& path, const std::uint8_t* data, std::size_t size);

// Makes standard input read the given bytes (then end of file).
void feed_standard_input(const std::uint8_t* data, std::size_t size);

// Removes everything below folder, keeping folder itself.
void empty_folder(const std::string& folder);

// Splits an input into the answers typed at the prompts and the archive:
// the first byte is the length of the answers that follow it; the rest is
// the archive.
struct SplitInput {
  const std::uint8_t* answers;
  std::size_t answers_size;
  const std::uint8_t* archive;
  std::size_t archive_size;
};
SplitInput split_input(const std::uint8_t* data, std::size_t size);

// Allocates the two chunk buffers, as the program's run does.
void allocate_chunk_buffers();

// Writes an input's archive to drive A, feeds its answers to standard input
// and makes the archive file the archive path. Returns that path.
const char* stage_archive_input(const std::uint8_t* data, std::size_t size);

}  // namespace fuzz
