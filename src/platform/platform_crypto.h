// platform_crypto.h - AES, HMAC-SHA1 and PBKDF2 from the system's crypto library (CNG or Nettle).
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::size_t k_aes_block_size = 16;
constexpr std::size_t k_sha1_digest_size = 20;

// Derives length bytes from password and salt with PBKDF2-HMAC-SHA1 and the
// given number of iterations. Returns false when the library cannot be had
// or refuses (on Windows: no bcrypt.dll, as before Windows 7).
[[nodiscard]] bool platform_pbkdf2_sha1(const unsigned char* password, std::size_t password_length,
                                        const unsigned char* salt, std::size_t salt_length, unsigned iterations,
                                        unsigned char* out, std::size_t length);

// One AES key and one HMAC-SHA1 key at a time, for the member being read or
// written: platform_crypto_start sets both up (key_length 16, 24 or 32),
// platform_crypto_end forgets them. Returns false when the library fails.
[[nodiscard]] bool platform_crypto_start(const unsigned char* aes_key, const unsigned char* mac_key,
                                         std::size_t key_length);
void platform_crypto_end();

// Enciphers count whole blocks of input into output with the started key
// (each block on its own: the counter blocks of counter mode). Returns
// false when the library fails.
[[nodiscard]] bool platform_aes_encrypt_blocks(const unsigned char* input, unsigned char* output, std::size_t count);

// Feeds length bytes to the started HMAC-SHA1; platform_hmac_finish writes
// its 20-byte code. Returns false when the library fails.
[[nodiscard]] bool platform_hmac_update(const unsigned char* data, std::size_t length);
[[nodiscard]] bool platform_hmac_finish(unsigned char code[k_sha1_digest_size]);
