// whole_member.h - a deflated member decoded in one piece.
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/platform.h"

// A member whose data the archive holds in one file. Streaming a deflated
// one through zlib costs a pass of the inflater per 10 KiB and copies
// through stdio; decoding the whole data at once with libdeflate costs
// neither. A stored one is checked and written straight from where it lies.
struct WholeMember {
  FILE* archive;             // standing at data_start
  OutputFile output;         // empty
  std::uint64_t data_start;  // past the encryption header of an enciphered member
  std::uint64_t data_size;   // the deflate data, without the encryption header
  std::uint64_t uncompressed_size;
  std::uint32_t crc32;
  bool enciphered;  // the traditional cipher's keys stand ready for the first data byte
  bool stored;      // else deflated
  // Its output when the second thread decoded it already (decode_ahead.h).
  unsigned char* decoded = nullptr;
};

// In memory a member takes at most this much (data and output together);
// a larger one is decoded where the platform maps files, into its output
// file mapped from the disk, or else streamed.
constexpr std::uint64_t k_whole_member_memory = 12u << 20;
// The largest output decoded into its mapped file. The file is first filled
// with zeros: past what the system keeps dirty in memory those would reach
// the disk before the decoded bytes replace them, and the member would be
// written twice. A larger member is streamed.
constexpr std::uint64_t k_whole_member_mapped = 256u << 20;

// Decodes the member into exactly its uncompressed size (a stored one must
// hold exactly that many bytes), checks its CRC-32 and writes it. Prints nothing. True when all of that succeeded. On false
// the member is as it was before the call: the archive stands at
// data_start, the cipher's keys are as they were and the output file is
// empty, so that the member can be redone from its start by streaming,
// which tells what went wrong.
// On success *archive_position is where the archive then stands.
bool decode_whole_member(const WholeMember& member, std::uint64_t* archive_position);

// The most that deflate can make of data_size bytes: 1,032 bytes of one (a
// 258-byte match in two bits), and a little more at a stream's start.
std::uint64_t most_deflate_makes_of(std::uint64_t data_size);

// Frees what the decoding keeps between members.
void end_whole_members();
