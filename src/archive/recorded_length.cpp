// recorded_length.cpp - the length of the whole self-extractor, as its builder recorded it in the stub.
#include "archive/recorded_length.h"

// Volatile: the bytes are the ones mksfx wrote into the file, never the
// zeros the compiler sees.
extern const volatile unsigned char k_recorded_length_field[k_recorded_length_marker_size + 8];
const volatile unsigned char k_recorded_length_field[k_recorded_length_marker_size + 8] = {
    's', 'f', 'x', 's', 't', 'u', 'b', ' ', 'l', 'e', 'n', 'g', 't', 'h', ':', '\0'};

std::uint64_t recorded_self_extractor_length() {
  std::uint64_t length = 0;
  for (unsigned i = 8; i > 0; --i) length = length << 8 | k_recorded_length_field[k_recorded_length_marker_size + i - 1];
  return length;
}
