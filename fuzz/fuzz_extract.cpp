// fuzz_extract.cpp - the whole extraction of one archive into a scratch
// folder, the password and disk prompts answered from the input's first
// bytes. Nothing may appear beside the extraction folder.
#include <cstdlib>
#include <cstring>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include "archive/archive_state.h"
#include "archive/central_directory.h"
#include "extract/extract_loop.h"
#include "extract/output_path.h"
#include "extract/password_prompt.h"
#include "harness.h"

namespace {

int g_starting_folder = -1;  // the caller's folder, where relative paths lead

int entries_in(const std::string& folder) {
  DIR* directory = opendir(folder.c_str());
  if (directory == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = readdir(directory)) {
    if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) ++count;
  }
  closedir(directory);
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  (void)fuzz::scratch_folder();
  g_starting_folder = open(".", O_RDONLY | O_DIRECTORY);
  fuzz::allocate_chunk_buffers();
  // A small input may inflate to a large file: writes past 64 MiB fail (and
  // are reported) instead of filling the disk.
  signal(SIGXFSZ, SIG_IGN);
  struct rlimit file_size = {64u << 20, 64u << 20};
  setrlimit(RLIMIT_FSIZE, &file_size);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* path = fuzz::stage_archive_input(data, size);
  password_line[0] = '\0';

  if (chdir(fuzz::output_folder().c_str()) != 0) abort();
  FILE* archive = open_archive(path);
  if (archive != nullptr) {
    (void)extract_all(archive);
    if (!archive_state.stream_lost) fclose(archive);
  }
  release_directory();
  forget_created_directories();
  if (fchdir(g_starting_folder) != 0) abort();
  fuzz::empty_folder(fuzz::output_folder());
  // The scratch folder holds drive, out and stdin; drive holds the archive.
  if (entries_in(fuzz::scratch_folder()) != 3 || entries_in(fuzz::drive_a_folder()) != 1) abort();
  return 0;
}
