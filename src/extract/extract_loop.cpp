// extract_loop.cpp - extract every member of the opened archive.
#include "extract/extract_loop.h"

#include <cstdlib>
#include <cstring>
#include <zlib.h>

#include "archive/aes_extra.h"
#include "archive/local_header.h"
#include "archive/segment_switch.h"
#include "archive/zip_format.h"
#include "extract/aes_member.h"
#include "extract/fast_crc32.h"
#include "extract/member_names.h"
#include "extract/member_spans.h"
#include "extract/output_path.h"
#include "extract/password_prompt.h"
#include "extract/traditional_cipher.h"
#include "extract/whole_member.h"
#include "front/messages.h"
#include "platform/platform.h"

namespace {

constexpr const char* k_progress_verb = "Inflating";
constexpr int k_raw_deflate_window_bits = -15;  // no zlib header, no Adler-32 trailer
// A deflate member is read 4 bytes past its data; the inflater stops at the
// stream's end and never uses them.
constexpr std::uint32_t k_deflate_read_ahead = 4;
constexpr int k_unix_host = 3;
// A link's target is read whole into memory; no system takes a longer one.
constexpr std::uint32_t k_longest_link = 4095;

// Whether extracted files keep the system attribute on Windows: only in a
// folder that an installer made for its own files.
bool g_system_files_kept = false;

enum class MemberOutcome {
  done,
  password_refused,  // skipped, the run result stays
  refused,           // method, output file or unsafe name: the run result is 1
  failed,
  stop,  // the walk ends with result 1
};

// The inflater that every member uses: made on first use, reset for each
// member, so that zlib's state (7 KiB) and window (32 KiB) are allocated once
// per run. musl gives freed blocks of these sizes back to the system at once:
// an inflater made and ended per member cost two mmap/munmap pairs and eleven
// freshly zeroed pages each, 2.3 times the glibc stub's time on 20,000 tiny
// files.
z_stream g_inflater;
bool g_inflater_made = false;

// Makes g_inflater at the first member. Returns zlib's status (Z_MEM_ERROR
// when it cannot be made).
int make_inflater() {
  if (g_inflater_made) return Z_OK;
  memset(&g_inflater, 0, sizeof g_inflater);
  int status = inflateInit2(&g_inflater, k_raw_deflate_window_bits);
  g_inflater_made = status == Z_OK;
  return status;
}

// Readies g_inflater for a member that is streamed, with no input left from
// the last one; a member decoded whole never touches it.
void reset_inflater() {
  (void)inflateReset(&g_inflater);
  g_inflater.next_in = nullptr;
  g_inflater.avail_in = 0;
}

// A member's output file, closed with the member.
class OpenOutput {
 public:
  OpenOutput() = default;
  ~OpenOutput() {
    if (file_.handle != -1) (void)platform_close_output(file_);
  }
  OpenOutput(const OpenOutput&) = delete;
  OpenOutput& operator=(const OpenOutput&) = delete;
  bool open(const char* path, int unix_mode) {
    file_ = platform_create_output_file(path, unix_mode);
    return file_.handle != -1;
  }
  OutputFile get() const { return file_; }

 private:
  OutputFile file_;
};

// What one member's data loop works with.
struct MemberData {
  ZipEntry* entry;
  const MemberNames* names;
  FILE* archive;
  z_stream* stream;
  bool deflated;
  bool encrypted;
  // What the member may still produce: the directory's uncompressed size.
  std::uint64_t still_to_write;
  std::uint64_t still_to_read = 0;
  std::uint32_t crc = 0;
  OutputFile output = {};
  // A streamed member's data gathered for its file: one write a buffer
  // (nullptr when no memory was left: each chunk is written at once).
  unsigned char* pending = nullptr;
  std::size_t pending_length = 0;
  // A member made as a symbolic link collects its target here instead of
  // writing a file (output is not open then).
  char* link_target = nullptr;
  std::uint32_t link_length = 0;
  // An AES member: its version (1 keeps the CRC-32, 2 does not), the
  // enciphered bytes not read yet, and whether its code matched.
  bool aes = false;
  std::uint16_t aes_version = 0;
  std::uint64_t aes_unread = 0;
  bool authentic = true;
  bool disk_full = false;  // a write failed for want of room: the walk stops
  // Where the archive stands after the member, when known (-1: not).
  std::int64_t stands_at = -1;
};

void report_zlib_error(int status, const z_stream* stream) {
  print_error("Error: %s. %s\n", zError(status), stream->msg != nullptr ? stream->msg : "");
}

bool is_directory_entry(const ZipEntry* entry) {
  return is_folder_name(entry->name, entry->name_length);
}

void report_outside(const char* name) {
  print_error("Error: %s would be written outside the current directory. This file will not be unzipped.\n",
              shown_name(name));
}

// The folders made for folder entries, given their times and modes after
// the last member: files written into a folder would change its time, and a
// read-only folder would refuse the members that go into it.
struct MadeFolder {
  const ZipEntry* entry;
  char* local_path;
};

struct FolderList {
  MadeFolder* folders = nullptr;
  std::size_t count = 0;
  std::size_t capacity = 0;
};

// Keeps the folder's local path (or frees it, when no memory is left: the
// folder then keeps the time it has).
void remember_folder(FolderList* folders, const ZipEntry* entry, char* local_path) {
  if (folders->count == folders->capacity) {
    std::size_t capacity = folders->capacity == 0 ? 64 : folders->capacity * 2;
    void* larger = realloc(folders->folders, capacity * sizeof(MadeFolder));
    if (larger == nullptr) {
      free(local_path);
      return;
    }
    folders->folders = static_cast<MadeFolder*>(larger);
    folders->capacity = capacity;
  }
  folders->folders[folders->count++] = MadeFolder{entry, local_path};
}

std::size_t depth_of(const char* path) {
  std::size_t depth = 0;
  for (; *path != '\0'; ++path) {
    if (*path == k_path_separator) ++depth;
  }
  return depth;
}

int compare_deepest_first(const void* left, const void* right) {
  std::size_t a = depth_of(static_cast<const MadeFolder*>(left)->local_path);
  std::size_t b = depth_of(static_cast<const MadeFolder*>(right)->local_path);
  return a > b ? -1 : (a < b ? 1 : 0);
}

int unix_mode_of(const ZipEntry* entry) {
  std::uint32_t mode = entry->external_attributes >> 16;
  if ((entry->version_made_by >> 8) != k_unix_host || mode == 0) return -1;
  return static_cast<int>(mode & 0777);  // never set-uid, set-gid or sticky
}

// Gives every folder made for a folder entry its time and mode, the
// deepest first, so that a parent is changed after its children.
void restore_folder_times(FolderList* folders) {
  if (folders->count > 1) qsort(folders->folders, folders->count, sizeof(MadeFolder), compare_deepest_first);
  for (std::size_t i = 0; i < folders->count; ++i) {
    const MadeFolder& folder = folders->folders[i];
    platform_set_folder_times(folder.local_path, folder.entry->modification_time_and_date, unix_mode_of(folder.entry));
    free(folder.local_path);
  }
  free(folders->folders);
  *folders = FolderList{};
}

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

void report_device(const char* name) {
  print_error("Error: %s names a Windows device. This file will not be unzipped.\n", shown_name(name));
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

std::uint64_t data_offset(const ZipEntry* entry) {
  return entry->local_header_offset + k_local_header_size + entry->name_length + entry->local_extra_length;
}

void reset_output(z_stream* stream) {
  stream->next_out = archive_state.output_buffer;
  stream->avail_out = k_buffer_size;
}

// Reads the next chunk of member data into read_buffer and deciphers it.
// A segment file that ends before the data does hands over to the next
// segment; the bytes it delivered are kept. Returns false when the walk
// must stop (after the message).
bool refill_input(MemberData* member) {
  std::size_t chunk = member->still_to_read < k_buffer_size ? static_cast<std::size_t>(member->still_to_read)
                                                            : k_buffer_size;
  std::size_t bytes_read = fread(archive_state.read_buffer, 1, chunk, member->archive);
  if (member->encrypted) decrypt_buffer(archive_state.read_buffer, bytes_read);
  if (member->aes) {
    aes_decrypt_buffer(archive_state.read_buffer, bytes_read);
    member->aes_unread -= bytes_read;
  }
  if (feof(member->archive) && bytes_read < member->still_to_read &&
      archive_state.current_segment < archive_state.last_segment) {
    ArchiveError code = switch_segment(archive_state.current_segment + 1, member->archive);
    if (code != ArchiveError::none) {
      print_error("Error: %s\n", error_text(code));
      return false;
    }
  } else if (bytes_read == 0) {
    ArchiveError code = ferror(member->archive) ? ArchiveError::read_error : ArchiveError::unexpected_end;
    print_error("Error: %s\n", error_text(code));
    return false;
  }
  member->stream->next_in = archive_state.read_buffer;
  member->stream->avail_in = static_cast<uInt>(bytes_read);
  return true;
}

void copy_stored(z_stream* stream) {
  memcpy(stream->next_out, stream->next_in, stream->avail_in);
  stream->next_out += stream->avail_in;
  stream->avail_out -= stream->avail_in;
  stream->next_in += stream->avail_in;
  stream->avail_in = 0;
}

// Writes what the member has gathered for its file. False when the write
// failed.
bool flush_pending(MemberData* member) {
  std::size_t length = member->pending_length;
  member->pending_length = 0;
  return length == 0 || platform_write_output(member->output, member->pending, length);
}

// Hands count produced bytes to the output file or the link's target.
bool deliver_output(MemberData* member, std::size_t count) {
  if (member->link_target != nullptr) {
    memcpy(member->link_target + member->link_length, archive_state.output_buffer, count);
    member->link_length += static_cast<std::uint32_t>(count);
    return true;
  }
  if (member->pending == nullptr) return platform_write_output(member->output, archive_state.output_buffer, count);
  if (member->pending_length + count > k_output_stream_buffer && !flush_pending(member)) return false;
  memcpy(member->pending + member->pending_length, archive_state.output_buffer, count);
  member->pending_length += count;
  return true;
}

void report_disk_full(const char* shown_path) {
  print_error("Error: the disk is full: %s could not be written. Nothing more will be unzipped.\n",
              shown_name(shown_path));
}

// A write of the member's file failed: for want of room on the disk the
// walk stops with one message (every later member would fail as well);
// otherwise the member fails.
void report_write_failure(MemberData* member) {
  member->disk_full = platform_disk_is_full();
  if (member->disk_full) {
    report_disk_full(member->names->shown_path);
  } else {
    print_error("Error while writing output file.\n");
  }
}

// The outcome of a member whose data could not all be produced.
MemberOutcome unfinished(const MemberData* member) {
  return member->disk_full ? MemberOutcome::stop : MemberOutcome::failed;
}

// Writes what output_buffer holds and folds it into the CRC-32; a block that
// could not be written is not folded in. A member never produces more than
// the directory's uncompressed size: what goes beyond it is not written, and
// the member fails.
bool write_output(MemberData* member) {
  std::size_t produced = k_buffer_size - member->stream->avail_out;
  if (produced == 0) return true;
  bool too_large = produced > member->still_to_write;
  if (too_large) produced = member->still_to_write;
  if (produced > 0 && !deliver_output(member, produced)) {
    report_write_failure(member);
    return false;
  }
  member->crc = update_crc32(member->crc, archive_state.output_buffer, produced);
  member->still_to_write -= produced;
  reset_output(member->stream);
  if (too_large) {
    print_error("Error: %s is larger than the zip archive says. File may be corrupted.\n",
                shown_name(member->names->shown_path));
    return false;
  }
  return true;
}

// Streams the member through the cipher and the inflater into the output
// file. Returns failed (after its message), stop, or done.
MemberOutcome stream_member_data(MemberData* member) {
  z_stream* stream = member->stream;
  bool stream_ended = false;
  while ((stream->avail_in != 0 || member->still_to_read != 0) && !stream_ended) {
    std::uint32_t bytes_read = 0;
    if (stream->avail_in == 0) {
      if (!refill_input(member)) return MemberOutcome::stop;
      bytes_read = stream->avail_in;
    }
    if (!member->deflated) {
      copy_stored(stream);
    } else if (stream->avail_in != 0) {
      // A pass that brought no input (a segment ending right at a chunk's
      // end) has nothing to inflate; zlib would only answer Z_BUF_ERROR.
      int status = inflate(stream, Z_NO_FLUSH);
      if (status < 0) {
        report_zlib_error(status, stream);
        return MemberOutcome::failed;
      }
      stream_ended = status == Z_STREAM_END;
    }
    if (!write_output(member)) return unfinished(member);
    member->still_to_read -= bytes_read;
  }
  return MemberOutcome::done;
}

// Lets the inflater deliver what it still holds and writes it.
MemberOutcome finish_member_data(MemberData* member) {
  if (member->deflated) {
    int status = inflate(member->stream, Z_FINISH);
    if (status < 0) {
      report_zlib_error(status, member->stream);
      return MemberOutcome::stop;
    }
  }
  return write_output(member) ? MemberOutcome::done : unfinished(member);
}

// Gives the bytes the inflater left unused (the read-ahead past a deflate
// member's data) back to stdio, so that the stream stands where the data
// ends, in front of the next local header. Seeking back over them instead
// would make musl and msvcrt, whose seeks throw the buffer away, read their
// 64 KiB buffer again for every member. The bytes are the last ones read, as
// read (the member is not enciphered; an AES member has no read-ahead and
// its code follows its data) from this segment's file. Where the C library
// takes fewer back than that, the next seek starts from where the stream
// stands.
void unread_unused_input(MemberData* member, std::int32_t segment_at_start) {
  z_stream* stream = member->stream;
  if (!member->deflated || member->encrypted || member->aes || stream->avail_in > k_deflate_read_ahead ||
      archive_state.current_segment != segment_at_start) {
    return;
  }
  while (stream->avail_in > 0) {
    if (ungetc(stream->next_in[stream->avail_in - 1], member->archive) == EOF) return;
    --stream->avail_in;
  }
}

MemberOutcome extract_data(MemberData* member) {
  // An empty member has nothing to read and nothing to inflate.
  if (member->entry->compressed_size == 0) return MemberOutcome::done;
  std::int32_t segment_at_start = archive_state.current_segment;
  MemberOutcome outcome = stream_member_data(member);
  if (outcome != MemberOutcome::done) return outcome;
  outcome = finish_member_data(member);
  unread_unused_input(member, segment_at_start);
  return outcome;
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
  WholeMember whole{member->archive, member->output, data_offset(entry) + header, entry->compressed_size - header,
                    entry->uncompressed_size, entry->crc32, member->encrypted, !member->deflated};
  std::uint64_t stands_at = 0;
  if (!decode_whole_member(whole, &stands_at)) return false;
  member->crc = entry->crc32;
  member->stands_at = static_cast<std::int64_t>(stands_at);
  return true;
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

// The read-only and hidden bits of the member's DOS attributes (the low
// byte of its external attributes, as Windows zip tools and Info-ZIP write
// it), and the system bit where the maker's installer chose the folder.
std::uint32_t kept_dos_attributes(const ZipEntry* entry) {
  std::uint32_t kept = k_dos_read_only | k_dos_hidden | (g_system_files_kept ? k_dos_system : 0);
  return entry->external_attributes & kept;
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

bool is_symbolic_link(const ZipEntry* entry) {
  return k_symbolic_links && (entry->version_made_by >> 8) == k_unix_host &&
         ((entry->external_attributes >> 16) & k_unix_type_mask) == k_unix_type_link;
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

// An encrypted member shorter than its 12-byte header cannot be valid; its
// data length would wrap below zero.
bool is_too_short_to_decrypt(const ZipEntry* entry) {
  AesExtra aes;
  if (read_aes_extra(entry, &aes)) return entry->compressed_size < aes_overhead(aes.strength);
  return (entry->flags & k_flag_encrypted) != 0 && entry->compressed_size < k_encryption_header_size;
}

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

void report_overlap(const ZipEntry* entry) {
  print_error("Error: %s overlaps another member (a possible zip bomb). This file will not be unzipped.\n",
              shown_name(entry->name));
}

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

// Decodes or copies the member's data into its file (or link), checks it
// and ends the progress line.
MemberOutcome transfer_member(ZipEntry* entry, const MemberNames* names, const AesExtra* aes, FILE* archive,
                              std::uint16_t method, std::int64_t* stands_at) {
  bool encrypted = (entry->flags & k_flag_encrypted) != 0 && aes == nullptr;
  MemberData member{entry, names, archive, &g_inflater, method == k_method_deflated, encrypted,
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
  reset_output(&g_inflater);
  if (status != Z_OK) {
    report_zlib_error(status, &g_inflater);
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

}  // namespace

void set_system_files_kept(bool kept) { g_system_files_kept = kept; }

int extract_all(FILE* archive) {
  if (!mark_overlapping_members()) {
    print_error("Error: %s\n", error_text(ArchiveError::out_of_memory));
    return 1;
  }
  if (!fits_on_disk()) return 1;
  FolderList folders;
  int run_result = 0;
  std::int64_t stands_at = -1;  // where the archive stands, once a member has told
  for (ZipEntry* entry = archive_state.entries; entry != nullptr; entry = entry->next) {
    MemberOutcome outcome = extract_member(entry, archive, &folders, &stands_at);
    if (outcome == MemberOutcome::refused || outcome == MemberOutcome::failed) run_result = 1;
    if (outcome == MemberOutcome::stop) {
      run_result = 1;
      break;
    }
  }
  restore_folder_times(&folders);
  end_whole_members();
  return run_result;
}
