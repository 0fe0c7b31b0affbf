// member_output.h - where a member's data goes, and the checks that end it: CRC-32, authentication code, link.
#pragma once

#include "archive/aes_extra.h"
#include "extract/member_data.h"

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

// Opens where the member's data goes: the output file, or the buffer for a
// link's target. Returns done, or refused after the message (stop when the
// disk is full).
MemberOutcome open_member_output(MemberData* member, OpenOutput* output);

// How much of the member's data is read, and for an AES member what it is.
void count_member_data(MemberData* member, const AesExtra* aes);

// A member of a one-file archive is decoded in one piece when it can be
// (not a link, not AES, whose code is computed as the data streams).
bool can_decode_whole(const MemberData* member);
// Decodes (or copies) the member in one piece; false when it must be
// streamed from its start instead, which then tells what went wrong.
bool decoded_whole(MemberData* member);

// Writes what is left, checks the CRC-32 (or AES code) and ends the
// progress line; gives the file its time and attributes.
MemberOutcome verify_member(MemberData* member, MemberOutcome outcome);
// Checks a link's target and makes the link, unless it leads outside the
// current directory; ends the progress line.
MemberOutcome verify_link(MemberData* member, MemberOutcome outcome);
