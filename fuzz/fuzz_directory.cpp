// fuzz_directory.cpp - reading the end record and the central directory,
// segment prompts answered from the input's first bytes.
#include <cstdlib>
#include <cstring>

#include "archive/archive_state.h"
#include "archive/central_directory.h"
#include "archive/segment_switch.h"
#include "harness.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  (void)fuzz::scratch_folder();
  fuzz::allocate_chunk_buffers();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* path = fuzz::stage_archive_input(data, size);

  FILE* stream = fopen(path, "rb");
  if (stream == nullptr) abort();
  set_archive_buffer(stream);
  ArchiveError code = read_central_directory(stream);
  if (code == ArchiveError::none) {
    // The list holds entry_count entries, each name within its stored length.
    std::int32_t count = 0;
    for (const ZipEntry* entry = archive_state.entries; entry != nullptr; entry = entry->next) {
      if (strlen(entry->name) > entry->name_length) abort();
      ++count;
    }
    if (count != archive_state.entry_count) abort();
  }
  if (!archive_state.stream_lost) fclose(stream);
  release_directory();
  return 0;
}
