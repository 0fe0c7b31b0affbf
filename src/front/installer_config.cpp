// installer_config.cpp - read the installer block a maker puts in the archive comment.
#include "front/installer_config.h"

#include <cstdlib>
#include <cstring>

#include "extract/output_path.h"

namespace {

struct BlockReader {
  char* next;  // the start of the next line
  char* end;   // one past the copy's last byte
};

// Cuts the next line out of the copy (its line end replaced by '\0') and
// returns it, or nullptr when no whole line is left: a block must end in a
// line end, so a truncated comment is malformed.
char* next_line(BlockReader* reader) {
  char* line = reader->next;
  char* line_end = static_cast<char*>(memchr(line, '\n', static_cast<std::size_t>(reader->end - line)));
  if (line_end == nullptr) return nullptr;
  reader->next = line_end + 1;
  if (line_end > line && line_end[-1] == '\r') --line_end;
  *line_end = '\0';
  return line;
}

// Names the fault in *problem and returns how it ends the reading.
bool refuse(const char** problem, const char* why) {
  *problem = why;
  return false;
}

ConfigResult refuse(const char** problem, const char* why, ConfigResult result) {
  *problem = why;
  return result;
}

bool has_control_character(const char* text) {
  for (; *text != '\0'; ++text) {
    unsigned char c = static_cast<unsigned char>(*text);
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

// A folder or program name must stay below the extraction folder: relative,
// no "..", no drive, no device, on every platform the stub runs on.
bool is_safe_relative_name(const char* name) {
  return name[0] != '\0' && name[0] != '/' && name[0] != '\\' && !is_outside_current_directory(name) &&
         !(k_windows_names && names_a_windows_device(name));
}

// The value of "key=value" when line has that key, else nullptr.
const char* value_of(const char* line, const char* key) {
  std::size_t length = strlen(key);
  if (strncmp(line, key, length) != 0 || line[length] != '=') return nullptr;
  return line + length + 1;
}

// Takes one line of the block into config. Returns false when the line is
// unknown, repeated, empty-valued or unsafe, with *problem naming why.
bool take_line(const char* line, InstallerConfig* config, const char** problem) {
  const char* value = nullptr;
  const char** text = nullptr;
  if ((value = value_of(line, "title")) != nullptr) {
    text = &config->title;
    if (strlen(value) > k_max_title_length) return refuse(problem, "the title is too long");
  } else if ((value = value_of(line, "dest")) != nullptr) {
    text = &config->destination;
    if (!is_safe_relative_name(value)) return refuse(problem, "the folder leads outside the current folder");
  } else if ((value = value_of(line, "run")) != nullptr) {
    text = &config->program;
    if (!is_safe_relative_name(value) || is_folder_name(value, strlen(value))) {
      return refuse(problem, "the program is not a file inside the extraction folder");
    }
  } else if ((value = value_of(line, "arg")) != nullptr) {
    if (config->argument_count == k_max_program_arguments) return refuse(problem, "too many arguments");
    config->arguments[config->argument_count++] = value;
    return true;
  } else {
    bool* flag = strcmp(line, "temp") == 0           ? &config->temporary
                 : strcmp(line, "one-password") == 0 ? &config->one_password
                 : strcmp(line, "silent") == 0       ? &config->silent
                                                     : nullptr;
    if (flag == nullptr) return refuse(problem, "an unknown line");
    if (*flag) return refuse(problem, "a repeated line");
    *flag = true;
    return true;
  }
  if (*text != nullptr) return refuse(problem, "a repeated line");
  if (*value == '\0') return refuse(problem, "an empty value");
  *text = value;
  return true;
}

// The options that only make sense together, or not at all together.
bool check_combination(const InstallerConfig* config, const char** problem) {
  if (config->destination != nullptr && config->temporary) return refuse(problem, "both dest and temp");
  if (config->temporary && config->program == nullptr) return refuse(problem, "temp without run");
  if (config->argument_count > 0 && config->program == nullptr) return refuse(problem, "arg without run");
  return true;
}

// The version on the marker line: its digits, or -1 when it has none.
long version_of(const char* line) {
  const char* digits = line + strlen(k_installer_marker);
  if (*digits < '0' || *digits > '9' || strlen(digits) > 6 || strspn(digits, "0123456789") != strlen(digits)) {
    return -1;
  }
  return strtol(digits, nullptr, 10);
}

ConfigResult read_block(BlockReader* reader, InstallerConfig* config, const char** problem) {
  char* line = next_line(reader);
  if (line == nullptr) return refuse(problem, "the first line has no end", ConfigResult::malformed);
  long version = version_of(line);
  if (version < 0) return refuse(problem, "the version is not a number", ConfigResult::malformed);
  if (version != k_installer_version) return refuse(problem, "an unknown version", ConfigResult::unknown_version);
  while ((line = next_line(reader)) != nullptr) {
    if (strcmp(line, "end") == 0) {
      return check_combination(config, problem) ? ConfigResult::parsed : ConfigResult::malformed;
    }
    if (has_control_character(line)) return refuse(problem, "a control character", ConfigResult::malformed);
    if (!take_line(line, config, problem)) return ConfigResult::malformed;
  }
  *problem = "no end line";
  return ConfigResult::malformed;
}

}  // namespace

ConfigResult parse_installer_config(const unsigned char* comment, std::size_t length, InstallerConfig* config,
                                    const char** problem) {
  *config = InstallerConfig{};
  *problem = "";
  std::size_t marker_length = strlen(k_installer_marker);
  if (comment == nullptr || length < marker_length || memcmp(comment, k_installer_marker, marker_length) != 0) {
    return ConfigResult::parsed;
  }
  config->present = true;
  // A zero byte in the block would end a value early: nothing may hide there.
  const void* block_end = memchr(comment, '\0', length);
  config->storage = static_cast<char*>(malloc(length + 1));
  if (config->storage == nullptr) return ConfigResult::out_of_memory;
  memcpy(config->storage, comment, length);
  config->storage[length] = '\0';
  BlockReader reader{config->storage, config->storage + length};
  if (block_end != nullptr) {
    // Only the free text after the end line may hold one.
    reader.end = config->storage + (static_cast<const unsigned char*>(block_end) - comment);
  }
  return read_block(&reader, config, problem);
}

void release_installer_config(InstallerConfig* config) {
  free(config->storage);
  *config = InstallerConfig{};
}
