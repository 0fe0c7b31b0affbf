// traditional_cipher.cpp - the traditional PKWARE zip cipher, decryption only.
#include "extract/traditional_cipher.h"

#include "archive/segment_switch.h"
#include "archive/zip_format.h"
#include "extract/fast_crc32.h"

CipherKeys cipher_keys;

std::uint32_t crc_step(std::uint32_t value, std::uint8_t byte) {
  // The table of the data's CRC-32: the cipher and the data check share one.
  return (value >> 8) ^ crc32_table()[(value ^ byte) & 0xFF];
}

void advance_keys(std::uint8_t plain_byte) {
  cipher_keys.key0 = crc_step(cipher_keys.key0, plain_byte);
  cipher_keys.key1 += cipher_keys.key0 & 0xFF;
  cipher_keys.key1 = cipher_keys.key1 * 134775813u + 1;
  cipher_keys.key2 = crc_step(cipher_keys.key2, static_cast<std::uint8_t>(cipher_keys.key1 >> 24));
}

std::uint8_t keystream_byte() {
  std::uint32_t t = (cipher_keys.key2 & 0xFFFF) | 2;
  return static_cast<std::uint8_t>((t * (t ^ 1)) >> 8);
}

std::uint8_t decrypt_next(std::uint8_t cipher_byte) {
  std::uint8_t plain = cipher_byte ^ keystream_byte();
  advance_keys(plain);
  return plain;
}

void seed_keys(const char* password) {
  cipher_keys = CipherKeys{0x12345678, 0x23456789, 0x34567890};
  for (const char* p = password; *p != '\0'; ++p) advance_keys(static_cast<std::uint8_t>(*p));
}

namespace {

// One byte of the encryption header, which a split archive may continue at
// the start of the next segment like the data after it.
int next_header_byte(FILE* archive, ArchiveError* switch_error) {
  int c = getc(archive);
  while (c == EOF && feof(archive) && archive_state.current_segment < archive_state.last_segment) {
    ArchiveError code = switch_segment(archive_state.current_segment + 1, archive);
    if (code != ArchiveError::none) {
      if (switch_error != nullptr) *switch_error = code;
      return EOF;
    }
    c = getc(archive);
  }
  return c;
}

}  // namespace

bool check_password(const ZipEntry* entry, FILE* archive, const char* password, ArchiveError* switch_error) {
  seed_keys(password);
  std::uint8_t plain = 0;
  for (std::uint32_t i = 0; i < k_encryption_header_size; ++i) {
    int c = next_header_byte(archive, switch_error);
    if (c == EOF) return false;
    plain = decrypt_next(static_cast<std::uint8_t>(c));
  }
  // With a data descriptor the CRC was unknown when the header was written,
  // so the check byte comes from the modification time instead.
  std::uint8_t check = (entry->flags & k_flag_data_descriptor)
                           ? static_cast<std::uint8_t>(entry->modification_time_and_date >> 8)
                           : static_cast<std::uint8_t>(entry->crc32 >> 24);
  return plain == check;
}

void decrypt_buffer(unsigned char* buffer, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) buffer[i] = decrypt_next(buffer[i]);
}
