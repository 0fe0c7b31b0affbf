// eocd_search.cpp - find the end-of-central-directory record near a file's end.
#include "archive/eocd_search.h"

#include <cstdlib>
#include <cstring>

#include "archive/record_decoders.h"
#include "archive/zip_format.h"
#include "platform/platform.h"

const volatile std::uint32_t k_end_record_signature_complement = ~0x06054B50u;
const volatile std::uint32_t k_local_header_signature_complement = ~k_local_header_signature;

namespace {

constexpr std::uint32_t k_block_size = 4096;
// Each block overlaps the one after it by 4 bytes, so a signature lying
// across two blocks is still seen whole.
constexpr std::uint32_t k_block_step = k_block_size - 4;

bool read_block_at(FILE* stream, std::uint64_t start, unsigned char* block, std::uint32_t size) {
  if (platform_seek(stream, start) != 0) return false;
  return fread(block, 1, size, stream) == size;
}

std::uint64_t file_length_of(FILE* stream) {
  std::int64_t length = platform_file_length(stream);
  return length < 0 ? 0 : static_cast<std::uint64_t>(length);
}

}  // namespace

ArchiveError find_end_of_central(FILE* stream, std::uint64_t* found_offset, std::uint64_t lower_bound) {
  unsigned char* block = static_cast<unsigned char*>(malloc(k_block_size));
  if (block == nullptr) return ArchiveError::out_of_memory;

  std::uint64_t length = file_length_of(stream);
  std::uint32_t block_size = length < k_block_size ? static_cast<std::uint32_t>(length) : k_block_size;
  std::uint64_t start = length - block_size;
  bool read_ok = read_block_at(stream, start, block, block_size);
  while (read_ok) {
    long match = last_end_signature_in(block, block_size);
    if (match >= 0) {
      *found_offset = start + static_cast<std::uint64_t>(match);
      free(block);
      return ArchiveError::none;
    }
    if (start <= lower_bound) break;
    std::uint64_t next_start = start - lower_bound > k_block_step ? start - k_block_step : lower_bound;
    std::uint32_t step = static_cast<std::uint32_t>(start - next_start);
    memmove(block + step, block, 4);  // the first 4 bytes of the block just scanned
    read_ok = read_block_at(stream, next_start, block, step);
    block_size = step + 4;
    start = next_start;
  }
  free(block);
  print_line("Did not find end-of-central");
  return ArchiveError::invalid_archive;
}

ArchiveError find_end_of_central(FILE* stream, std::uint32_t* found_offset, std::uint32_t lower_bound) {
  std::uint64_t found = 0;
  ArchiveError code = find_end_of_central(stream, &found, static_cast<std::uint64_t>(lower_bound));
  if (code == ArchiveError::none) *found_offset = static_cast<std::uint32_t>(found);
  return code;
}
