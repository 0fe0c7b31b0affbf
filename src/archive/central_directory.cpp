// central_directory.cpp - read the zip central directory into ZipEntry records.
#include "archive/central_directory.h"

#include <cstdlib>
#include <cstring>

#include "archive/aes_extra.h"
#include "archive/certificate_table.h"
#include "archive/eocd_search.h"
#include "archive/record_decoders.h"
#include "archive/recorded_length.h"
#include "archive/segment_switch.h"
#include "archive/zip64_fields.h"
#include "archive/zip_format.h"
#include "platform/platform.h"

ArchiveState archive_state;

namespace {

// A read that does not deliver everything asked for (a read of nothing
// included) fails: with the stream's error indicator set it is a read error,
// otherwise the archive ended early.
ArchiveError read_exact(FILE* stream, void* buffer, std::size_t size) {
  if (size > 0 && fread(buffer, 1, size, stream) == size) return ArchiveError::none;
  return ferror(stream) ? ArchiveError::read_error : ArchiveError::unexpected_end;
}

// Allocates size bytes (plus a terminator when terminated) and reads them.
ArchiveError read_allocated(FILE* stream, std::size_t size, bool terminated, void** out) {
  char* buffer = static_cast<char*>(malloc(size + (terminated ? 1 : 0)));
  if (buffer == nullptr) return ArchiveError::out_of_memory;
  ArchiveError code = read_exact(stream, buffer, size);
  if (code != ArchiveError::none) {
    free(buffer);
    return code;
  }
  if (terminated) buffer[size] = '\0';
  *out = buffer;
  return ArchiveError::none;
}

ArchiveError find_end_record(FILE* stream, std::uint64_t* end_offset) {
  std::int64_t length = platform_file_length(stream);
  std::uint64_t file_length = length < 0 ? 0 : static_cast<std::uint64_t>(length);
  std::uint64_t window = file_length < k_end_record_window ? file_length : k_end_record_window;
  return find_end_of_central(stream, end_offset, file_length - window);
}

// A signed Windows program: the end record must lie before the signature's
// certificate table, where anyone may add bytes without breaking the
// signature. Returns invalid_archive after the message when it does not.
ArchiveError check_end_record_is_signed(FILE* stream, std::uint64_t end_offset) {
  std::uint64_t signature_start = certificate_table_offset(stream);
  if (signature_start == 0 || end_offset + k_end_record_size <= signature_start) return ArchiveError::none;
  print_error("Error: this program was changed after it was signed: a zip archive was put into its signature. "
              "Nothing will be unzipped.\n");
  return ArchiveError::invalid_archive;
}

// A self-extractor shorter than the length its builder recorded was cut
// short (a download broken off, a copy to a full disk): no disk is asked
// for. Returns invalid_archive after the message, or none.
ArchiveError check_not_cut_short(FILE* stream) {
  std::uint64_t recorded = recorded_self_extractor_length();
  std::int64_t length = platform_file_length(stream);
  if (recorded == 0 || length < 0 || static_cast<std::uint64_t>(length) >= recorded) return ArchiveError::none;
  print_error("Error: this self-extractor is incomplete: it holds %.0f of its %.0f bytes. Download or copy it "
              "again.\n", static_cast<double>(length), static_cast<double>(recorded));
  return ArchiveError::invalid_archive;
}

// Finds the end record in the file first opened or, failing that, on the
// last segment, which the user is asked to insert.
ArchiveError locate_end_record(FILE* stream, std::uint64_t* end_offset) {
  if (find_end_record(stream, end_offset) == ArchiveError::none) return check_end_record_is_signed(stream, *end_offset);
  ArchiveError cut_short = check_not_cut_short(stream);
  if (cut_short != ArchiveError::none) return cut_short;
  ArchiveError code = switch_segment(k_last_segment, stream);
  if (code != ArchiveError::none) return code;
  code = find_end_record(stream, end_offset);
  if (code != ArchiveError::none) print_line("Couldn't find end of central");
  return code;
}

// Reads the end record at end_offset into *end, and the archive comment.
ArchiveError read_end_record(FILE* stream, std::uint64_t end_offset, EndRecordFields* end) {
  unsigned char fields[k_end_fields_size];
  platform_seek(stream, end_offset + 4);
  ArchiveError code = read_exact(stream, fields, sizeof fields);
  if (code != ArchiveError::none) return code;
  decode_end_record(fields, end);
  archive_state.last_segment = static_cast<std::int32_t>(end->last_disk);
  archive_state.current_segment = archive_state.last_segment;
  archive_state.archive_comment_length = end->comment_length;
  if (archive_state.archive_comment_length == 0) return ArchiveError::none;
  void* comment = nullptr;
  code = read_allocated(stream, archive_state.archive_comment_length, false, &comment);
  archive_state.archive_comment = static_cast<unsigned char*>(comment);
  return code;
}

// The Zip64 end record at offset of the current file, or absent.
ArchiveError read_zip64_end_at(FILE* stream, std::uint64_t offset, Zip64End* end, Zip64Result* result) {
  unsigned char bytes[k_zip64_end_size];
  *result = Zip64Result::absent;
  if (platform_seek(stream, offset) != 0) return ArchiveError::none;
  ArchiveError code = read_exact(stream, bytes, sizeof bytes);
  if (code == ArchiveError::read_error) return code;
  if (code == ArchiveError::none) *result = decode_zip64_end(bytes, end);
  return ArchiveError::none;
}

// Finds the Zip64 end record that the locator names (see
// is_zip64_end_wanted and find_zip64_end_before_locator); *record_offset is
// where it lies.
ArchiveError find_zip64_end(FILE* stream, const Zip64Locator& locator, std::uint64_t locator_offset,
                            const EndRecordFields& end, Zip64End* zip64, std::uint64_t* record_offset,
                            Zip64Result* result) {
  *result = Zip64Result::absent;
  if (!is_zip64_end_wanted(locator, end)) return ArchiveError::none;
  ArchiveError code = switch_segment(static_cast<std::int32_t>(locator.end_disk), stream);
  if (code != ArchiveError::none) return code;
  *record_offset = locator.end_offset;
  code = read_zip64_end_at(stream, *record_offset, zip64, result);
  if (code != ArchiveError::none || *result != Zip64Result::absent ||
      !find_zip64_end_before_locator(locator, locator_offset, end, record_offset)) {
    return code;
  }
  return read_zip64_end_at(stream, *record_offset, zip64, result);
}

// Makes last_disk the last segment; the archive stays on it unless another
// segment was switched to since.
void set_last_segment(std::uint32_t last_disk) {
  bool still_there = archive_state.current_segment == archive_state.last_segment;
  archive_state.last_segment = static_cast<std::int32_t>(last_disk);
  if (still_there) archive_state.current_segment = archive_state.last_segment;
}

// Reads the Zip64 end locator that may stand right before the end record.
// Returns true with *locator filled in when its signature is there.
bool read_zip64_locator(FILE* stream, std::uint64_t locator_offset, Zip64Locator* locator, ArchiveError* code) {
  unsigned char bytes[k_zip64_locator_size];
  platform_seek(stream, locator_offset);
  *code = read_exact(stream, bytes, sizeof bytes);
  return *code == ArchiveError::none && decode_zip64_locator(bytes, locator) == Zip64Result::ok;
}

// When a Zip64 end locator stands right before the end record and names a
// Zip64 end record, that record's values replace the end record's in *end
// (see take_zip64_end), and *directory_end becomes its offset. A locator
// that names none counts only where the end record has a field of all ones.
// Returns none, also when there is no locator; invalid_archive (after the
// message) for a Zip64 end record that is needed but missing or beyond what
// the stub can read.
ArchiveError read_zip64_end_record(FILE* stream, std::uint64_t end_offset, EndRecordFields* end,
                                   std::uint64_t* directory_end) {
  if (end_offset < k_zip64_locator_size) return ArchiveError::none;
  std::uint64_t locator_offset = end_offset - k_zip64_locator_size;
  Zip64Locator locator{};
  ArchiveError code = ArchiveError::none;
  if (!read_zip64_locator(stream, locator_offset, &locator, &code)) return code;
  take_last_disk_from(locator, end);
  archive_state.last_segment = static_cast<std::int32_t>(end->last_disk);
  archive_state.current_segment = archive_state.last_segment;
  Zip64End zip64{};
  std::uint64_t record_offset = 0;
  Zip64Result result = Zip64Result::absent;
  code = find_zip64_end(stream, locator, locator_offset, *end, &zip64, &record_offset, &result);
  if (code != ArchiveError::none || (result == Zip64Result::absent && !end->zip64_needed)) return code;
  if (result == Zip64Result::absent) {
    print_error("Error: the Zip64 end locator points to no Zip64 end record.\n");
    return ArchiveError::invalid_archive;
  }
  if (result != Zip64Result::ok) {
    print_error("Error: the Zip64 end record holds counts or offsets too large to be true.\n");
    return ArchiveError::invalid_archive;
  }
  take_zip64_end(zip64, end);
  set_last_segment(end->last_disk);
  *directory_end = record_offset;
  return ArchiveError::none;
}

bool is_directory_signature(std::uint32_t signature) {
  return signature == k_central_header_signature || signature == end_record_signature();
}

ArchiveError read_signature_at(FILE* stream, std::uint64_t offset, std::uint32_t* signature) {
  unsigned char bytes[4];
  platform_seek(stream, offset);
  ArchiveError code = read_exact(stream, bytes, sizeof bytes);
  if (code == ArchiveError::none) *signature = read_le32(bytes);
  return code;
}

// Reads the first signature at the directory offset. An archive simply
// appended to a program (cat stub archive.zip) keeps offsets counted from its
// own start; when the offset shows no signature, the single-disk directory
// is looked for where the end record says it ends, and *shift is how far the
// archive's offsets lie from the file's.
ArchiveError read_first_signature(FILE* stream, const EndRecordFields& end, std::uint64_t directory_end,
                                  std::uint32_t* signature, std::uint64_t* shift) {
  *shift = 0;
  ArchiveError code = read_signature_at(stream, archive_state.directory_offset, signature);
  if (code != ArchiveError::none || is_directory_signature(*signature)) return code;
  std::uint64_t distance = appended_archive_shift(end, directory_end);
  if (distance == 0) return ArchiveError::invalid_archive;
  std::uint32_t shifted_signature = 0;
  if (read_signature_at(stream, archive_state.directory_offset + distance, &shifted_signature) != ArchiveError::none ||
      !is_directory_signature(shifted_signature)) {
    return ArchiveError::invalid_archive;
  }
  *signature = shifted_signature;
  *shift = distance;
  return ArchiveError::none;
}

// Reads the rest of one central header (after its signature) into entry.
ArchiveError read_central_header(FILE* stream, ZipEntry* entry) {
  unsigned char fields[k_central_fields_size];
  ArchiveError code = read_exact(stream, fields, sizeof fields);
  if (code != ArchiveError::none) return code;
  decode_central_fields(fields, entry);
  void* text = nullptr;
  code = read_allocated(stream, entry->name_length, true, &text);
  if (code != ArchiveError::none) return code;
  entry->name = static_cast<char*>(text);
  if (entry->extra_length != 0) {
    code = read_allocated(stream, entry->extra_length, false, &text);
    if (code != ArchiveError::none) return code;
    entry->extra_field = static_cast<unsigned char*>(text);
    entry->local_extra_length = entry->extra_length;
  }
  if (entry->comment_length != 0) {
    code = read_allocated(stream, entry->comment_length, true, &text);
    if (code != ArchiveError::none) return code;
    entry->comment = static_cast<char*>(text);
  }
  return ArchiveError::none;
}

// Reads the signature after an entry. A directory that meets the end of a
// segment file before the last segment goes on at the next segment's start;
// a signature split over the two is joined.
ArchiveError read_next_signature(FILE* stream, std::uint32_t* signature) {
  unsigned char bytes[4];
  std::size_t have = 0;
  for (;;) {
    have += fread(bytes + have, 1, sizeof bytes - have, stream);
    if (have == sizeof bytes) {
      *signature = read_le32(bytes);
      return ArchiveError::none;
    }
    if (feof(stream) && archive_state.current_segment < archive_state.last_segment) {
      ArchiveError code = switch_segment(archive_state.current_segment + 1, stream);
      if (code != ArchiveError::none) return code;
      continue;
    }
    if (ferror(stream)) return ArchiveError::read_error;
    *signature = 0;  // the directory ends here
    return ArchiveError::none;
  }
}

// Takes the sizes, offset and disk that the Zip64 extra field holds for the
// fields that are all ones. Returns none, or invalid_archive after the
// message.
ArchiveError apply_zip64_fields(ZipEntry* entry) {
  Zip64Result result = apply_zip64_extra_to(entry);
  if (result == Zip64Result::too_short) {
    print_error("Error: the Zip64 extra field of %s is shorter than the values it must hold.\n",
                shown_name(entry->name));
    return ArchiveError::invalid_archive;
  }
  if (result == Zip64Result::too_large) {
    print_error("Error: %s has a Zip64 size or offset too large to be true.\n", shown_name(entry->name));
    return ArchiveError::invalid_archive;
  }
  return ArchiveError::none;
}

// Lets go of an extra field that nothing reads later: a directory of many
// members then keeps no copy of the times and owners that zip -r writes.
void release_unused_extra(ZipEntry* entry) {
  if (entry->extra_field != nullptr && holds_only_unused_blocks(entry->extra_field, entry->extra_length)) {
    free(entry->extra_field);
    entry->extra_field = nullptr;
  }
}

// An AES member (method 99) needs version 5.1; its real method, stored or
// deflate, is in its AES extra field.
constexpr std::uint16_t k_version_needed_aes = 51;

int entry_warnings(const ZipEntry* entry) {
  int warnings = 0;
  AesExtra aes;
  bool is_aes = read_aes_extra(entry, &aes);
  // Version 4.5 is needed for Zip64 alone, which the stub reads in the
  // central header and never needs from a local header or data descriptor:
  // streaming writers mark a member so for those alone.
  bool needs_zip64_alone = entry->version_needed == k_version_zip64;
  if (entry->version_needed > (is_aes ? k_version_needed_aes : 20) && !needs_zip64_alone) {
    warnings |= k_warn_newer_version;
  }
  if (!is_aes && entry->compression_method != 0 && entry->compression_method != 8) warnings |= k_warn_unknown_method;
  return warnings;
}

// Member records are carved from blocks of 256: one allocation in place of
// 256 saves each record its malloc header, 16 bytes of 96, and the whole
// directory stays in memory for the run (20,000 members: 0.3 MiB).
constexpr std::size_t k_entries_per_block = 256;

struct EntryBlock {
  EntryBlock* previous;
  std::size_t used;
  ZipEntry entries[k_entries_per_block];
};

EntryBlock* g_entry_blocks = nullptr;

ZipEntry* allocate_entry() {
  if (g_entry_blocks == nullptr || g_entry_blocks->used == k_entries_per_block) {
    EntryBlock* block = static_cast<EntryBlock*>(malloc(sizeof(EntryBlock)));
    if (block == nullptr) return nullptr;
    block->previous = g_entry_blocks;
    block->used = 0;
    g_entry_blocks = block;
  }
  ZipEntry* entry = &g_entry_blocks->entries[g_entry_blocks->used++];
  memset(entry, 0, sizeof *entry);
  return entry;
}

void free_entry_blocks() {
  while (g_entry_blocks != nullptr) {
    EntryBlock* previous = g_entry_blocks->previous;
    free(g_entry_blocks);
    g_entry_blocks = previous;
  }
}

ArchiveError read_entries(FILE* stream, std::uint32_t signature, std::uint64_t shift, int* warnings) {
  ZipEntry** tail = &archive_state.entries;
  archive_state.entry_count = 0;
  while (signature == k_central_header_signature) {
    ZipEntry* entry = allocate_entry();
    if (entry == nullptr) return ArchiveError::out_of_memory;
    *tail = entry;
    tail = &entry->next;
    ArchiveError code = read_central_header(stream, entry);
    if (code != ArchiveError::none) return code;
    code = apply_zip64_fields(entry);
    if (code != ArchiveError::none) return code;
    entry->local_header_offset += shift;
    *warnings |= entry_warnings(entry);
    release_unused_extra(entry);
    ++archive_state.entry_count;
    code = read_next_signature(stream, &signature);
    if (code != ArchiveError::none) return code;
  }
  return ArchiveError::none;
}

void free_entry(ZipEntry* entry) {
  free(entry->name);
  free(entry->extra_field);
  free(entry->comment);
}

}  // namespace

ArchiveError read_central_directory(FILE* stream) {
  archive_state.entries = nullptr;
  archive_state.archive_comment_length = 0;
  std::uint64_t end_offset = 0;
  ArchiveError code = locate_end_record(stream, &end_offset);
  if (code != ArchiveError::none) return code;
  EndRecordFields end{};
  code = read_end_record(stream, end_offset, &end);
  if (code != ArchiveError::none) return code;
  std::uint64_t directory_end = end_offset;
  code = read_zip64_end_record(stream, end_offset, &end, &directory_end);
  if (code != ArchiveError::none) return code;
  archive_state.directory_segment = static_cast<std::int32_t>(end.directory_disk);
  archive_state.total_entry_count = static_cast<std::int32_t>(end.total_entries);
  archive_state.directory_offset = end.directory_offset;
  archive_state.end_record_read = true;
  archive_state.end_record_offset = end_offset;
  code = switch_segment(archive_state.directory_segment, stream);
  if (code != ArchiveError::none) return code;

  std::uint32_t signature = 0;
  std::uint64_t shift = 0;
  code = read_first_signature(stream, end, directory_end, &signature, &shift);
  if (code != ArchiveError::none) return code;
  int warnings = 0;
  code = read_entries(stream, signature, shift, &warnings);
  if (code != ArchiveError::none) return code;
  if (archive_state.entry_count > archive_state.total_entry_count) warnings |= k_warn_too_many_entries;
  if (archive_state.entry_count < archive_state.total_entry_count) warnings |= k_warn_too_few_entries;
  if (warnings != 0) print_directory_warnings(warnings);
  return ArchiveError::none;
}

void print_directory_warnings(int warnings) {
  if (warnings & k_warn_newer_version) {
    print_error("Warning: Some files were found that require a newer version of Vintra to decompress.\n");
  }
  if (warnings & k_warn_unknown_method) {
    print_error("Warning: I can handle the 'deflate' compression type. Some files cannot be decompressed.\n");
  }
  if (warnings & k_warn_too_many_entries) {
    print_error("Warning: Too many files were found in the archive. The archive may be corrupted.\n");
  }
  if (warnings & k_warn_too_few_entries) {
    print_error("Warning: Too few files were found in the archive. The archive may be corrupted.");
  }
}

FILE* open_archive(const char* path) {
  // A bare name (setup) is one the shell found on the search path, or
  // Windows in the program's folder, the current folder or the search path:
  // a file of that name in the current folder may be another program's, or
  // a folder. Only the program's own file is sure to be the one running.
  FILE* stream = path != nullptr && has_folder_part(path) ? platform_open_archive(path) : nullptr;
  if (stream == nullptr) {
    char executable[4096];
    if (platform_executable_path(executable, sizeof executable)) stream = platform_open_archive(executable);
  }
  if (stream == nullptr) return nullptr;
  set_archive_buffer(stream);
  ArchiveError code = read_central_directory(stream);
  if (code == ArchiveError::none) return stream;
  print_line("failed readzipfile");
  if (!archive_state.stream_lost) fclose(stream);
  print_error("%s\n", error_text(code));
  return nullptr;
}

void release_directory() {
  for (ZipEntry* entry = archive_state.entries; entry != nullptr;) {
    ZipEntry* next = entry->next;
    free_entry(entry);
    entry = next;
  }
  free_entry_blocks();
  free(archive_state.archive_comment);
  const char* path = archive_state.archive_path;
  unsigned char* read_buffer = archive_state.read_buffer;
  unsigned char* output_buffer = archive_state.output_buffer;
  archive_state = ArchiveState{};
  archive_state.archive_path = path;
  archive_state.read_buffer = read_buffer;
  archive_state.output_buffer = output_buffer;
}
