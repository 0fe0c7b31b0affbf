// extract_loop.cpp - extract every member of the opened archive.
#include "extract/extract_loop.h"

#include <cstdlib>
#include <cstring>

#include "archive/aes_extra.h"
#include "extract/aes_member.h"
#include "extract/decode_ahead.h"
#include "extract/folder_times.h"
#include "extract/member_checks.h"
#include "extract/member_data.h"
#include "extract/member_names.h"
#include "extract/member_output.h"
#include "extract/member_spans.h"
#include "extract/member_stream.h"
#include "extract/member_unlock.h"
#include "extract/output_path.h"
#include "extract/password_prompt.h"
#include "extract/traditional_cipher.h"
#include "extract/whole_member.h"
#include "front/messages.h"
#include "platform/platform.h"

namespace {

// Names the member (see name_member). Returns refused (after the message)
// for a Windows name marked UTF-8 that is not well-formed: Windows would
// make no file of it. POSIX makes names byte for byte.
MemberOutcome name_checked_member(const ZipEntry* entry, MemberNames* names) {
  name_member(entry, names);
  if (k_windows_names && names->utf8 && !is_valid_utf8(names->name)) {
    print_error("Error: %s is not a valid UTF-8 name. This file will not be unzipped.\n", shown_name(names->name));
    return MemberOutcome::refused;
  }
  return MemberOutcome::done;
}

// Makes the member's local path and its folders (make_member_path). Returns
// done, refused after the message when a folder along it is a link leading
// outside, or stop when no memory is left.
MemberOutcome make_path_of(MemberNames* names, FolderResult* folders) {
  if (!make_member_path(names, folders)) {
    print_error("Error: %s\n", error_text(ArchiveError::out_of_memory));
    return MemberOutcome::stop;
  }
  if (*folders != FolderResult::outside) return MemberOutcome::done;
  report_outside(names->shown_path);
  return MemberOutcome::refused;
}

// A directory entry creates its folder, so that empty folders survive
// extraction. A folder that cannot be made is reported; one that is there
// already is fine.
MemberOutcome create_directory_entry(const ZipEntry* entry, MemberNames* names, FolderList* folders) {
  const char* name = names->name;
  if (is_outside_current_directory(name)) {
    report_outside(name);
    return MemberOutcome::refused;
  }
  if (k_windows_names && names_a_windows_device(name)) {
    report_device(name);
    return MemberOutcome::refused;
  }
  if (strspn(name, k_windows_names ? "/\\" : "/") == strlen(name)) return MemberOutcome::done;
  FolderResult result = FolderResult::ready;
  MemberOutcome outcome = make_path_of(names, &result);
  if (outcome != MemberOutcome::done) return outcome;
  if (result == FolderResult::ready) result = platform_make_directory(names->local_path);
  if (result == FolderResult::outside) {
    report_outside(names->shown_path);
    return MemberOutcome::refused;
  }
  if (result == FolderResult::failed) {
    print_error("Error creating folder %s\n", shown_name(names->shown_path));
    return MemberOutcome::refused;
  }
  remember_made_folder(names->local_path);
  remember_folder(folders, entry, names->local_path);
  names->local_path = nullptr;  // the list owns it now
  return MemberOutcome::done;
}

// Opens the progress line and readies the member's file: its name checked,
// its path and folders made, its password asked for and checked.
MemberOutcome ready_member(ZipEntry* entry, MemberNames* names, const AesExtra* aes, FILE* archive) {
  MemberOutcome outcome = name_checked_member(entry, names);
  if (outcome != MemberOutcome::done) return outcome;
  print_progress(shown_name(names->name), k_progress_verb);
  if ((outcome = check_member_name(entry, names->name)) != MemberOutcome::done) return outcome;
  FolderResult folders = FolderResult::ready;
  outcome = make_path_of(names, &folders);
  if (outcome == MemberOutcome::refused) print_output("\n");
  if (outcome != MemberOutcome::done) return outcome;
  bool encrypted = (entry->flags & k_flag_encrypted) != 0;
  return encrypted ? unlock_member(entry, names->shown_path, aes, archive) : MemberOutcome::done;
}

// Decodes or copies the member's data into its file (or link), checks it
// and ends the progress line.
MemberOutcome transfer_member(ZipEntry* entry, const MemberNames* names, const AesExtra* aes, FILE* archive,
                              std::uint16_t method, std::int64_t* stands_at) {
  bool encrypted = (entry->flags & k_flag_encrypted) != 0 && aes == nullptr;
  MemberData member{entry, names, archive, member_inflater(), method == k_method_deflated, encrypted,
                    entry->uncompressed_size};
  OpenOutput output;
  MemberOutcome outcome = open_member_output(&member, &output);
  if (outcome != MemberOutcome::done) {
    if (aes != nullptr) end_aes();
    return outcome;
  }
  count_member_data(&member, aes);
  if (!can_decode_whole(&member) || !decoded_whole(&member)) {
    reset_inflater();
    outcome = extract_data(&member);
  }
  *stands_at = member.stands_at;
  if (member.aes) outcome = authenticate_member(&member, outcome);
  if (member.link_target != nullptr) {
    if (outcome != MemberOutcome::stop) outcome = verify_link(&member, outcome);
    free(member.link_target);
    return outcome;
  }
  if (outcome != MemberOutcome::stop) return verify_member(&member, outcome);
  (void)flush_pending(&member);
  return outcome;
}

// *stands_at is where the archive stands (-1: not known) before the member
// and after it.
MemberOutcome extract_file_member(ZipEntry* entry, FILE* archive, std::int64_t* stands_at) {
  int status = make_inflater();
  reset_output(member_inflater());
  if (status != Z_OK) {
    report_zlib_error(status, member_inflater());
    return MemberOutcome::stop;
  }
  AesExtra aes{};
  const AesExtra* aes_member = read_aes_extra(entry, &aes) ? &aes : nullptr;
  std::uint16_t method = aes_member != nullptr ? aes.method : entry->compression_method;
  MemberOutcome outcome = check_method_and_span(entry, method);
  if (outcome != MemberOutcome::done) return outcome;
  std::int64_t position = archive_state.last_segment == 0 ? *stands_at : -1;
  *stands_at = -1;
  outcome = position_on_data(entry, archive, position);
  if (outcome != MemberOutcome::done) return outcome;
  MemberNames names;
  outcome = ready_member(entry, &names, aes_member, archive);
  if (outcome == MemberOutcome::done) {
    outcome = transfer_member(entry, &names, aes_member, archive, method, stands_at);
  }
  release_member_names(&names);
  return outcome;
}

MemberOutcome extract_member(ZipEntry* entry, FILE* archive, FolderList* folders, std::int64_t* stands_at) {
  if (!is_directory_entry(entry)) return extract_file_member(entry, archive, stands_at);
  MemberNames names;
  MemberOutcome outcome = name_checked_member(entry, &names);
  if (outcome == MemberOutcome::done) outcome = create_directory_entry(entry, &names, folders);
  release_member_names(&names);
  return outcome;
}

}  // namespace

int extract_all(FILE* archive) {
  if (!mark_overlapping_members()) {
    print_error("Error: %s\n", error_text(ArchiveError::out_of_memory));
    return 1;
  }
  if (!fits_on_disk()) return 1;
  FolderList folders;
  int run_result = 0;
  std::int64_t stands_at = -1;  // where the archive stands, once a member has told
  start_decoding_ahead(archive);
  for (ZipEntry* entry = archive_state.entries; entry != nullptr; entry = entry->next) {
    MemberOutcome outcome = extract_member(entry, archive, &folders, &stands_at);
    pass_decoded_ahead(entry);
    if (outcome == MemberOutcome::refused || outcome == MemberOutcome::failed) run_result = 1;
    if (outcome == MemberOutcome::stop) {
      run_result = 1;
      break;
    }
  }
  end_decoding_ahead();
  restore_folder_times(&folders);
  end_whole_members();
  return run_result;
}

void end_extraction_run() {
  release_directory();
  forget_created_directories();
  forget_passwords();
  end_inflater();
  end_decoding_ahead();
  end_whole_members();
  end_aes();
  wipe_secret(&cipher_keys, sizeof cipher_keys);
  set_system_files_kept(false);
  set_progress_shown(true);
}
