// aes_member.h - AES zip members: keys from the password, counter mode, the authentication code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "archive/aes_extra.h"
#include "front/messages.h"

// An AES member's data is its salt, a 2-byte password verifier, the
// enciphered data and a 10-byte authentication code.
constexpr std::uint32_t k_aes_verifier_size = 2;
constexpr std::uint32_t k_aes_code_size = 10;
constexpr std::uint32_t k_aes_largest_salt = 16;
// Keys come from PBKDF2-HMAC-SHA1 with this many iterations.
constexpr unsigned k_aes_iterations = 1000;

// The salt length (8, 12, 16) and key length (16, 24, 32) of a strength 1-3.
std::uint32_t aes_salt_size(int strength);
std::uint32_t aes_key_size(int strength);
// What an AES member's data holds besides the enciphered data.
std::uint32_t aes_overhead(int strength);

// Derives the keys of strength from password and salt, starts the cipher
// and the authentication code on them, and writes the password verifier.
// Returns false when the system's crypto library fails.
[[nodiscard]] bool start_aes(const char* password, const unsigned char* salt, int strength,
                             unsigned char verifier[k_aes_verifier_size]);

enum class AesPassword {
  right,        // the cipher stands ready for the first data byte
  wrong,        // the verifier differs, or the archive ends inside salt or verifier
  unreadable,   // a segment switch failed: its code is in *switch_error
  no_crypto,    // the system's crypto library is missing or failed
};

// Reads the member's salt and verifier from archive (they may run on at the
// start of the next segment) and checks password against the verifier.
[[nodiscard]] AesPassword check_aes_password(const AesExtra& extra, FILE* archive, const char* password,
                                             ArchiveError* switch_error);

// Deciphers count bytes in place, the authentication code taking in the
// enciphered bytes first; pieces passed in order give what one pass would.
void aes_decrypt_buffer(unsigned char* buffer, std::size_t count);
// Enciphers count bytes in place and feeds the result to the code.
void aes_encrypt_buffer(unsigned char* buffer, std::size_t count);
// Feeds count enciphered bytes to the code without deciphering them: data
// that the member holds beyond the end of its deflate stream.
void aes_authenticate_only(const unsigned char* buffer, std::size_t count);

// The first 10 bytes of the code over every enciphered byte passed so far.
// Returns false when the crypto library failed at any point of the member.
[[nodiscard]] bool finish_aes_code(unsigned char code[k_aes_code_size]);

enum class AesCode {
  authentic,
  altered,     // the code differs: the data, salt or code were changed (or the password is wrong)
  unreadable,  // the archive ends inside the code, or a segment switch failed (*switch_error)
};

// Reads the 10-byte code that follows the data from archive and compares it
// with the one computed; ends the member's cipher.
[[nodiscard]] AesCode check_aes_code(FILE* archive, ArchiveError* switch_error);

// Forgets the member's keys.
void end_aes();
