// eocd_search.h - find the end-of-central-directory record near a file's end.
#pragma once

#include <cstdint>
#include <cstdio>

#include "front/messages.h"

// The end record is searched for in the last 66000 bytes of a file.
constexpr std::uint32_t k_end_record_window = 66000;

// Searches stream backwards for the end record's signature, at offsets from
// lower_bound up to the file's end, and stores the offset of the highest
// match in found_offset. Returns none, or invalid_archive after printing
// "Did not find end-of-central" (also for a read that comes up short), or
// out_of_memory without a message. The stream's position is left undefined.
[[nodiscard]] ArchiveError find_end_of_central(FILE* stream, std::uint64_t* found_offset,
                                               std::uint64_t lower_bound);
// The same for files below 4 GiB, with 32-bit offsets.
[[nodiscard]] ArchiveError find_end_of_central(FILE* stream, std::uint32_t* found_offset,
                                               std::uint32_t lower_bound);
