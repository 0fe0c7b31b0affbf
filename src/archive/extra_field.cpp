// extra_field.cpp - find a block of a zip extra field by its id.
#include "archive/extra_field.h"

#include "archive/zip_format.h"

const unsigned char* find_extra_block(const unsigned char* extra, std::uint16_t extra_length, std::uint16_t id,
                                      std::uint16_t* size) {
  constexpr std::uint32_t k_block_header = 4;
  std::uint32_t at = 0;
  while (extra != nullptr && at + k_block_header <= extra_length) {
    std::uint16_t block_id = read_le16(&extra[at]);
    std::uint16_t block_size = read_le16(&extra[at + 2]);
    if (at + k_block_header + block_size > extra_length) return nullptr;
    if (block_id == id) {
      *size = block_size;
      return &extra[at + k_block_header];
    }
    at += k_block_header + block_size;
  }
  return nullptr;
}
