// traditional_cipher.h - the traditional PKWARE zip cipher, decryption only.
#pragma once

#include <cstdint>
#include <cstdio>

#include "archive/archive_state.h"
#include "front/messages.h"

// The cipher's whole state: three keys, seeded from a password and advanced
// by every plain byte.
struct CipherKeys {
  std::uint32_t key0;
  std::uint32_t key1;
  std::uint32_t key2;
};

extern CipherKeys cipher_keys;

constexpr std::uint32_t k_encryption_header_size = 12;

// One step of the reflected CRC-32 (polynomial 0xEDB88320), zlib's own table.
std::uint32_t crc_step(std::uint32_t value, std::uint8_t byte);

void seed_keys(const char* password);
void advance_keys(std::uint8_t plain_byte);
std::uint8_t keystream_byte();
std::uint8_t decrypt_next(std::uint8_t cipher_byte);

// Seeds the keys with password and deciphers the 12-byte encryption header
// from archive. True when its last byte matches the entry's check byte (the
// CRC-32's high byte, or the time's with flag bit 3); false on a mismatch or
// when the archive ends inside the header. A header that runs past the end
// of a segment file goes on at the start of the next segment; when that
// switch fails, its code is stored in *switch_error and the result is false.
// On true the keys stand ready for the first data byte.
[[nodiscard]] bool check_password(const ZipEntry* entry, FILE* archive, const char* password,
                                  ArchiveError* switch_error = nullptr);

// Deciphers count bytes of buffer in place, carrying the key state on, so
// pieces passed in order decrypt as one pass would.
void decrypt_buffer(unsigned char* buffer, std::size_t count);
