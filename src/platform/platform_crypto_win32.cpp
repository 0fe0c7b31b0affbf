// platform_crypto_win32.cpp - AES, HMAC-SHA1 and PBKDF2 from Windows CNG (bcrypt.dll).
#include "platform/platform_crypto.h"

#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

namespace {

// bcrypt.dll is loaded from the system folder when the first AES member
// needs it, never imported: a stub started from a download folder would
// otherwise load a bcrypt.dll planted beside it, and a stub on a Windows
// without CNG still extracts every other archive.
struct Cng {
  bool tried;
  HMODULE library;
  decltype(&BCryptOpenAlgorithmProvider) open_algorithm;
  decltype(&BCryptSetProperty) set_property;
  decltype(&BCryptGenerateSymmetricKey) generate_key;
  decltype(&BCryptDestroyKey) destroy_key;
  decltype(&BCryptEncrypt) encrypt;
  decltype(&BCryptCreateHash) create_hash;
  decltype(&BCryptHashData) hash_data;
  decltype(&BCryptFinishHash) finish_hash;
  decltype(&BCryptDestroyHash) destroy_hash;
  decltype(&BCryptDeriveKeyPBKDF2) derive_pbkdf2;
  BCRYPT_ALG_HANDLE aes;   // AES in ECB mode
  BCRYPT_ALG_HANDLE hmac;  // SHA-1 as HMAC
};

Cng g_cng;
BCRYPT_KEY_HANDLE g_key = nullptr;
BCRYPT_HASH_HANDLE g_hash = nullptr;

template <typename Function>
bool find_function(const char* name, Function* function) {
  FARPROC found = GetProcAddress(g_cng.library, name);
  // Through void (*)(): the one function type any other converts to unwarned.
  *function = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found));
  return found != nullptr;
}

bool find_functions() {
  return find_function("BCryptOpenAlgorithmProvider", &g_cng.open_algorithm) &&
         find_function("BCryptSetProperty", &g_cng.set_property) &&
         find_function("BCryptGenerateSymmetricKey", &g_cng.generate_key) &&
         find_function("BCryptDestroyKey", &g_cng.destroy_key) && find_function("BCryptEncrypt", &g_cng.encrypt) &&
         find_function("BCryptCreateHash", &g_cng.create_hash) && find_function("BCryptHashData", &g_cng.hash_data) &&
         find_function("BCryptFinishHash", &g_cng.finish_hash) &&
         find_function("BCryptDestroyHash", &g_cng.destroy_hash) &&
         find_function("BCryptDeriveKeyPBKDF2", &g_cng.derive_pbkdf2);
}

bool open_providers() {
  if (!BCRYPT_SUCCESS(g_cng.open_algorithm(&g_cng.aes, BCRYPT_AES_ALGORITHM, nullptr, 0))) return false;
  auto* mode = reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_ECB));
  if (!BCRYPT_SUCCESS(g_cng.set_property(g_cng.aes, BCRYPT_CHAINING_MODE, mode, sizeof BCRYPT_CHAIN_MODE_ECB, 0))) {
    return false;
  }
  return BCRYPT_SUCCESS(
      g_cng.open_algorithm(&g_cng.hmac, BCRYPT_SHA1_ALGORITHM, nullptr, BCRYPT_ALG_HANDLE_HMAC_FLAG));
}

// Loads bcrypt.dll and opens the two providers once; false when either fails.
bool cng_ready() {
  if (!g_cng.tried) {
    g_cng.tried = true;
    char path[MAX_PATH + 16];
    UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;
    lstrcpyA(path + length, "\\bcrypt.dll");
    g_cng.library = LoadLibraryA(path);
    if (g_cng.library == nullptr || !find_functions() || !open_providers()) {
      g_cng.library = nullptr;
      return false;
    }
  }
  return g_cng.library != nullptr;
}

}  // namespace

bool platform_pbkdf2_sha1(const unsigned char* password, std::size_t password_length, const unsigned char* salt,
                          std::size_t salt_length, unsigned iterations, unsigned char* out, std::size_t length) {
  if (!cng_ready()) return false;
  // CNG takes no null password, even an empty one.
  unsigned char nothing = 0;
  PUCHAR key = password_length == 0 ? &nothing : const_cast<PUCHAR>(password);
  return BCRYPT_SUCCESS(g_cng.derive_pbkdf2(g_cng.hmac, key, static_cast<ULONG>(password_length),
                                            const_cast<PUCHAR>(salt), static_cast<ULONG>(salt_length), iterations,
                                            out, static_cast<ULONG>(length), 0));
}

bool platform_crypto_start(const unsigned char* aes_key, const unsigned char* mac_key, std::size_t key_length) {
  platform_crypto_end();
  if (!cng_ready()) return false;
  if (!BCRYPT_SUCCESS(g_cng.generate_key(g_cng.aes, &g_key, nullptr, 0, const_cast<PUCHAR>(aes_key),
                                         static_cast<ULONG>(key_length), 0))) {
    g_key = nullptr;
    return false;
  }
  if (!BCRYPT_SUCCESS(g_cng.create_hash(g_cng.hmac, &g_hash, nullptr, 0, const_cast<PUCHAR>(mac_key),
                                        static_cast<ULONG>(key_length), 0))) {
    g_hash = nullptr;
    return false;
  }
  return true;
}

void platform_crypto_end() {
  if (g_key != nullptr) g_cng.destroy_key(g_key);
  if (g_hash != nullptr) g_cng.destroy_hash(g_hash);
  g_key = nullptr;
  g_hash = nullptr;
}

bool platform_aes_encrypt_blocks(const unsigned char* input, unsigned char* output, std::size_t count) {
  if (g_key == nullptr) return false;
  ULONG length = static_cast<ULONG>(count * k_aes_block_size);
  ULONG written = 0;
  return BCRYPT_SUCCESS(g_cng.encrypt(g_key, const_cast<PUCHAR>(input), length, nullptr, nullptr, 0, output, length,
                                      &written, 0)) &&
         written == length;
}

bool platform_hmac_update(const unsigned char* data, std::size_t length) {
  if (g_hash == nullptr) return false;
  return length == 0 || BCRYPT_SUCCESS(g_cng.hash_data(g_hash, const_cast<PUCHAR>(data), static_cast<ULONG>(length), 0));
}

bool platform_hmac_finish(unsigned char code[k_sha1_digest_size]) {
  if (g_hash == nullptr) return false;
  return BCRYPT_SUCCESS(g_cng.finish_hash(g_hash, code, k_sha1_digest_size, 0));
}
