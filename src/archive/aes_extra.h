// aes_extra.h - recognise AES members by their method and AES extra field.
#pragma once

#include <cstdint>

#include "archive/archive_state.h"

// What an AES member's extra field says.
struct AesExtra {
  std::uint16_t version;  // 1: the CRC-32 is kept and checked; 2: it is not
  int strength;           // 1, 2, 3: AES-128, AES-192, AES-256
  std::uint16_t method;   // the real compression method, stored or deflate
};

// True when entry is an AES member the stub can read: method 99, the
// encryption flag, and a well-formed AES extra field in the central header
// (vendor "AE", version 1 or 2, strength 1-3) naming stored or deflate;
// *extra then holds the field. False for any other entry, which is then
// a member of an unknown method when its method is 99.
[[nodiscard]] bool read_aes_extra(const ZipEntry* entry, AesExtra* extra);
