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

// True when path has a drive or folder part (a separator), false for a bare
// name such as setup.
bool has_folder_part(const char* path);

// Copies name into out, which has room for strlen(name) + 1 bytes, as a path
// below a folder that never climbs out of it: empty and "." components are
// dropped, ".." drops the component before it, or itself when none is left.
// Components are joined by the platform's separator ("../set/disk1/setup"
// gives "set/disk1/setup"). The segment files are drive A's root followed by
// the archive path so treated.
void normalise_segment_name(const char* name, char* out);

// Gives an archive stream the program's large read buffer.
void set_archive_buffer(FILE* archive);
