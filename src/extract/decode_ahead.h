// decode_ahead.h - small deflated members decoded on a second thread.
#pragma once

#include <cstdint>
#include <cstdio>

#include "archive/archive_state.h"

// Installers are mostly many small files. Making a file costs the kernel
// about as long as decoding its few hundred bytes costs us (libdeflate builds
// the Huffman tables of every member anew), so a second thread decodes the
// next small deflated members, from its own reads of the archive, while this
// one makes the files of the last. What it decodes is only ever taken in
// place of decoding in turn: every check, message and write stays here, and
// a member it could not decode is decoded in turn, which tells what is wrong.

// Starts the thread for the small deflated members of a one-file archive,
// where the platform runs one and enough members gain from it.
void start_decoding_ahead(FILE* archive);

// The output of the member whose data starts at data_start, when it was
// decoded ahead from there into exactly its size and CRC-32 (waiting while
// it is being decoded); else nullptr. Valid until pass_decoded_ahead.
unsigned char* decoded_ahead(const ZipEntry* entry, std::uint64_t data_start);

// The walk is done with entry: its room goes to the members after it.
void pass_decoded_ahead(const ZipEntry* entry);

// Stops the thread and frees what it kept.
void end_decoding_ahead();
