// fast_crc32.h - the zip CRC-32 with the CPU's own instructions where it has them.
//
// zlib's crc32 handles about 6.5 GB/s here; folding 64 bytes at a time with
// PCLMULQDQ handles several times that, which matters for stored members,
// where the CRC is most of the work done outside the kernel; arm64 has CRC32
// instructions of its own. The result is zlib's crc32, bit for bit. zlib's
// crc32 and its 9 KiB of tables stay out of the stubs: the bytes around the
// fold, CPUs without the instructions and the traditional cipher take a byte
// table made at first use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/platform.h"

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#include <cpuid.h>
#include <immintrin.h>
#define SFX_FOLDED_CRC32 1
#elif defined(__aarch64__) && defined(__GNUC__)
#include <arm_acle.h>
#define SFX_ARM_CRC32 1
#endif

namespace fast_crc32_detail {

#ifdef SFX_FOLDED_CRC32
#define SFX_CLMUL_TARGET __attribute__((target("pclmul,sse4.1")))

SFX_CLMUL_TARGET inline __m128i load16(const unsigned char* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// Multiplies the two halves of into by the two constants of k and adds next.
SFX_CLMUL_TARGET inline __m128i fold_16(__m128i into, __m128i k, __m128i next) {
  __m128i low = _mm_clmulepi64_si128(into, k, 0x00);
  return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(into, k, 0x11), next), low);
}

// The folded 128 bits down to the 32 of the CRC: to 64 bits, then Barrett
// reduction. k holds x^(128+32), x^(128-32) mod P. Constants for the
// reflected polynomial 0xEDB88320: x^64 mod P; P and the Barrett constant mu.
SFX_CLMUL_TARGET inline std::uint32_t reduce(__m128i x1, __m128i k) {
  alignas(16) static const std::uint64_t k5k0[2] = {0x0163cd6124, 0x0000000000};
  alignas(16) static const std::uint64_t poly[2] = {0x01db710641, 0x01f7011641};
  __m128i mask = _mm_setr_epi32(~0, 0, ~0, 0);
  __m128i x2 = _mm_clmulepi64_si128(x1, k, 0x10);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2);
  k = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(k5k0));
  x2 = _mm_srli_si128(x1, 4);
  x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, mask), k, 0x00), x2);
  k = _mm_load_si128(reinterpret_cast<const __m128i*>(poly));
  x2 = _mm_clmulepi64_si128(_mm_and_si128(x1, mask), k, 0x10);
  x2 = _mm_clmulepi64_si128(_mm_and_si128(x2, mask), k, 0x00);
  x1 = _mm_xor_si128(x1, x2);
  return static_cast<std::uint32_t>(_mm_extract_epi32(x1, 1));
}

// Folds a multiple of 16 bytes, at least 64, into crc (taken and returned
// without the final inversion): four lanes of 16 bytes at a time by
// x^(4*128+32), x^(4*128-32) mod P, then into one lane and on 16 bytes at a
// time by x^(128+32), x^(128-32) mod P.
SFX_CLMUL_TARGET inline std::uint32_t fold(const unsigned char* data, std::size_t length, std::uint32_t crc) {
  alignas(16) static const std::uint64_t k1k2[2] = {0x0154442bd4, 0x01c6e41596};
  alignas(16) static const std::uint64_t k3k4[2] = {0x01751997d0, 0x00ccaa009e};
  __m128i x1 = _mm_xor_si128(load16(data), _mm_cvtsi32_si128(static_cast<int>(crc)));
  __m128i x2 = load16(data + 16);
  __m128i x3 = load16(data + 32);
  __m128i x4 = load16(data + 48);
  __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(k1k2));
  for (data += 64, length -= 64; length >= 64; data += 64, length -= 64) {
    x1 = fold_16(x1, k, load16(data));
    x2 = fold_16(x2, k, load16(data + 16));
    x3 = fold_16(x3, k, load16(data + 32));
    x4 = fold_16(x4, k, load16(data + 48));
  }
  k = _mm_load_si128(reinterpret_cast<const __m128i*>(k3k4));
  x1 = fold_16(fold_16(fold_16(x1, k, x2), k, x3), k, x4);
  for (; length >= 16; data += 16, length -= 16) x1 = fold_16(x1, k, load16(data));
  return reduce(x1, k);
}

// CPUID leaf 1, ECX: bit 1 PCLMULQDQ, bit 19 SSE4.1. (__get_cpuid rather
// than __builtin_cpu_supports, which links 7 KiB of CPU model tables.)
inline bool cpu_can_fold() {
  static const bool can = [] {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return false;
    return (ecx & (1u << 1)) != 0 && (ecx & (1u << 19)) != 0;
  }();
  return can;
}
#endif

#ifdef SFX_ARM_CRC32
// Eight bytes an instruction, then the rest byte by byte; on the CRC without
// its inversions.
__attribute__((target("arch=armv8-a+crc"))) inline std::uint32_t crc_by_instructions(std::uint32_t crc,
                                                                                      const unsigned char* data,
                                                                                      std::size_t length) {
  for (; length >= 8; data += 8, length -= 8) {
    std::uint64_t word;
    memcpy(&word, data, sizeof word);
    crc = __crc32d(crc, word);
  }
  for (; length > 0; ++data, --length) crc = __crc32b(crc, *data);
  return crc;
}
#endif

}  // namespace fast_crc32_detail

// The byte table of the CRC-32 (the reflected polynomial 0xEDB88320), made
// at first use.
inline const std::uint32_t* crc32_table() {
  static std::uint32_t table[256];
  static bool made = false;
  if (!made) {
    for (std::uint32_t n = 0; n < 256; ++n) {
      std::uint32_t c = n;
      for (int bit = 0; bit < 8; ++bit) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      table[n] = c;
    }
    made = true;
  }
  return table;
}

// crc32(crc, data, length) as zlib computes it.
inline std::uint32_t update_crc32(std::uint32_t crc, const unsigned char* data, std::size_t length) {
#ifdef SFX_FOLDED_CRC32
  if (length >= 64 && fast_crc32_detail::cpu_can_fold()) {
    std::size_t folded = length & ~static_cast<std::size_t>(15);
    crc = ~fast_crc32_detail::fold(data, folded, ~crc);
    data += folded;
    length -= folded;
  }
#elif defined(SFX_ARM_CRC32)
  if (platform_cpu_has_crc32_instructions()) return ~fast_crc32_detail::crc_by_instructions(~crc, data, length);
#endif
  const std::uint32_t* table = crc32_table();
  crc = ~crc;
  for (std::size_t i = 0; i < length; ++i) crc = (crc >> 8) ^ table[(crc ^ data[i]) & 0xFF];
  return ~crc;
}
