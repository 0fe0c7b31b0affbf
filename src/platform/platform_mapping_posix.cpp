// platform_mapping_posix.cpp - files mapped into memory, and the SIGBUS of a file that shrank.
#include "platform/platform.h"

#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <cstdlib>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Maps count bytes from offset of descriptor; the mapping starts at the page
// that holds offset.
bool map_region(int descriptor, std::uint64_t offset, std::uint64_t count, int protection, int sharing,
                MappedRegion* region) {
  std::uint64_t page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
  std::uint64_t start = offset - offset % page;
  std::uint64_t length = count + (offset - start);
  if (count == 0 || length > SIZE_MAX / 2) return false;
  void* base = mmap(nullptr, static_cast<std::size_t>(length), protection, sharing, descriptor,
                    static_cast<off_t>(start));
  if (base == MAP_FAILED) return false;
  region->base = base;
  region->length = static_cast<std::size_t>(length);
  region->data = static_cast<unsigned char*>(base) + (offset - start);
  return true;
}

bool file_size_is_limited() {
  struct rlimit limit;
  return getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur != RLIM_INFINITY;
}

}  // namespace

bool platform_map_input(FILE* stream, std::uint64_t offset, std::uint64_t count, MappedRegion* region) {
  int descriptor = fileno(stream);
  struct stat found;
  if (descriptor < 0 || fstat(descriptor, &found) != 0 || !S_ISREG(found.st_mode) ||
      offset + count > static_cast<std::uint64_t>(found.st_size) || offset + count < offset) {
    return false;
  }
  if (!map_region(descriptor, offset, count, PROT_READ, MAP_PRIVATE, region)) return false;
  (void)madvise(region->base, region->length, MADV_SEQUENTIAL);
  return true;
}

// Writes count zero bytes at the file's start. A write reserves the disk
// space as posix_fallocate would (a full disk fails it here, never a store
// through the mapping), and the pages it leaves in the page cache are the
// mapping's: a page faulted in on a hole would first be cleared by the
// kernel, page by page, which costs more than these copies.
bool write_zeros(int descriptor, std::uint64_t count) {
  constexpr std::size_t k_zeros = 256 * 1024;
  void* zeros = calloc(1, k_zeros);
  if (zeros == nullptr) return false;
  bool written = true;
  for (std::uint64_t done = 0; done < count && written;) {
    std::size_t chunk = count - done < k_zeros ? static_cast<std::size_t>(count - done) : k_zeros;
    ssize_t put = pwrite(descriptor, zeros, chunk, static_cast<off_t>(done));
    if (put < 0 && errno == EINTR) continue;
    written = put > 0;
    if (written) done += static_cast<std::uint64_t>(put);
  }
  free(zeros);
  return written;
}

bool platform_map_output(OutputFile output, std::uint64_t count, MappedRegion* region) {
  if (file_size_is_limited()) return false;
  int descriptor = static_cast<int>(output.handle);
  if (count > static_cast<std::uint64_t>(INT64_MAX) || !write_zeros(descriptor, count) ||
      !map_region(descriptor, 0, count, PROT_READ | PROT_WRITE, MAP_SHARED, region)) {
    (void)ftruncate(descriptor, 0);
    return false;
  }
  return true;
}

void platform_unmap(MappedRegion* region) {
  if (region->base != nullptr) munmap(region->base, region->length);
  *region = MappedRegion{};
}

namespace {

sigjmp_buf g_mapping_fault;

void leave_faulted_mapping(int) { siglongjmp(g_mapping_fault, 1); }

}  // namespace

bool platform_run_on_mappings(bool (*work)(void*), void* context) {
  struct sigaction handler = {};
  handler.sa_handler = leave_faulted_mapping;
  sigemptyset(&handler.sa_mask);
  struct sigaction previous;
  sigaction(SIGBUS, &handler, &previous);
  // The signal mask is saved and put back: the handler leaves with SIGBUS blocked.
  bool done = sigsetjmp(g_mapping_fault, 1) == 0 && work(context);
  sigaction(SIGBUS, &previous, nullptr);
  return done;
}
