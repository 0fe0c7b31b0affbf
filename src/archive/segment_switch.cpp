// segment_switch.cpp - make the archive stream read another segment of a split archive.
#include "archive/segment_switch.h"

#include <cstdlib>
#include <cstring>

#include "archive/archive_state.h"
#include "archive/local_header.h"
#include "archive/zip_format.h"
#include "platform/platform.h"

namespace {

void ask_for_segment(std::int32_t segment) {
  if (segment == k_last_segment) {
    print_output("Please insert the last segment into drive A and press enter.\n");
  } else {
    print_output("Please insert segment %d into drive A and press enter.\n", segment + 1);
  }
  fflush(stdout);
}

// Consumes standard input up to and including a newline; false when input
// ends first. Whatever was typed before Enter is discarded unread.
bool wait_for_enter() {
  for (;;) {
    int c = getc(stdin);
    if (c == '\n') return true;
    if (c == EOF) return false;
  }
}

bool is_name_separator(char c) { return c == '/' || (k_windows_names && (c == '\\' || c == ':')); }

// The separators between folder names; a drive's colon is not one.
bool is_folder_separator(char c) { return c == '/' || (k_windows_names && c == '\\'); }

// What follows the archive path's last separator, or nullptr when it has no
// drive or folder part.
const char* last_component(const char* path) {
  const char* last = nullptr;
  for (const char* p = path; *p != '\0'; ++p) {
    if (is_name_separator(*p)) last = p + 1;
  }
  return last;
}

char* segment_path_for(const char* name) {
  const char* root = platform_drive_a_root();
  std::size_t root_length = strlen(root);
  char* path = static_cast<char*>(malloc(root_length + strlen(name) + 1));
  if (path == nullptr) return nullptr;
  memcpy(path, root, root_length);
  normalise_segment_name(name, path + root_length);
  return path;
}

bool can_open(const char* path) {
  if (!platform_is_plain_file(path)) return false;
  FILE* probe = platform_open_archive(path);
  if (probe == nullptr) return false;
  fclose(probe);
  return true;
}

// The segment path to re-open: drive A's root and the archive path, or,
// when that does not open and the path has a drive or folder, drive A's root
// and the path's last component. Started from a full path (as a file
// manager starts programs) a spanned archive could not find its disks
// otherwise.
char* choose_segment_path(const char* archive_path) {
  char* path = segment_path_for(archive_path);
  if (path == nullptr || can_open(path)) return path;
  const char* name = last_component(archive_path);
  if (name == nullptr || *name == '\0') return path;
  char* fallback = segment_path_for(name);
  if (fallback == nullptr || !can_open(fallback)) {
    free(fallback);
    return path;
  }
  free(path);
  return fallback;
}

bool signature_at(FILE* archive, std::uint64_t offset, std::uint32_t wanted) {
  unsigned char bytes[4];
  return platform_seek(archive, offset) == 0 && fread(bytes, 1, sizeof bytes, archive) == sizeof bytes &&
         read_le32(bytes) == wanted;
}

// The member whose local header comes first on segment, or nullptr.
ZipEntry* first_member_on(std::int32_t segment) {
  ZipEntry* first = nullptr;
  for (ZipEntry* entry = archive_state.entries; entry != nullptr; entry = entry->next) {
    if (entry->starting_segment == segment && entry->name != nullptr && entry->name_length > 0 &&
        (first == nullptr || entry->local_header_offset < first->local_header_offset)) {
      first = entry;
    }
  }
  return first;
}

// Segment files carry no number of their own, but the directory says what
// lies where: the end record on the last segment, the directory's start on
// its segment, and the first local header listed on any segment. A disk that
// shows none of them where they belong is another disk. Leaves the archive
// at its first byte.
bool holds_segment(std::int32_t segment, FILE* archive) {
  bool sound = true;
  if (archive_state.end_record_read) {
    if (segment == archive_state.last_segment) {
      sound = signature_at(archive, archive_state.end_record_offset, end_record_signature());
    }
    if (sound && segment == archive_state.directory_segment) {
      sound = signature_at(archive, archive_state.directory_offset, k_central_header_signature) ||
              signature_at(archive, archive_state.directory_offset, end_record_signature());
    }
  }
  ZipEntry* first = sound ? first_member_on(segment) : nullptr;
  if (first != nullptr) {
    std::uint16_t local_extra_length = first->local_extra_length;
    sound = check_local_header(first, archive) == LocalHeader::matches;
    first->local_extra_length = local_extra_length;
  }
  clearerr(archive);
  return platform_seek(archive, 0) == 0 && sound;
}

// Asks for the disk until one that holds segment is in the drive. Returns
// none with the archive re-opened on it, or user_aborted, out_of_memory or
// open_error.
ArchiveError insert_segment(std::int32_t segment, FILE* archive) {
  for (;;) {
    ask_for_segment(segment);
    if (!wait_for_enter()) return ArchiveError::user_aborted;
    const char* archive_path = archive_state.archive_path != nullptr ? archive_state.archive_path : "";
    char* path = choose_segment_path(archive_path);
    if (path == nullptr) return ArchiveError::out_of_memory;
    // A failed freopen closes the stream and loses its FILE object for good,
    // so a disk that is not there is found out first.
    if (!can_open(path)) {
      free(path);
      return ArchiveError::open_error;
    }
    FILE* reopened = platform_reopen_archive(path, archive);
    free(path);
    if (reopened == nullptr) {
      archive_state.stream_lost = true;
      return ArchiveError::open_error;
    }
    set_archive_buffer(archive);
    if (holds_segment(segment, archive)) return ArchiveError::none;
  }
}

}  // namespace

bool has_folder_part(const char* path) { return last_component(path) != nullptr; }

// Windows does the same to A:\..\x (it is A:\x); a POSIX path would climb out
// of the drive's folder, and ../set/disk1/setup would name disk 1 itself.
void normalise_segment_name(const char* name, char* out) {
  std::size_t written = 0;
  while (*name != '\0') {
    while (is_folder_separator(*name)) ++name;
    const char* start = name;
    while (*name != '\0' && !is_folder_separator(*name)) ++name;
    std::size_t length = static_cast<std::size_t>(name - start);
    if (length == 0 || (length == 1 && start[0] == '.')) continue;
    if (length == 2 && start[0] == '.' && start[1] == '.') {
      // Back to the separator before the last component kept, or to the start.
      while (written > 0 && out[written - 1] != k_path_separator) --written;
      if (written > 0) --written;
      continue;
    }
    if (written > 0) out[written++] = k_path_separator;
    memcpy(out + written, start, length);
    written += length;
  }
  out[written] = '\0';
}

void set_archive_buffer(FILE* archive) {
  char* buffer = platform_stream_buffer(k_archive_buffer_slot, k_archive_stream_buffer);
  if (buffer != nullptr) setvbuf(archive, buffer, _IOFBF, k_archive_stream_buffer);
}

ArchiveError switch_segment(std::int32_t segment, FILE* archive) {
  if (segment == archive_state.current_segment) return ArchiveError::none;
  return ask_again_for_segment(segment, archive);
}

ArchiveError ask_again_for_segment(std::int32_t segment, FILE* archive) {
  ArchiveError code = insert_segment(segment, archive);
  if (code == ArchiveError::none) archive_state.current_segment = segment;
  return code;
}
