// aes_member.cpp - AES zip members: keys from the password, counter mode, the authentication code.
#include "extract/aes_member.h"

#include <cstring>

#include "archive/segment_switch.h"
#include "extract/password_prompt.h"
#include "platform/platform_crypto.h"

namespace {

// Counter blocks are enciphered this many at a time: one library call per
// kilobyte rather than per block.
constexpr std::size_t k_keystream_blocks = 64;
constexpr std::size_t k_keystream_size = k_keystream_blocks * k_aes_block_size;
constexpr std::size_t k_largest_derived = 2 * 32 + k_aes_verifier_size;

// The running member's counter mode: the next counter (a 128-bit
// little-endian number, 1 for the first block), the keystream made from
// the counters before it, and how much of that is used.
struct AesState {
  unsigned char counter[k_aes_block_size];
  unsigned char counters[k_keystream_size];
  unsigned char keystream[k_keystream_size];
  std::size_t used;
  bool failed;  // a library call failed: the member cannot be authentic
};

AesState aes_state;

void increment_counter() {
  for (unsigned char& byte : aes_state.counter) {
    if (++byte != 0) break;
  }
}

void refill_keystream() {
  for (std::size_t block = 0; block < k_keystream_blocks; ++block) {
    memcpy(&aes_state.counters[block * k_aes_block_size], aes_state.counter, k_aes_block_size);
    increment_counter();
  }
  if (!platform_aes_encrypt_blocks(aes_state.counters, aes_state.keystream, k_keystream_blocks)) {
    aes_state.failed = true;
  }
  aes_state.used = 0;
}

void apply_keystream(unsigned char* buffer, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (aes_state.used == k_keystream_size) refill_keystream();
    buffer[i] ^= aes_state.keystream[aes_state.used++];
  }
}

// Reads count bytes of the member, going on at the start of the next
// segment where a segment file ends. False at the end of the archive, or
// when a switch fails (its code then in *switch_error).
bool read_member_bytes(FILE* archive, unsigned char* buffer, std::size_t count, ArchiveError* switch_error) {
  std::size_t have = 0;
  for (;;) {
    have += fread(buffer + have, 1, count - have, archive);
    if (have == count) return true;
    if (!feof(archive) || archive_state.current_segment >= archive_state.last_segment) return false;
    ArchiveError code = switch_segment(archive_state.current_segment + 1, archive);
    if (code != ArchiveError::none) {
      *switch_error = code;
      return false;
    }
  }
}

}  // namespace

std::uint32_t aes_salt_size(int strength) { return 4 + 4 * static_cast<std::uint32_t>(strength); }

std::uint32_t aes_key_size(int strength) { return 8 + 8 * static_cast<std::uint32_t>(strength); }

std::uint32_t aes_overhead(int strength) { return aes_salt_size(strength) + k_aes_verifier_size + k_aes_code_size; }

bool start_aes(const char* password, const unsigned char* salt, int strength,
               unsigned char verifier[k_aes_verifier_size]) {
  end_aes();
  std::uint32_t key_size = aes_key_size(strength);
  // The derived bytes: the AES key, the key of the code, the verifier.
  unsigned char derived[k_largest_derived];
  std::size_t derived_size = 2 * key_size + k_aes_verifier_size;
  bool started = platform_pbkdf2_sha1(reinterpret_cast<const unsigned char*>(password), strlen(password), salt,
                                      aes_salt_size(strength), k_aes_iterations, derived, derived_size) &&
                 platform_crypto_start(derived, derived + key_size, key_size);
  if (started) memcpy(verifier, derived + 2 * key_size, k_aes_verifier_size);
  wipe_secret(derived, sizeof derived);
  aes_state.counter[0] = 1;
  aes_state.used = k_keystream_size;
  return started;
}

AesPassword check_aes_password(const AesExtra& extra, FILE* archive, const char* password,
                               ArchiveError* switch_error) {
  unsigned char salt_and_verifier[k_aes_largest_salt + k_aes_verifier_size];
  std::uint32_t salt_size = aes_salt_size(extra.strength);
  if (!read_member_bytes(archive, salt_and_verifier, salt_size + k_aes_verifier_size, switch_error)) {
    return *switch_error != ArchiveError::none ? AesPassword::unreadable : AesPassword::wrong;
  }
  unsigned char verifier[k_aes_verifier_size];
  if (!start_aes(password, salt_and_verifier, extra.strength, verifier)) return AesPassword::no_crypto;
  if (memcmp(verifier, salt_and_verifier + salt_size, k_aes_verifier_size) != 0) {
    end_aes();
    return AesPassword::wrong;
  }
  return AesPassword::right;
}

void aes_authenticate_only(const unsigned char* buffer, std::size_t count) {
  if (!platform_hmac_update(buffer, count)) aes_state.failed = true;
}

void aes_decrypt_buffer(unsigned char* buffer, std::size_t count) {
  aes_authenticate_only(buffer, count);
  apply_keystream(buffer, count);
}

void aes_encrypt_buffer(unsigned char* buffer, std::size_t count) {
  apply_keystream(buffer, count);
  aes_authenticate_only(buffer, count);
}

bool finish_aes_code(unsigned char code[k_aes_code_size]) {
  unsigned char full[k_sha1_digest_size];
  if (!platform_hmac_finish(full)) aes_state.failed = true;
  memcpy(code, full, k_aes_code_size);
  return !aes_state.failed;
}

AesCode check_aes_code(FILE* archive, ArchiveError* switch_error) {
  unsigned char stored[k_aes_code_size];
  unsigned char computed[k_aes_code_size];
  bool read = read_member_bytes(archive, stored, sizeof stored, switch_error);
  bool finished = finish_aes_code(computed);
  end_aes();
  if (!read) return AesCode::unreadable;
  return finished && memcmp(stored, computed, sizeof stored) == 0 ? AesCode::authentic : AesCode::altered;
}

void end_aes() {
  platform_crypto_end();
  wipe_secret(&aes_state, sizeof aes_state);
}
