// segment_switch.h - make the archive stream read another segment of a split archive.
#pragma once

#include <cstdint>
#include <cstdio>

#include "front/messages.h"

// Segment number that asks for the last segment.
constexpr std::int32_t k_last_segment = -1;

// Makes archive read the file of segment (counted from 0, or k_last_segment)
// from its first byte. Nothing happens when it is the current segment;
// otherwise the user is asked to insert the disk and press Enter. Returns
// none, user_aborted when standard input ends first, out_of_memory, or
// open_error when the segment's file cannot be opened.
[[nodiscard]] ArchiveError switch_segment(std::int32_t segment, FILE* archive);

// Asks for segment as switch_segment does, also when it is the current one:
// the disk in the drive turned out to be another. Returns as switch_segment.
[[nodiscard]] ArchiveError ask_again_for_segment(std::int32_t segment, FILE* archive);

// Gives an archive stream the program's large read buffer.
void set_archive_buffer(FILE* archive);
