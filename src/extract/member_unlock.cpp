// member_unlock.cpp - a member's password, for the traditional cipher and for AES, and the AES authentication code.
#include "extract/member_unlock.h"

#include <zlib.h>

#include "archive/segment_switch.h"
#include "extract/aes_member.h"
#include "extract/password_prompt.h"
#include "extract/traditional_cipher.h"
#include "front/messages.h"

namespace {

// One member's password search: the checks read its encryption header, or
// an AES member's salt and password verifier.
struct UnlockContext {
  ZipEntry* entry;
  const char* shown_path;
  const AesExtra* aes;  // nullptr for the traditional cipher
  FILE* archive;
  int tries;
  bool no_crypto;  // the system's AES library cannot be used
};

// Puts the archive back at the start of the member's encryption header, for
// a second password (the kept one failed); false after the message.
bool return_to_encryption_header(const ZipEntry* entry, FILE* archive) {
  if (archive_state.current_segment != entry->starting_segment) {
    ArchiveError code = switch_segment(entry->starting_segment, archive);
    if (code != ArchiveError::none) {
      print_error("Error: %s\n", error_text(code));
      return false;
    }
  }
  if (platform_seek(archive, data_offset(entry)) != 0) {
    print_error("Error: %s\n", zError(Z_ERRNO));
    return false;
  }
  return true;
}

// Checks password against the traditional header or the AES verifier.
bool is_right_password(UnlockContext* unlock, const char* password, ArchiveError* switch_error) {
  if (unlock->aes == nullptr) return check_password(unlock->entry, unlock->archive, password, switch_error);
  AesPassword result = check_aes_password(*unlock->aes, unlock->archive, password, switch_error);
  if (result == AesPassword::no_crypto) {
    unlock->no_crypto = true;
    print_error("Error: %s is AES-encrypted, and this system's AES library cannot be used. This file will not be "
                "unzipped.\n", shown_name(unlock->shown_path));
  }
  return result == AesPassword::right;
}

PasswordCheck check_member_password(const char* password, void* context) {
  UnlockContext* unlock = static_cast<UnlockContext*>(context);
  if (unlock->tries++ > 0 && !return_to_encryption_header(unlock->entry, unlock->archive)) return PasswordCheck::stop;
  ArchiveError switch_error = ArchiveError::none;
  if (is_right_password(unlock, password, &switch_error)) return PasswordCheck::passed;
  if (unlock->no_crypto) return PasswordCheck::stop;
  if (switch_error != ArchiveError::none) {
    print_error("Error: %s\n", error_text(switch_error));
    return PasswordCheck::stop;
  }
  return PasswordCheck::failed;
}

}  // namespace

// Asks for the password (or tries the kept one) and checks it against the
// encryption header, or an AES member's (aes not nullptr) verifier.
MemberOutcome unlock_member(ZipEntry* entry, const char* shown_path, const AesExtra* aes, FILE* archive) {
  UnlockContext unlock{entry, shown_path, aes, archive, 0, false};
  PasswordCheck result = find_member_password(shown_name(shown_path), check_member_password, &unlock);
  if (unlock.no_crypto) return MemberOutcome::refused;
  if (result == PasswordCheck::stop) return MemberOutcome::stop;
  if (result == PasswordCheck::failed) {
    print_error("Sorry, you did not enter a valid password. This file will not be unzipped.\n");
    return MemberOutcome::password_refused;
  }
  return MemberOutcome::done;
}

// Reads what is left of an AES member's enciphered data (a deflate stream
// may end before it) and the authentication code after it, and compares
// the code. Returns stop when the archive ends inside them (after the
// message), failed when the data was altered, the outcome otherwise. An
// inflater that stopped the walk after the last byte of the data is
// answered by the code: altered data fails only this member.
MemberOutcome authenticate_member(MemberData* member, MemberOutcome outcome) {
  if (outcome == MemberOutcome::stop && member->aes_unread != 0) {
    end_aes();
    return outcome;
  }
  ArchiveError code = ArchiveError::none;
  while (member->aes_unread > 0) {
    std::size_t chunk = member->aes_unread < k_buffer_size ? static_cast<std::size_t>(member->aes_unread)
                                                           : k_buffer_size;
    std::size_t bytes_read = fread(archive_state.read_buffer, 1, chunk, member->archive);
    aes_authenticate_only(archive_state.read_buffer, bytes_read);
    member->aes_unread -= bytes_read;
    if (bytes_read == chunk) continue;
    if (!feof(member->archive) || archive_state.current_segment >= archive_state.last_segment) {
      code = ferror(member->archive) ? ArchiveError::read_error : ArchiveError::unexpected_end;
    } else {
      code = switch_segment(archive_state.current_segment + 1, member->archive);
    }
    if (code != ArchiveError::none) break;
  }
  AesCode result = code == ArchiveError::none ? check_aes_code(member->archive, &code) : AesCode::unreadable;
  end_aes();
  if (result == AesCode::unreadable) {
    if (code == ArchiveError::none) code = ferror(member->archive) ? ArchiveError::read_error : ArchiveError::unexpected_end;
    print_error("Error: %s\n", error_text(code));
    return MemberOutcome::stop;
  }
  member->authentic = result == AesCode::authentic;
  if (outcome == MemberOutcome::stop && !member->authentic) return MemberOutcome::failed;
  return outcome;
}
