// fuzz_end_record.cpp - the backwards search for the end record, checked
// against a plain scan: whatever it finds must be the file's last signature,
// and a last signature at or above the lower bound must be found.
#include <cstdlib>
#include <cstring>

#include "archive/eocd_search.h"
#include "harness.h"

namespace {

constexpr std::uint8_t k_signature[4] = {0x50, 0x4B, 0x05, 0x06};

long last_signature(const std::uint8_t* data, std::size_t size) {
  for (std::size_t p = size >= 4 ? size - 4 + 1 : 0; p-- > 0;) {
    if (memcmp(data + p, k_signature, 4) == 0) return static_cast<long>(p);
  }
  return -1;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  (void)fuzz::scratch_folder();
  return 0;
}

// The first two bytes choose the lower bound (as a share of the file's
// length); the rest is the file.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  std::size_t file_size = size - 2;
  std::uint32_t lower_bound = static_cast<std::uint32_t>(file_size * (data[0] | data[1] << 8) / 65535);
  std::string path = fuzz::scratch_folder() + "/file";
  if (!fuzz::write_file(path, data + 2, file_size)) abort();
  FILE* stream = fopen(path.c_str(), "rb");
  if (stream == nullptr) abort();
  std::uint32_t found = 0xFFFFFFFF;
  ArchiveError code = find_end_of_central(stream, &found, lower_bound);
  fclose(stream);

  long expected = last_signature(data + 2, file_size);
  if (code == ArchiveError::none && static_cast<long>(found) != expected) abort();
  if (code != ArchiveError::none && expected >= static_cast<long>(lower_bound)) abort();
  return 0;
}
