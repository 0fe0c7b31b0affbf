// platform_shared.cpp - platform services whose code is the same everywhere.
#include "platform/platform_shared.h"

#include <cstdlib>

#include "platform/platform.h"

char* platform_stream_buffer(int which, std::size_t size) {
  static char* buffers[3];
  if (which < 0 || which >= 3) return nullptr;
  if (buffers[which] == nullptr) buffers[which] = static_cast<char*>(malloc(size));
  return buffers[which];
}

bool step_forward_by_reading(FILE* stream, std::int64_t position, std::int64_t target) {
  constexpr std::int64_t k_longest_skip = 4096;
  if (position < 0 || target < position || target - position > k_longest_skip || ferror(stream) || feof(stream)) {
    return false;
  }
  char skipped[k_longest_skip];
  std::size_t count = static_cast<std::size_t>(target - position);
  if (fread(skipped, 1, count, stream) == count) return true;
  clearerr(stream);
  return false;
}
