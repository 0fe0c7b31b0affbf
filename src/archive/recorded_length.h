// recorded_length.h - the length of the whole self-extractor, as its builder recorded it in the stub.
#pragma once

#include <cstdint>

// The marker that a builder finds in the stub's bytes; the 8 bytes after it
// hold the self-extractor's length, little-endian (0: none recorded).
constexpr char k_recorded_length_marker[] = "sfxstub length:";
constexpr unsigned k_recorded_length_marker_size = sizeof k_recorded_length_marker;

// The length that mksfx recorded for the self-extractor it wrote, or 0 where
// none was (a stub joined to its archive by hand, a floppy set). A later
// signature makes the file longer, never shorter; a file shorter than the
// length was cut short.
std::uint64_t recorded_self_extractor_length();
