// crc32_speed.cpp - the stub's CRC-32 against libdeflate's and zlib's, on one buffer.
//
//   build/bench/crc32_speed [MiB]
//
// Prints the throughput of each, best of 9 passes, and checks that the three agree.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <libdeflate.h>
#include <zlib.h>

#include "extract/fast_crc32.h"

namespace {

template <typename Crc>
double best_gb_per_second(const unsigned char* data, std::size_t size, Crc crc, std::uint32_t* result) {
  double best = 0;
  for (int pass = 0; pass < 9; ++pass) {
    auto start = std::chrono::steady_clock::now();
    *result = crc(data, size);
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    double rate = static_cast<double>(size) / took.count() / 1e9;
    if (rate > best) best = rate;
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t size = (argc > 1 ? static_cast<std::size_t>(atoi(argv[1])) : 64) << 20;
  unsigned char* data = static_cast<unsigned char*>(malloc(size));
  if (data == nullptr) return 1;
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<unsigned char>(i * 2654435761u >> 13);
  std::uint32_t ours = 0, theirs = 0, zlibs = 0;
  double ours_rate = best_gb_per_second(data, size, [](const unsigned char* d, std::size_t n) {
    return update_crc32(0, d, n);
  }, &ours);
  double libdeflate_rate = best_gb_per_second(data, size, [](const unsigned char* d, std::size_t n) {
    return libdeflate_crc32(0, d, n);
  }, &theirs);
  double zlib_rate = best_gb_per_second(data, size, [](const unsigned char* d, std::size_t n) {
    return static_cast<std::uint32_t>(crc32(0, d, static_cast<uInt>(n)));
  }, &zlibs);
  printf("stub (folded)  %6.2f GB/s\nlibdeflate     %6.2f GB/s\nzlib           %6.2f GB/s\n", ours_rate,
         libdeflate_rate, zlib_rate);
  free(data);
  return ours == theirs && ours == zlibs ? 0 : 2;
}
