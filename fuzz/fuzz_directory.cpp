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
  archive_state.read_buffer = static_cast<unsigned char*>(malloc(k_buffer_size));
  archive_state.output_buffer = static_cast<unsigned char*>(malloc(k_buffer_size));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::SplitInput input = fuzz::split_input(data, size);
  static const std::string path = fuzz::drive_a_folder() + "/archive.zip";
  if (!fuzz::write_file(path, input.archive, input.archive_size)) abort();
  fuzz::feed_standard_input(input.answers, input.answers_size);
  archive_state.archive_path = path.c_str();

  FILE* stream = fopen(path.c_str(), "rb");
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
