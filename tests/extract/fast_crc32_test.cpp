// fast_crc32_test.cpp - the folded CRC-32 gives zlib's result for every length and alignment.
#include "extract/fast_crc32.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>
#include <zlib.h>

namespace {

std::vector<unsigned char> random_bytes(std::size_t size) {
  std::mt19937 generator(20261208);
  std::vector<unsigned char> bytes(size);
  for (auto& byte : bytes) byte = static_cast<unsigned char>(generator());
  return bytes;
}

std::uint32_t zlib_crc(std::uint32_t crc, const unsigned char* data, std::size_t length) {
  return static_cast<std::uint32_t>(crc32(crc, data, static_cast<uInt>(length)));
}

// Lengths around the 16- and 64-byte steps of the folding, at every
// alignment, from the three kinds of starting value the loop passes.
TEST(FastCrc32Test, MatchesZlibForEveryLengthAndAlignment) {
  std::vector<unsigned char> data = random_bytes(4096);
  for (std::uint32_t start : {0u, 0xFFFFFFFFu, 0x8D3F2A61u}) {
    for (std::size_t offset = 0; offset < 16; ++offset) {
      for (std::size_t length = 0; length <= 600; ++length) {
        ASSERT_EQ(update_crc32(start, data.data() + offset, length), zlib_crc(start, data.data() + offset, length))
            << "start " << start << ", offset " << offset << ", length " << length;
      }
    }
  }
}

// The extraction loop extends the CRC one 10240-byte block at a time.
TEST(FastCrc32Test, BlockByBlockEqualsOnePass) {
  std::vector<unsigned char> data = random_bytes(1 << 20);
  std::uint32_t crc = 0;
  for (std::size_t at = 0; at < data.size(); at += 10240) {
    crc = update_crc32(crc, data.data() + at, std::min<std::size_t>(10240, data.size() - at));
  }
  EXPECT_EQ(crc, zlib_crc(0, data.data(), data.size()));
}

}  // namespace
