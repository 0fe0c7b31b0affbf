// member_stream.cpp - stream a member through its cipher and zlib into its file, 10 KiB at a time.
#include "extract/member_stream.h"

#include <cstring>

#include "archive/segment_switch.h"
#include "extract/aes_member.h"
#include "extract/fast_crc32.h"
#include "extract/traditional_cipher.h"
#include "front/messages.h"

namespace {

constexpr int k_raw_deflate_window_bits = -15;  // no zlib header, no Adler-32 trailer

// The inflater that every member uses: made on first use, reset for each
// member, so that zlib's state (7 KiB) and window (32 KiB) are allocated once
// per run. musl gives freed blocks of these sizes back to the system at once:
// an inflater made and ended per member cost two mmap/munmap pairs and eleven
// freshly zeroed pages each, 2.3 times the glibc stub's time on 20,000 tiny
// files.
z_stream g_inflater;

bool g_inflater_made = false;

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

}  // namespace

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

void end_inflater() {
  if (g_inflater_made) (void)inflateEnd(&g_inflater);
  g_inflater_made = false;
}

void reset_output(z_stream* stream) {
  stream->next_out = archive_state.output_buffer;
  stream->avail_out = k_buffer_size;
}

void report_zlib_error(int status, const z_stream* stream) {
  print_error("Error: %s. %s\n", zError(status), stream->msg != nullptr ? stream->msg : "");
}

// Writes what the member has gathered for its file. False when the write
// failed.
bool flush_pending(MemberData* member) {
  std::size_t length = member->pending_length;
  member->pending_length = 0;
  return length == 0 || platform_write_output(member->output, member->pending, length);
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

z_stream* member_inflater() { return &g_inflater; }
