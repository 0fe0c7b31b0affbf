// member_checks.cpp - what refuses a member: its method, its local header, a span in another member, its name, the disk's room.
#include "extract/member_checks.h"

#include <zlib.h>

#include "archive/aes_extra.h"
#include "archive/local_header.h"
#include "archive/segment_switch.h"
#include "extract/aes_member.h"
#include "extract/output_path.h"
#include "extract/traditional_cipher.h"
#include "extract/whole_member.h"
#include "front/messages.h"

namespace {

// Reports a local header that does not match, on the member's progress
// line, as a failure to read its data would be; the walk stops when the
// archive ended inside it.
MemberOutcome refuse_local_header(const ZipEntry* entry, LocalHeader header, FILE* archive) {
  print_progress(shown_name(entry->name), k_progress_verb);
  if (header == LocalHeader::unreadable) {
    ArchiveError code = ferror(archive) ? ArchiveError::read_error : ArchiveError::unexpected_end;
    print_error("Error: %s\n", error_text(code));
    return MemberOutcome::stop;
  }
  if (header == LocalHeader::no_signature) {
    print_error("Error: %s has no local header where the zip archive says. The zip archive may be corrupted.\n",
                shown_name(entry->name));
  } else if (header == LocalHeader::other_name) {
    print_error("Error: the local header of %s names another file. This file will not be unzipped.\n",
                shown_name(entry->name));
  } else {
    report_overlap(entry);
  }
  print_output("\n");
  return MemberOutcome::refused;
}

// An encrypted member shorter than its 12-byte header cannot be valid; its
// data length would wrap below zero.
bool is_too_short_to_decrypt(const ZipEntry* entry) {
  AesExtra aes;
  if (read_aes_extra(entry, &aes)) return entry->compressed_size < aes_overhead(aes.strength);
  return (entry->flags & k_flag_encrypted) != 0 && entry->compressed_size < k_encryption_header_size;
}

// What the members take on the disk at least: their declared sizes, none
// larger than its data can make (a member may lie), overlapping members
// left out (they are refused).
std::uint64_t space_needed() {
  std::uint64_t needed = 0;
  for (const ZipEntry* entry = archive_state.entries; entry != nullptr; entry = entry->next) {
    if (entry->overlaps_another || is_directory_entry(entry)) continue;
    std::uint64_t most = entry->compression_method == k_method_stored ? entry->compressed_size
                                                                      : most_deflate_makes_of(entry->compressed_size);
    std::uint64_t size = entry->uncompressed_size < most ? entry->uncompressed_size : most;
    needed = needed + size < needed ? UINT64_MAX : needed + size;
  }
  return needed;
}

}  // namespace

void report_outside(const char* name) {
  print_error("Error: %s would be written outside the current directory. This file will not be unzipped.\n",
              shown_name(name));
}

void report_device(const char* name) {
  print_error("Error: %s names a Windows device. This file will not be unzipped.\n", shown_name(name));
}

void report_overlap(const ZipEntry* entry) {
  print_error("Error: %s overlaps another member (a possible zip bomb). This file will not be unzipped.\n",
              shown_name(entry->name));
}

// Positions the archive on the member's data, through its local header. On
// a spanned set a local header that is not where the directory says means
// that another disk is in the drive: the user is asked for the segment again.
// position is where the archive stands, when known (-1: not).
MemberOutcome position_on_data(ZipEntry* entry, FILE* archive, std::int64_t position) {
  ArchiveError code = switch_segment(entry->starting_segment, archive);
  LocalHeader header = LocalHeader::unreadable;
  for (;; position = -1) {
    if (code != ArchiveError::none) {
      print_error("Error: %s\n", error_text(code));
      return MemberOutcome::stop;
    }
    header = check_local_header(entry, archive, position);
    if (header == LocalHeader::matches || archive_state.last_segment == 0) break;
    code = ask_again_for_segment(entry->starting_segment, archive);
  }
  if (header == LocalHeader::matches && data_offset(entry) + entry->compressed_size > entry->following_header_offset) {
    header = LocalHeader::overlapping;
  }
  if (header != LocalHeader::matches) return refuse_local_header(entry, header, archive);
  // The check left the archive after the name.
  std::int64_t checked_end =
      static_cast<std::int64_t>(entry->local_header_offset) + k_local_header_size + entry->name_length;
  if (platform_seek_from(archive, checked_end, data_offset(entry)) != 0) {
    print_error("Error: %s\n", zError(Z_ERRNO));
    return MemberOutcome::stop;
  }
  return MemberOutcome::done;
}

// Checks what the member's name and size allow before anything is written:
// refused (after the message, with the progress line ended) or done.
MemberOutcome check_member_name(const ZipEntry* entry, const char* name) {
  if (is_outside_current_directory(name)) {
    report_outside(name);
  } else if (k_windows_names && names_a_windows_device(name)) {
    report_device(name);
  } else if (is_too_short_to_decrypt(entry)) {
    print_error("Error: %s is too short to be encrypted. The zip archive may be corrupted.\n", shown_name(name));
  } else if (is_symbolic_link(entry) && entry->uncompressed_size > k_longest_link) {
    print_error("Error: %s is a link longer than %u bytes. This link will not be made.\n", shown_name(name),
                static_cast<unsigned>(k_longest_link));
  } else {
    return MemberOutcome::done;
  }
  print_output("\n");
  return MemberOutcome::refused;
}

// What refuses a member before its data is read: a compression method the
// stub lacks, a local header that lies in another member. Returns refused
// (after the message) or done.
MemberOutcome check_method_and_span(const ZipEntry* entry, std::uint16_t method) {
  if (method != k_method_stored && method != k_method_deflated) {
    print_error("Unknown compression type for %s. I can only handle deflate and store.\n", shown_name(entry->name));
    return MemberOutcome::refused;
  }
  if (entry->overlaps_another) {
    report_overlap(entry);
    return MemberOutcome::refused;
  }
  return MemberOutcome::done;
}

// True when the members fit in the free space of the extraction folder (or
// the system cannot tell); false after the message, before anything is
// written, when they do not.
bool fits_on_disk() {
  std::uint64_t free_bytes = 0;
  std::uint64_t needed = space_needed();
  if (!platform_free_space(&free_bytes) || needed <= free_bytes) return true;
  print_error("Error: the files need %.1f MB, but only %.1f MB are free on this disk. Nothing was unzipped.\n",
              static_cast<double>(needed) / 1e6, static_cast<double>(free_bytes) / 1e6);
  return false;
}
