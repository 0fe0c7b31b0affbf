// extra_field.cpp - walk the blocks of a zip extra field.
#include "archive/extra_field.h"

#include "archive/zip_format.h"

bool next_extra_block(const unsigned char* extra, std::size_t length, std::size_t* at, ExtraBlock* block) {
  if (extra == nullptr || *at + k_extra_block_header_size > length) return false;
  std::size_t available = length - *at - k_extra_block_header_size;
  std::size_t size = read_le16(&extra[*at + 2]);
  block->id = read_le16(&extra[*at]);
  block->data = &extra[*at + k_extra_block_header_size];
  block->cut = size > available;
  block->size = block->cut ? available : size;
  *at += k_extra_block_header_size + block->size;
  return true;
}

const unsigned char* find_extra_block(const unsigned char* extra, std::uint16_t extra_length, std::uint16_t id,
                                      std::uint16_t* size) {
  std::size_t at = 0;
  ExtraBlock block;
  while (next_extra_block(extra, extra_length, &at, &block) && !block.cut) {
    if (block.id == id) {
      *size = static_cast<std::uint16_t>(block.size);
      return block.data;
    }
  }
  return nullptr;
}
