// program_run.cpp - the whole run: open the archive, extract it, end the process.
#include "front/program_run.h"

#include <cstdio>
#include <cstdlib>

#include "archive/archive_state.h"
#include "archive/central_directory.h"
#include "extract/extract_loop.h"
#include "front/messages.h"
#include "platform/platform.h"

int run_program(int word_count, char** words) {
  platform_reserve_standard_streams();
  set_up_standard_streams();
  const char* archive_path = word_count > 0 && words != nullptr ? words[0] : nullptr;
  archive_state.archive_path = archive_path;
  archive_state.read_buffer = static_cast<unsigned char*>(malloc(k_buffer_size));
  if (archive_state.read_buffer == nullptr) {
    print_error("Error: Insufficient memory to continue.\n");
    return 1;
  }
  archive_state.output_buffer = static_cast<unsigned char*>(malloc(k_buffer_size));
  if (archive_state.output_buffer == nullptr) {
    print_error("Error: Insufficient memory to continue.\n");
    return 1;
  }
  FILE* archive = open_archive(archive_path);
  if (archive == nullptr) {
    print_error("Error: Unable to open the zip archive %s.\n", archive_path != nullptr ? archive_path : "");
    return 1;
  }
  int result = extract_all(archive);
  if (!archive_state.stream_lost) fclose(archive);
  return result == 0 ? 0 : 1;
}

void end_process(int status) {
  if (platform_stdout_is_console()) platform_exit_pause();
  platform_exit(status);
}
