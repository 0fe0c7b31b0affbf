// member_stream.h - stream a member through its cipher and zlib into its file, 10 KiB at a time.
#pragma once

#include <zlib.h>

#include "extract/member_data.h"

// The inflater that every streamed member uses, made at the first one.
z_stream* member_inflater();
// Makes the inflater unless made. Returns zlib's status (Z_MEM_ERROR when
// it cannot be made).
int make_inflater();
// Readies the inflater for a member that is streamed, with no input left
// from the last one.
void reset_inflater();
// Frees the inflater; the next member makes it again.
void end_inflater();
// Points the stream's output at the whole output_buffer.
void reset_output(z_stream* stream);
void report_zlib_error(int status, const z_stream* stream);

// Writes what the member has gathered for its file. False when the write
// failed.
bool flush_pending(MemberData* member);
void report_disk_full(const char* shown_path);
// A write of the member's file failed: for want of room on the disk the
// walk stops with one message (every later member would fail too);
// otherwise the member fails.
void report_write_failure(MemberData* member);

// Reads, deciphers, inflates or copies and writes the member's data from
// where the archive stands. Returns done, failed (after its message) or
// stop.
MemberOutcome extract_data(MemberData* member);
