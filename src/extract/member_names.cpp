// member_names.cpp - what a member is called: as stored, as it goes by, and where its file goes.
#include "extract/member_names.h"

#include <cstdlib>
#include <cstring>

#include "archive/extra_field.h"
#include "archive/zip_format.h"
#include "extract/fast_crc32.h"
#include "extract/output_path.h"

namespace {

// Info-ZIP's Unicode path field gives the name in UTF-8 where the stored one
// is in a DOS code page; it counts only while its CRC-32 matches the stored
// name, which a later tool may have renamed. Returns the name in memory that
// the caller frees, or nullptr.
char* unicode_path_of(const ZipEntry* entry) {
  std::uint16_t size = 0;
  const unsigned char* block = find_extra_block(entry->extra_field, entry->extra_length, k_extra_unicode_path, &size);
  constexpr std::uint16_t k_unicode_path_header = 5;  // version 1, then the CRC-32 of the stored name
  if (block == nullptr || size <= k_unicode_path_header || block[0] != 1 ||
      read_le32(&block[1]) != update_crc32(0, reinterpret_cast<const unsigned char*>(entry->name), entry->name_length)) {
    return nullptr;
  }
  std::size_t length = size - k_unicode_path_header;
  char* name = static_cast<char*>(malloc(length + 1));
  if (name == nullptr) return nullptr;
  memcpy(name, &block[k_unicode_path_header], length);
  name[length] = '\0';
  return name;
}

}  // namespace

void name_member(const ZipEntry* entry, MemberNames* names) {
  *names = MemberNames{};
  names->name = entry->name;
  names->utf8 = (entry->flags & k_flag_utf8_name) != 0;
  // POSIX makes names byte for byte: the field changes nothing there.
  if (!k_windows_names || names->utf8) return;
  names->owned_name = unicode_path_of(entry);
  if (names->owned_name != nullptr) {
    names->name = names->owned_name;
    names->utf8 = true;
  }
}

bool make_member_path(MemberNames* names, FolderResult* folders) {
  // A Windows name in the DOS code page is made in UTF-8, as every path the
  // platform takes, and messages keep showing it in its stored bytes.
  bool converted = k_windows_names && !names->utf8;
  if (converted) {
    char* shown = strdup(names->name);
    if (shown == nullptr) return false;
    names->owned_shown_path = make_output_path(shown, nullptr, FolderCreation::leave);
  }
  char* name = converted ? platform_utf8_of_dos_name(names->name) : strdup(names->name);
  if (name == nullptr) return false;
  names->local_path = make_output_path(name, folders);
  names->shown_path = converted ? names->owned_shown_path : names->local_path;
  return true;
}

void release_member_names(MemberNames* names, bool keep_local_path) {
  free(names->owned_name);
  free(names->owned_shown_path);
  if (!keep_local_path) free(names->local_path);
  *names = MemberNames{};
}
