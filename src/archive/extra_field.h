// extra_field.h - find a block of a zip extra field by its id.
#pragma once

#include <cstdint>

// Info-ZIP's Unicode path field: version 1, the CRC-32 of the stored name,
// then the name in UTF-8.
constexpr std::uint16_t k_extra_unicode_path = 0x7075;

// Walks the extra field's blocks (2-byte id, 2-byte size, data) and returns
// the data of the first block with id, its size in *size; nullptr when there
// is none or the blocks before it run past the field's end.
const unsigned char* find_extra_block(const unsigned char* extra, std::uint16_t extra_length, std::uint16_t id,
                                      std::uint16_t* size);
