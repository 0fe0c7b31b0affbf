// extra_field.h - walk the blocks of a zip extra field.
#pragma once

#include <cstddef>
#include <cstdint>

// One block of an extra field: a 2-byte id, a 2-byte size, then its data.
struct ExtraBlock {
  std::uint16_t id = 0;
  const unsigned char* data = nullptr;
  std::size_t size = 0;  // what the field holds of the data
  bool cut = false;      // the block's size runs past the field's end (it is the last)
};

// Walks the blocks of the extra field at extra (length bytes; nullptr for
// none) from *at, which it moves past the block. Returns false after the
// last block, also at a stray tail too short for a block's header: *at then
// stops short of length.
bool next_extra_block(const unsigned char* extra, std::size_t length, std::size_t* at, ExtraBlock* block);

// The data of the first whole block with id, its size in *size; nullptr
// when there is none or a block before it (or it) runs past the field's end.
const unsigned char* find_extra_block(const unsigned char* extra, std::uint16_t extra_length, std::uint16_t id,
                                      std::uint16_t* size);
