// member_output.cpp - where a member's data goes, and the checks that end it: CRC-32, authentication code, link.
#include "extract/member_output.h"

#include <cstdlib>
#include <cstring>

#include "extract/aes_member.h"
#include "extract/decode_ahead.h"
#include "extract/member_stream.h"
#include "extract/output_path.h"
#include "extract/traditional_cipher.h"
#include "extract/whole_member.h"
#include "front/messages.h"

namespace {

// Whether extracted files keep the system attribute on Windows: only in a
// folder that an installer made for its own files.
bool g_system_files_kept = false;

// The read-only and hidden bits of the member's DOS attributes (the low
// byte of its external attributes, as Windows zip tools and Info-ZIP write
// it), and the system bit where the maker's installer chose the folder.
std::uint32_t kept_dos_attributes(const ZipEntry* entry) {
  std::uint32_t kept = k_dos_read_only | k_dos_hidden | (g_system_files_kept ? k_dos_system : 0);
  return entry->external_attributes & kept;
}

}  // namespace

// Opens where the member's data goes: the output file, or the buffer for
// a link's target. Returns done, or refused after the message (stop when
// the disk is full).
MemberOutcome open_member_output(MemberData* member, OpenOutput* output) {
  ZipEntry* entry = member->entry;
  if (is_symbolic_link(entry)) {
    // check_member_name has held the size to k_longest_link.
    member->link_target = static_cast<char*>(malloc(static_cast<std::size_t>(entry->uncompressed_size) + 1));
    if (member->link_target != nullptr) return MemberOutcome::done;
    print_error("Error: %s\n", error_text(ArchiveError::out_of_memory));
    return MemberOutcome::refused;
  }
  if (output->open(member->names->local_path, unix_mode_of(entry))) {
    member->output = output->get();
    member->pending = reinterpret_cast<unsigned char*>(platform_stream_buffer(k_output_buffer_slot,
                                                                              k_output_stream_buffer));
    return MemberOutcome::done;
  }
  if (platform_disk_is_full()) {
    report_disk_full(member->names->shown_path);
    return MemberOutcome::stop;
  }
  print_error("Error opening %s for output\n", shown_name(member->names->shown_path));
  return MemberOutcome::refused;
}

// The checks of the data produced: an AES member's authentication code,
// and the CRC-32, which AE-2 members do not keep. Prints what fails.
bool passes_data_checks(const MemberData* member) {
  if (!member->authentic) {
    print_error("Error: %s was altered: its authentication code does not match. File may be corrupted.\n",
                shown_name(member->names->shown_path));
    return false;
  }
  if (member->aes && member->aes_version == 2) return true;
  if (member->crc != member->entry->crc32) {
    print_error("Error: CRC values do not match. File may be corrupted.\n");
    return false;
  }
  return true;
}

// Flushes the output, checks the CRC-32 and ends the progress line.
MemberOutcome verify_member(MemberData* member, MemberOutcome outcome) {
  bool failed = outcome == MemberOutcome::failed;
  // What was gathered last reaches the file here; a failed member keeps
  // what it produced, as a stopped one does.
  if (failed) (void)flush_pending(member);
  if (!failed && !flush_pending(member)) {
    report_write_failure(member);
    if (member->disk_full) return MemberOutcome::stop;
    failed = true;
  }
  if (!passes_data_checks(member)) failed = true;
  print_output(failed ? "\n" : "done\n");
  if (failed) return MemberOutcome::failed;
  platform_set_file_times(member->output, member->entry->modification_time_and_date,
                          kept_dos_attributes(member->entry));
  return MemberOutcome::done;
}

// Checks the CRC-32 of a link's target and makes the link, unless its
// target leads outside the current directory; ends the progress line.
MemberOutcome verify_link(MemberData* member, MemberOutcome outcome) {
  bool failed = outcome == MemberOutcome::failed;
  if (!passes_data_checks(member)) failed = true;
  const char* path = member->names->local_path;
  char* target = member->link_target;
  target[member->link_length] = '\0';
  if (!failed && (memchr(target, '\0', member->link_length) != nullptr || !link_stays_inside(path, target))) {
    print_error("Error: %s is a link that leads outside the current directory. This link will not be made.\n",
                shown_name(member->names->shown_path));
    failed = true;
  } else if (!failed && !platform_make_link(target, path)) {
    print_error("Error creating link %s\n", shown_name(member->names->shown_path));
    failed = true;
  }
  print_output(failed ? "\n" : "done\n");
  return failed ? MemberOutcome::failed : MemberOutcome::done;
}

// A member of a one-file archive is decoded in one piece when it can be
// (not a link, not AES, whose code is computed as the data streams). An
// all-ones size that no Zip64 field replaced keeps the streamed reading of
// it.
bool can_decode_whole(const MemberData* member) {
  const ZipEntry* entry = member->entry;
  return !member->aes && member->link_target == nullptr && archive_state.last_segment == 0 &&
         entry->compressed_size != k_zip64_marker32;
}

// Decodes (or copies) the member in one piece; false when it must be
// streamed from its start instead, which then tells what went wrong, exactly
// as streaming does.
bool decoded_whole(MemberData* member) {
  const ZipEntry* entry = member->entry;
  std::uint64_t header = member->encrypted ? k_encryption_header_size : 0;
  std::uint64_t data_start = data_offset(entry) + header;
  WholeMember whole{member->archive, member->output, data_start, entry->compressed_size - header,
                    entry->uncompressed_size, entry->crc32, member->encrypted, !member->deflated,
                    decoded_ahead(entry, data_start)};
  std::uint64_t stands_at = 0;
  if (!decode_whole_member(whole, &stands_at)) return false;
  member->crc = entry->crc32;
  member->stands_at = static_cast<std::int64_t>(stands_at);
  return true;
}

// How much of the member's data is read, and for an AES member what it is.
void count_member_data(MemberData* member, const AesExtra* aes) {
  const ZipEntry* entry = member->entry;
  if (aes != nullptr) {
    // No read-ahead: the authentication code follows the data.
    member->aes = true;
    member->aes_version = aes->version;
    member->aes_unread = entry->compressed_size - aes_overhead(aes->strength);
    member->still_to_read = member->aes_unread;
    return;
  }
  member->still_to_read = entry->compressed_size + (member->deflated ? k_deflate_read_ahead : 0) -
                          (member->encrypted ? k_encryption_header_size : 0);
  // An all-ones size that no Zip64 field replaced is counted in 32 bits, as
  // it always was: with the read-ahead it wraps to 3 bytes, and the
  // inflater reports the stream cut short.
  if (entry->compressed_size == k_zip64_marker32) member->still_to_read &= k_zip64_marker32;
}

void set_system_files_kept(bool kept) { g_system_files_kept = kept; }
