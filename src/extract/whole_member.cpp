// whole_member.cpp - a member decoded in one piece with libdeflate, or written whole.
#include "extract/whole_member.h"

#include <cstdint>
#include <cstdlib>
#include <libdeflate.h>

#include "archive/archive_state.h"
#include "extract/fast_crc32.h"
#include "extract/traditional_cipher.h"
#include "platform/platform.h"

namespace {

// Made on first use and kept for the run, like the inflater.
libdeflate_decompressor* g_decompressor = nullptr;

// The memory of members that the two 10 KiB buffers cannot hold, grown to
// the largest such member and kept for the run.
unsigned char* g_scratch = nullptr;
std::size_t g_scratch_size = 0;

unsigned char* scratch(std::size_t size) {
  if (size <= g_scratch_size) return g_scratch;
  free(g_scratch);
  g_scratch = static_cast<unsigned char*>(malloc(size));
  g_scratch_size = g_scratch == nullptr ? 0 : size;
  return g_scratch;
}

// Where one member's data and output are, and what has been done that a
// redo from the start must undo.
struct Placement {
  unsigned char* data = nullptr;
  unsigned char* output = nullptr;
  MappedRegion mapped_data;
  MappedRegion mapped_output;
  bool data_read = false;
  bool output_touched = false;
};

bool fits_a_buffer(std::uint64_t size) { return size <= k_buffer_size; }

// Places the data and the output: in the archive state's two buffers when
// they hold them, else in memory up to k_whole_member_memory, else in the
// files mapped from the disk (the mappings cost a dozen system calls, a
// member in memory two or three). Enciphered data is never mapped: it is
// deciphered where it lies. Nor is stored data: written from a mapping it
// cost up to 8 times the streamed copy through stdio, whose buffers stay in
// the cache; a larger stored member than the memory bound is copied in
// pieces.
bool place(const WholeMember& member, Placement* placement) {
  // An output too large to be mapped is larger still than the memory bound.
  if (!member.stored && member.uncompressed_size > k_whole_member_mapped) return false;
  bool data_in_memory = !fits_a_buffer(member.data_size);
  bool output_in_memory = !member.stored && !fits_a_buffer(member.uncompressed_size);
  if (!data_in_memory) placement->data = archive_state.read_buffer;
  if (!member.stored && !output_in_memory) placement->output = archive_state.output_buffer;
  auto in_memory = [&] {
    return (data_in_memory ? member.data_size : 0) + (output_in_memory ? member.uncompressed_size : 0);
  };
  if (in_memory() > k_whole_member_memory && data_in_memory && !member.enciphered && !member.stored &&
      platform_map_input(member.archive, member.data_start, member.data_size, &placement->mapped_data)) {
    placement->data = placement->mapped_data.data;
    data_in_memory = false;
  }
  if (in_memory() > k_whole_member_memory && output_in_memory) {
    placement->output_touched = true;
    if (platform_map_output(member.output, member.uncompressed_size, &placement->mapped_output)) {
      placement->output = placement->mapped_output.data;
      output_in_memory = false;
    }
  }
  if (in_memory() == 0) return true;
  if (in_memory() > k_whole_member_memory) return false;
  unsigned char* memory = scratch(static_cast<std::size_t>(in_memory()));
  if (memory == nullptr) return false;
  if (data_in_memory) placement->data = memory;
  if (output_in_memory) placement->output = memory + (data_in_memory ? member.data_size : 0);
  return true;
}

// Reads the next size bytes of the data into buffer and deciphers them.
bool read_and_decipher(const WholeMember& member, unsigned char* buffer, std::size_t size) {
  if (fread(buffer, 1, size, member.archive) != size) return false;
  if (member.enciphered) decrypt_buffer(buffer, size);
  return true;
}

// Reads the data unless it is mapped.
bool read_data(const WholeMember& member, Placement* placement) {
  if (placement->mapped_data.data != nullptr) return true;
  placement->data_read = true;
  return read_and_decipher(member, placement->data, static_cast<std::size_t>(member.data_size));
}

bool decode(const WholeMember& member, Placement* placement) {
  std::size_t size = static_cast<std::size_t>(member.uncompressed_size);
  if (member.stored) {
    placement->output = placement->data;
    return update_crc32(0, placement->output, size) == member.crc32;
  }
  if (member.decoded != nullptr) {
    placement->output = member.decoded;
    return true;
  }
  if (g_decompressor == nullptr) g_decompressor = libdeflate_alloc_decompressor();
  if (g_decompressor == nullptr) return false;
  // No count of bytes produced is asked for: libdeflate then accepts only a
  // stream that yields exactly the declared size.
  return libdeflate_deflate_decompress(g_decompressor, placement->data, static_cast<std::size_t>(member.data_size),
                                       placement->output, size, nullptr) == LIBDEFLATE_SUCCESS &&
         update_crc32(0, placement->output, size) == member.crc32;
}

struct Decoding {
  const WholeMember* member;
  Placement* placement;
};

bool decode_mapped(void* context) {
  Decoding* decoding = static_cast<Decoding*>(context);
  return decode(*decoding->member, decoding->placement);
}

// Decodes the member, where a mapped file that shrinks meanwhile (a network
// share rewritten elsewhere) fails the decoding instead of the process: the
// member is then streamed, whose reads report the file cut short.
bool decode_guarded(const WholeMember& member, Placement* placement) {
  if (placement->mapped_data.data == nullptr && placement->mapped_output.data == nullptr) {
    return decode(member, placement);
  }
  Decoding decoding{&member, placement};
  return platform_run_on_mappings(decode_mapped, &decoding);
}

bool write_output(const WholeMember& member, const Placement& placement) {
  if (placement.mapped_output.data != nullptr) return true;
  return platform_write_output(member.output, placement.output, static_cast<std::size_t>(member.uncompressed_size));
}

// Puts the member back as it was before the call.
void undo(const WholeMember& member, const Placement& placement, const CipherKeys& keys) {
  if (placement.data_read) (void)platform_seek(member.archive, member.data_start);
  cipher_keys = keys;
  if (placement.output_touched) (void)platform_empty_output(member.output);
}

// A stored member beyond the memory bound, copied in pieces of 1 MiB: read
// straight into the piece (stdio hands a request larger than its buffer to
// the system), checked, and written with one call, at offsets that are
// whole pages. The streaming loop goes through both stdio buffers 10 KiB at
// a time, and musl's stdio then writes 70 KiB at a time, which ends every
// write inside a page that the next one must complete.
bool copy_stored_in_pieces(const WholeMember& member, Placement* placement) {
  constexpr std::size_t k_piece = 1 << 20;
  unsigned char* piece = scratch(k_piece);
  if (piece == nullptr) return false;
  placement->data_read = true;
  placement->output_touched = true;
  std::uint32_t crc = 0;
  for (std::uint64_t left = member.data_size; left > 0;) {
    std::size_t size = left < k_piece ? static_cast<std::size_t>(left) : k_piece;
    if (!read_and_decipher(member, piece, size)) return false;
    crc = update_crc32(crc, piece, size);
    if (!platform_write_output(member.output, piece, size)) return false;
    left -= size;
  }
  return crc == member.crc32;
}

}  // namespace

std::uint64_t most_deflate_makes_of(std::uint64_t data_size) {
  // Multiplied, not divided: a 64-bit division would pull a helper of the C
  // compiler's runtime into the 32-bit Windows stub.
  constexpr std::uint64_t k_largest_expansion = 1032;
  return data_size >= UINT64_MAX / k_largest_expansion - 1 ? UINT64_MAX : (data_size + 1) * k_largest_expansion;
}

bool decode_whole_member(const WholeMember& member, std::uint64_t* archive_position) {
  // Sizes that the address space of a 32-bit stub could not hold are streamed.
  constexpr std::uint64_t largest = SIZE_MAX / 4;
  if (member.data_size == 0 || member.uncompressed_size == 0 || member.data_size > largest ||
      member.uncompressed_size > largest) {
    return false;
  }
  // A member that declares more than its data can make is lying: no output
  // is sized for it (in a mapped file it would be written as zeros first,
  // 255 MiB for a one-byte member), and streamed it stops where its data
  // really ends.
  if (!member.stored && member.uncompressed_size > most_deflate_makes_of(member.data_size)) return false;
  // Stored data is written from where it lies: the sizes have to agree.
  if (member.stored && member.data_size != member.uncompressed_size) return false;
  CipherKeys keys = cipher_keys;
  Placement placement;
  bool done = false;
  if (member.stored && member.data_size > k_whole_member_memory) {
    done = copy_stored_in_pieces(member, &placement);
  } else if (place(member, &placement) && read_data(member, &placement) && decode_guarded(member, &placement)) {
    placement.output_touched = true;
    done = write_output(member, placement);
  }
  platform_unmap(&placement.mapped_data);
  platform_unmap(&placement.mapped_output);
  if (!done) undo(member, placement, keys);
  // Mapped data was not read: the archive stands at its start.
  *archive_position = member.data_start + (placement.data_read ? member.data_size : 0);
  return done;
}

void end_whole_members() {
  free(g_scratch);
  g_scratch = nullptr;
  g_scratch_size = 0;
  if (g_decompressor != nullptr) libdeflate_free_decompressor(g_decompressor);
  g_decompressor = nullptr;
}
