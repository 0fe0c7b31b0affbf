// program_run.cpp - the whole run: open the archive, extract it, end the process.
#include "front/program_run.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "archive/archive_state.h"
#include "archive/central_directory.h"
#include "extract/extract_loop.h"
#include "extract/password_prompt.h"
#include "front/installer_config.h"
#include "front/messages.h"
#include "platform/platform.h"

namespace {

// A silent installer ends without waiting for Enter.
bool g_exit_pause = true;

bool has_member(const char* name) {
  for (const ZipEntry* entry = archive_state.entries; entry != nullptr; entry = entry->next) {
    if (strcmp(entry->name, name) == 0) return true;
  }
  return false;
}

// Creates the maker's folder, each level in turn, and makes it current.
// Returns false after the message.
bool enter_destination(const char* destination) {
  std::size_t length = strlen(destination);
  char* path = static_cast<char*>(malloc(length + 1));
  if (path == nullptr) {
    print_error("Error: %s\n", error_text(ArchiveError::out_of_memory));
    return false;
  }
  memcpy(path, destination, length + 1);
  FolderResult result = FolderResult::ready;
  for (std::size_t i = 1; i <= length && result == FolderResult::ready; ++i) {
    // On Windows, where a maker types it so, the backslash separates too.
    bool separates = path[i] == '/' || (k_windows_names && path[i] == '\\');
    if (!separates && path[i] != '\0') continue;
    path[i] = '\0';
    result = platform_make_directory(path);
    if (i < length) path[i] = k_path_separator;
  }
  bool entered = result == FolderResult::ready && platform_enter_folder(path);
  if (result == FolderResult::outside) {
    print_error("Error: the folder %s leads outside the current directory.\n", shown_name(destination));
  } else if (!entered) {
    print_error("Error creating folder %s\n", shown_name(destination));
  }
  free(path);
  return entered;
}

// Tells the maker's program where the user started the self-extractor and
// where the self-extractor lies, which --temp and dest= take it away from
// (a licence file beside setup.exe, the user's folder).
void describe_start_to_program() {
  char path[4096];
  if (platform_current_folder(path, sizeof path)) platform_set_environment("SFXSTUB_START_FOLDER", path);
  if (platform_executable_path(path, sizeof path)) platform_set_environment("SFXSTUB_PATH", path);
}

bool enter_extraction_folder(const InstallerConfig* config) {
  set_system_files_kept(config->destination != nullptr || config->temporary);
  if (config->destination != nullptr) return enter_destination(config->destination);
  if (config->temporary && !platform_enter_private_temp_folder()) {
    print_error("Error: cannot create a temporary folder: %s\n", platform_last_error_text());
    return false;
  }
  return true;
}

// The first of the program's name and words that its command interpreter
// would not read back as it is (see platform_runs_through_interpreter), or
// nullptr: the word x" & echo pwned & " would run a command.
const char* word_the_interpreter_would_change(const char* program, const char* const* words, int count) {
  if (!platform_runs_through_interpreter(program)) return nullptr;
  if (strpbrk(program, "\"%\r\n") != nullptr) return program;
  for (int i = 0; i < count; ++i) {
    if (strpbrk(words[i], "\"%\r\n") != nullptr) return words[i];
  }
  return nullptr;
}

// Runs the maker's program with the maker's arguments and then the words of
// the stub's own command line after word 0. Returns its exit status, or 1.
int run_configured_program(const InstallerConfig* config, int word_count, char** words) {
  int passed_on = word_count > 1 ? word_count - 1 : 0;
  int count = config->argument_count + passed_on;
  const char** arguments = static_cast<const char**>(malloc((static_cast<std::size_t>(count) + 1) * sizeof(char*)));
  if (arguments == nullptr) {
    print_error("Error: %s\n", error_text(ArchiveError::out_of_memory));
    return 1;
  }
  for (int i = 0; i < config->argument_count; ++i) arguments[i] = config->arguments[i];
  for (int i = 0; i < passed_on; ++i) arguments[config->argument_count + i] = words[i + 1];
  const char* unsafe = word_the_interpreter_would_change(config->program, arguments, count);
  if (unsafe != nullptr) {
    print_error("Error: %s cannot be passed safely to a batch program; nothing is run.\n", shown_name(unsafe));
    free(arguments);
    return 1;
  }
  fflush(stdout);
  int status = platform_run_program(config->program, arguments, count);
  free(arguments);
  if (status < 0) {
    print_error("Error: cannot run %s: %s\n", shown_name(config->program), platform_last_error_text());
    return 1;
  }
  return status;
}

// Closes the archive stream, unless a failed segment switch lost it, and
// forgets it.
void close_archive(FILE** archive) {
  if (*archive != nullptr && !archive_state.stream_lost) fclose(*archive);
  *archive = nullptr;
}

// The maker's run: title, folder, extraction, then the program, which runs
// only when every member was extracted and finds the self-extractor closed.
// Returns the exit status.
int run_installer(FILE** archive, const InstallerConfig* config, int word_count, char** words) {
  if (config->silent) {
    set_progress_shown(false);
    g_exit_pause = false;
  }
  set_one_password(config->one_password);
  if (config->program != nullptr && !has_member(config->program)) {
    print_error("Error: the program %s is not in the zip archive.\n", shown_name(config->program));
    return 1;
  }
  if (config->title != nullptr) print_output("%s\n", config->title);
  if (config->program != nullptr) describe_start_to_program();
  if (!enter_extraction_folder(config)) return 1;
  int status = extract_all(*archive) == 0 ? 0 : 1;
  close_archive(archive);
  if (config->program != nullptr) {
    if (status == 0 && members_refused_for_password() > 0) status = 1;
    if (status == 0) {
      status = run_configured_program(config, word_count, words);
    } else {
      print_error("Error: not every file was extracted; %s is not run.\n", shown_name(config->program));
    }
  }
  if (config->temporary && !platform_remove_private_temp_folder()) {
    print_error("Warning: the temporary folder could not be removed completely: %s\n", platform_last_error_text());
  }
  // A run ended by a signal (a closed terminal, kill) ends as the signal would have.
  if (platform_ending_signal() != 0) platform_end_by_signal(platform_ending_signal());
  return status;
}

// Reads the maker's installer block from the archive comment; false after
// the message when the block is there but cannot be used.
bool read_installer_config(InstallerConfig* config) {
  const char* problem = "";
  ConfigResult result = parse_installer_config(archive_state.archive_comment, archive_state.archive_comment_length,
                                               config, &problem);
  if (result == ConfigResult::parsed) return true;
  if (result == ConfigResult::unknown_version) {
    print_error("Error: the installer settings in the archive comment are of a newer version than this stub reads.\n");
  } else if (result == ConfigResult::out_of_memory) {
    print_error("Error: %s\n", error_text(ArchiveError::out_of_memory));
  } else {
    print_error("Error: the installer settings in the archive comment are malformed (%s).\n", problem);
  }
  return false;
}

}  // namespace

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
  InstallerConfig config;
  if (!read_installer_config(&config)) {
    close_archive(&archive);
    return 1;
  }
  bool installer = config.present;
  int result = installer ? run_installer(&archive, &config, word_count, words) : extract_all(archive);
  close_archive(&archive);
  release_installer_config(&config);
  if (installer) return result;  // the program's own status
  return result == 0 ? 0 : 1;
}

void end_process(int status) {
  if (g_exit_pause && platform_stdout_is_console()) platform_exit_pause();
  platform_exit(status);
}
