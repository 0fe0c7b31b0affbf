// output_path.cpp - turn a member's name into a local path and create its folders.
#include "extract/output_path.h"

#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace {

// What separates the components of a member's name: '/', and on Windows,
// whose file system takes it so, the backslash too.
constexpr const char* k_name_separators = k_windows_names ? "/\\" : "/";

char to_upper_ascii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// True when the first count bytes are the same, ASCII letters in either
// case, whatever the locale.
bool equal_ignoring_case(const char* a, const char* b, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (to_upper_ascii(a[i]) != to_upper_ascii(b[i])) return false;
  }
  return true;
}

// The directory part of the last path made. Archives list members folder by
// folder, so most prefixes were created by the member before; creating them
// again would find them there and change nothing.
char* g_last_directory = nullptr;
std::size_t g_last_directory_capacity = 0;

bool was_created_last_time(const char* prefix, std::size_t length) {
  if (g_last_directory == nullptr || strncmp(g_last_directory, prefix, length) != 0) return false;
  char after = g_last_directory[length];
  return after == '\0' || after == k_path_separator;
}

void remember_directory_of(const char* path, std::size_t directory_length) {
  if (directory_length + 1 > g_last_directory_capacity) {
    char* larger = static_cast<char*>(realloc(g_last_directory, directory_length + 1));
    if (larger == nullptr) {
      free(g_last_directory);
      g_last_directory = nullptr;
      g_last_directory_capacity = 0;
      return;
    }
    g_last_directory = larger;
    g_last_directory_capacity = directory_length + 1;
  }
  memcpy(g_last_directory, path, directory_length);
  g_last_directory[directory_length] = '\0';
}

// The next component of a name cut at its separators, like strtok(text,
// k_name_separators) with the cursor held by the caller. Returns nullptr when
// no component is left.
char* next_component(char** cursor) {
  char* start = *cursor + strspn(*cursor, k_name_separators);
  if (*start == '\0') {
    *cursor = start;
    return nullptr;
  }
  char* end = start + strcspn(start, k_name_separators);
  if (*end != '\0') *end++ = '\0';
  *cursor = end;
  return start;
}

}  // namespace

void remember_made_folder(const char* path) { remember_directory_of(path, strlen(path)); }

void forget_created_directories() {
  free(g_last_directory);
  g_last_directory = nullptr;
  g_last_directory_capacity = 0;
}

char* make_output_path(char* name, FolderResult* folders, FolderCreation creation) {
  FolderResult result = FolderResult::ready;
  std::size_t name_length = strlen(name);
  char* path = static_cast<char*>(malloc(name_length + 2));
  if (path == nullptr) return name;
  path[0] = '\0';
  char* cursor = name;
  char* component = next_component(&cursor);
  if (component == nullptr) {
    free(path);
    return name;
  }
  std::size_t length = 0;
  for (char* next = next_component(&cursor); next != nullptr; next = next_component(&cursor)) {
    std::size_t component_length = strlen(component);
    memcpy(path + length, component, component_length);
    length += component_length;
    path[length] = '\0';
    if (creation == FolderCreation::make && result == FolderResult::ready && !was_created_last_time(path, length)) {
      result = platform_make_directory(path);
    }
    path[length++] = k_path_separator;
    component = next;
  }
  std::size_t directory_length = length > 0 ? length - 1 : 0;
  strcpy(path + length, component);
  if (creation == FolderCreation::leave) {
    // nothing was made
  } else if (result == FolderResult::ready) {
    remember_directory_of(path, directory_length);
  } else {
    forget_created_directories();
  }
  if (folders != nullptr) *folders = result;
  free(name);
  return path;
}

namespace {

bool is_name_separator(char c) { return c == '/' || (k_windows_names && c == '\\'); }

bool is_parent_component(const char* start, std::size_t length) {
  if (length == 2 && start[0] == '.' && start[1] == '.') return true;
  if (!k_windows_names) return false;
  // Windows drops trailing dots and blanks from a component: ".. " and "..."
  // name the parent folder too.
  std::size_t dots = 0;
  for (std::size_t i = 0; i < length; ++i) {
    if (start[i] == '.') {
      ++dots;
    } else if (start[i] != ' ') {
      return false;
    }
  }
  return dots >= 2;
}

// The name of a component before its first dot, less trailing blanks and
// dots, which Windows drops: "nul.txt", "NUL ." and "Nul" all name NUL.
bool is_device_component(const char* start, std::size_t length) {
  static const char* const k_devices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  std::size_t base = 0;
  while (base < length && start[base] != '.') ++base;
  while (base > 0 && (start[base - 1] == ' ' || start[base - 1] == '.')) --base;
  for (const char* device : k_devices) {
    if (strlen(device) == base && equal_ignoring_case(start, device, base)) return true;
  }
  // COM0-COM9 and LPT0-LPT9, the digit also as a superscript 1, 2 or 3.
  bool port = base >= 4 && (equal_ignoring_case(start, "COM", 3) || equal_ignoring_case(start, "LPT", 3));
  if (!port) return false;
  const char* digit = start + 3;
  if (base == 4) return digit[0] >= '0' && digit[0] <= '9';
  return base == 5 && static_cast<unsigned char>(digit[0]) == 0xC2 &&
         (static_cast<unsigned char>(digit[1]) == 0xB9 || static_cast<unsigned char>(digit[1]) == 0xB2 ||
          static_cast<unsigned char>(digit[1]) == 0xB3);
}

}  // namespace

bool is_folder_name(const char* name, std::size_t length) {
  return length > 0 && is_name_separator(name[length - 1]);
}

bool names_a_windows_device(const char* name) {
  const char* p = name;
  while (*p != '\0') {
    while (*p == '/' || *p == '\\') ++p;
    const char* start = p;
    while (*p != '\0' && *p != '/' && *p != '\\') ++p;
    if (p > start && is_device_component(start, static_cast<std::size_t>(p - start))) return true;
  }
  return false;
}

bool is_outside_current_directory(const char* name) {
  if (k_windows_names && strchr(name, ':') != nullptr) return true;
  bool first = true;
  const char* p = name;
  while (*p != '\0') {
    while (is_name_separator(*p)) ++p;
    if (*p == '\0') break;
    const char* start = p;
    while (*p != '\0' && !is_name_separator(*p)) ++p;
    std::size_t length = static_cast<std::size_t>(p - start);
    if (is_parent_component(start, length)) return true;
    if (first && start[length - 1] == ':') return true;
    first = false;
  }
  return false;
}

bool link_stays_inside(const char* link_path, const char* target) {
  if (target[0] == '\0' || is_name_separator(target[0])) return false;
  if (k_windows_names && strchr(target, ':') != nullptr) return false;
  // The link's own folder is as deep as its path has separators.
  long depth = 0;
  for (const char* p = link_path; *p != '\0'; ++p) {
    if (*p == k_path_separator) ++depth;
  }
  const char* p = target;
  while (*p != '\0') {
    const char* start = p;
    while (*p != '\0' && !is_name_separator(*p)) ++p;
    std::size_t length = static_cast<std::size_t>(p - start);
    if (is_parent_component(start, length)) {
      if (--depth < 0) return false;
    } else if (length > 0 && !(length == 1 && start[0] == '.')) {
      ++depth;
    }
    while (is_name_separator(*p)) ++p;
  }
  return true;
}
