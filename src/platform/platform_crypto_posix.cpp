// platform_crypto_posix.cpp - AES, HMAC-SHA1 and PBKDF2 from Nettle, linked statically.
#include "platform/platform_crypto.h"

#include <nettle/aes.h>
#include <nettle/hmac.h>
#include <nettle/pbkdf2.h>

namespace {

struct CryptoState {
  std::size_t key_length;
  union {
    aes128_ctx aes128;
    aes192_ctx aes192;
    aes256_ctx aes256;
  } aes;
  hmac_sha1_ctx hmac;
};

CryptoState g_state;

}  // namespace

bool platform_pbkdf2_sha1(const unsigned char* password, std::size_t password_length, const unsigned char* salt,
                          std::size_t salt_length, unsigned iterations, unsigned char* out, std::size_t length) {
  pbkdf2_hmac_sha1(password_length, password, iterations, salt_length, salt, length, out);
  return true;
}

bool platform_crypto_start(const unsigned char* aes_key, const unsigned char* mac_key, std::size_t key_length) {
  g_state.key_length = key_length;
  if (key_length == AES128_KEY_SIZE) {
    aes128_set_encrypt_key(&g_state.aes.aes128, aes_key);
  } else if (key_length == AES192_KEY_SIZE) {
    aes192_set_encrypt_key(&g_state.aes.aes192, aes_key);
  } else if (key_length == AES256_KEY_SIZE) {
    aes256_set_encrypt_key(&g_state.aes.aes256, aes_key);
  } else {
    return false;
  }
  hmac_sha1_set_key(&g_state.hmac, key_length, mac_key);
  return true;
}

void platform_crypto_end() {
  // The key schedules are not left in memory for whatever reads it next.
  volatile unsigned char* bytes = reinterpret_cast<volatile unsigned char*>(&g_state);
  for (std::size_t i = 0; i < sizeof g_state; ++i) bytes[i] = 0;
}

bool platform_aes_encrypt_blocks(const unsigned char* input, unsigned char* output, std::size_t count) {
  std::size_t length = count * k_aes_block_size;
  if (g_state.key_length == AES128_KEY_SIZE) {
    aes128_encrypt(&g_state.aes.aes128, length, output, input);
  } else if (g_state.key_length == AES192_KEY_SIZE) {
    aes192_encrypt(&g_state.aes.aes192, length, output, input);
  } else if (g_state.key_length == AES256_KEY_SIZE) {
    aes256_encrypt(&g_state.aes.aes256, length, output, input);
  } else {
    return false;
  }
  return true;
}

bool platform_hmac_update(const unsigned char* data, std::size_t length) {
  hmac_sha1_update(&g_state.hmac, length, data);
  return true;
}

bool platform_hmac_finish(unsigned char code[k_sha1_digest_size]) {
  hmac_sha1_digest(&g_state.hmac, k_sha1_digest_size, code);
  return true;
}
