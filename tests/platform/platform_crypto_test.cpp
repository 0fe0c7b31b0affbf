// platform_crypto_test.cpp - the crypto library behind AES members against published answers.
#include "platform/platform_crypto.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string hex(const unsigned char* bytes, std::size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < size; ++i) {
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 15];
  }
  return text;
}

const unsigned char* bytes_of(const std::string& text) { return reinterpret_cast<const unsigned char*>(text.data()); }

struct Pbkdf2Case {
  std::string password;
  std::string salt;
  unsigned iterations;
  const char* derived;
};

// RFC 6070's PBKDF2-HMAC-SHA1 answers (all but the one of 16,777,216 iterations).
TEST(PlatformCryptoTest, Pbkdf2Sha1GivesThePublishedAnswers) {
  const Pbkdf2Case cases[] = {
      {"password", "salt", 1, "0c60c80f961f0e71f3a9b524af6012062fe037a6"},
      {"password", "salt", 2, "ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957"},
      {"password", "salt", 4096, "4b007901b765489abead49d926f721d065a429c1"},
      {"passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt", 4096,
       "3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038"},
      {std::string("pass\0word", 9), std::string("sa\0lt", 5), 4096, "56fa6aa75548099dcc37d7f03425e0c3"},
  };
  for (const Pbkdf2Case& test : cases) {
    unsigned char derived[32];
    std::size_t length = std::string(test.derived).size() / 2;
    ASSERT_TRUE(platform_pbkdf2_sha1(bytes_of(test.password), test.password.size(), bytes_of(test.salt),
                                     test.salt.size(), test.iterations, derived, length));
    EXPECT_EQ(hex(derived, length), test.derived) << test.password << " " << test.iterations;
  }
}

// FIPS-197's example vectors: key 00 01 02 ..., block 00 11 22 ... ff.
TEST(PlatformCryptoTest, AesBlocksGiveThePublishedAnswers) {
  const struct {
    std::size_t key_length;
    const char* cipher;
  } cases[] = {{16, "69c4e0d86a7b0430d8cdb78070b4c55a"},
               {24, "dda97ca4864cdfe06eaf70a0ec0d7191"},
               {32, "8ea2b7ca516745bfeafc49904b496089"}};
  unsigned char key[32];
  unsigned char plain[2 * k_aes_block_size];
  for (int i = 0; i < 32; ++i) {
    key[i] = static_cast<unsigned char>(i);
    plain[i] = static_cast<unsigned char>((i % 16) * 0x11);
  }
  for (const auto& test : cases) {
    ASSERT_TRUE(platform_crypto_start(key, key, test.key_length));
    unsigned char cipher[2 * k_aes_block_size];
    ASSERT_TRUE(platform_aes_encrypt_blocks(plain, cipher, 2));
    // Each block on its own: two equal blocks give two equal answers.
    EXPECT_EQ(hex(cipher, 16), test.cipher);
    EXPECT_EQ(hex(cipher + 16, 16), test.cipher);
    platform_crypto_end();
  }
}

// HMAC-SHA1 with a 32-byte key, as AES-256 members use, against Python's
// hmac.new(bytes(range(32)), b"Hi There" * 20, "sha1").
TEST(PlatformCryptoTest, HmacSha1OverPieces) {
  unsigned char key[32];
  for (int i = 0; i < 32; ++i) key[i] = static_cast<unsigned char>(i);
  std::string data;
  for (int i = 0; i < 20; ++i) data += "Hi There";
  ASSERT_TRUE(platform_crypto_start(key, key, 32));
  ASSERT_TRUE(platform_hmac_update(bytes_of(data), 7));
  ASSERT_TRUE(platform_hmac_update(bytes_of(data) + 7, data.size() - 7));
  unsigned char code[k_sha1_digest_size];
  ASSERT_TRUE(platform_hmac_finish(code));
  EXPECT_EQ(hex(code, sizeof code), "cbc1feda71e41428f275bec24e1226e6ef53c3ea");
  platform_crypto_end();
}

}  // namespace
