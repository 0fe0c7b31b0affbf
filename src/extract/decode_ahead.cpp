// decode_ahead.cpp - small deflated members decoded on a second thread.
#include "extract/decode_ahead.h"

#include <libdeflate.h>

#include <cstdlib>

#include "archive/record_decoders.h"
#include "extract/fast_crc32.h"
#include "extract/member_data.h"
#include "extract/whole_member.h"
#include "platform/platform.h"

namespace {

// A member decoded ahead holds at most this much data and output; the
// thread stays at most k_slots members ahead of the walk.
constexpr std::uint64_t k_largest_ahead = 16u << 10;
constexpr std::size_t k_slots = 256;
// Below this many such members the thread is not worth starting.
constexpr std::size_t k_fewest_ahead = 64;
// The thread reads the archive a chunk at a time: thousands of small members.
constexpr std::size_t k_chunk = 1 << 20;

// What the thread needs of a member, copied before it starts: it reads no
// entry, which the walk may change meanwhile.
struct Job {
  const ZipEntry* entry;
  std::uint64_t header_offset;
  std::uint32_t data_size;
  std::uint32_t size;
  std::uint32_t crc32;
  std::uint64_t data_start;  // found by the thread in the local header
  bool decoded;              // into exactly size bytes of that CRC-32
};

struct Ahead {
  FILE* archive;
  Job* jobs;
  std::size_t count;
  unsigned char* slots;  // k_slots outputs of k_largest_ahead bytes
  unsigned char* chunk;
  std::uint64_t chunk_start;
  std::size_t chunk_length;
  libdeflate_decompressor* decompressor;
  // Under the lock: jobs the thread has finished, jobs the walk has passed,
  // and who sleeps: each wakes the other only then, so that a member costs
  // no system call of the lock's.
  std::size_t done;
  std::size_t passed;
  std::size_t thread_waits_for;  // passed jobs: the thread then has half the slots free
  bool thread_waits;
  bool walk_waits;
  bool stop;
  bool running;
};
Ahead g_ahead{};

unsigned char* slot_of(std::size_t job) { return g_ahead.slots + (job % k_slots) * k_largest_ahead; }

bool gains_from_decoding_ahead(const ZipEntry* entry) {
  return entry->compression_method == k_method_deflated && (entry->flags & k_flag_encrypted) == 0 &&
         !is_directory_entry(entry) && entry->compressed_size > 0 && entry->compressed_size <= k_largest_ahead &&
         entry->uncompressed_size > 0 && entry->uncompressed_size <= k_largest_ahead &&
         entry->uncompressed_size <= most_deflate_makes_of(entry->compressed_size);
}

// The size bytes of the archive at offset, from the chunk read last or a new
// one; nullptr past the archive's end.
const unsigned char* archive_bytes(std::uint64_t offset, std::size_t size) {
  if (offset >= g_ahead.chunk_start && offset - g_ahead.chunk_start <= g_ahead.chunk_length &&
      size <= g_ahead.chunk_length - (offset - g_ahead.chunk_start)) {
    return g_ahead.chunk + (offset - g_ahead.chunk_start);
  }
  g_ahead.chunk_start = offset;
  g_ahead.chunk_length = platform_read_at(g_ahead.archive, offset, g_ahead.chunk, k_chunk);
  return size <= g_ahead.chunk_length ? g_ahead.chunk : nullptr;
}

void decode_job(Job* job, unsigned char* output) {
  LocalHeaderFields fields;
  const unsigned char* header = archive_bytes(job->header_offset, k_local_header_size);
  if (header == nullptr || !decode_local_header(header, &fields)) return;
  job->data_start = job->header_offset + k_local_header_size + fields.name_length + fields.extra_length;
  const unsigned char* data = archive_bytes(job->data_start, job->data_size);
  job->decoded = data != nullptr &&
                 libdeflate_deflate_decompress(g_ahead.decompressor, data, job->data_size, output, job->size,
                                               nullptr) == LIBDEFLATE_SUCCESS &&
                 update_crc32(0, output, job->size) == job->crc32;
}

// The thread: each job in turn, while the walk leaves it a free slot.
void decode_jobs(void*) {
  for (std::size_t job = 0; job < g_ahead.count; ++job) {
    platform_worker_lock();
    if (job - g_ahead.passed >= k_slots) {
      g_ahead.thread_waits_for = job - k_slots / 2;
      g_ahead.thread_waits = true;
      while (!g_ahead.stop && g_ahead.passed < g_ahead.thread_waits_for) platform_worker_wait();
      g_ahead.thread_waits = false;
    }
    bool stopping = g_ahead.stop;
    platform_worker_unlock();
    if (stopping) return;
    decode_job(&g_ahead.jobs[job], slot_of(job));
    platform_worker_lock();
    g_ahead.done = job + 1;
    if (g_ahead.walk_waits) platform_worker_wake();
    platform_worker_unlock();
  }
}

// The members worth decoding ahead, in the walk's order; false when too few.
bool list_jobs() {
  std::size_t count = 0;
  for (const ZipEntry* entry = archive_state.entries; entry != nullptr; entry = entry->next) {
    count += gains_from_decoding_ahead(entry) ? 1 : 0;
  }
  if (count < k_fewest_ahead) return false;
  g_ahead.jobs = static_cast<Job*>(malloc(count * sizeof(Job)));
  if (g_ahead.jobs == nullptr) return false;
  for (const ZipEntry* entry = archive_state.entries; entry != nullptr; entry = entry->next) {
    if (!gains_from_decoding_ahead(entry)) continue;
    g_ahead.jobs[g_ahead.count++] = Job{entry,
                                        entry->local_header_offset,
                                        static_cast<std::uint32_t>(entry->compressed_size),
                                        static_cast<std::uint32_t>(entry->uncompressed_size),
                                        entry->crc32,
                                        0,
                                        false};
  }
  return true;
}

// The job of entry, when it is the next the walk has not passed.
std::size_t job_of(const ZipEntry* entry) {
  bool next = g_ahead.running && g_ahead.passed < g_ahead.count && g_ahead.jobs[g_ahead.passed].entry == entry;
  return next ? g_ahead.passed : SIZE_MAX;
}

}  // namespace

void start_decoding_ahead(FILE* archive) {
  if (!k_second_thread) return;
  end_decoding_ahead();
  if (archive_state.last_segment != 0 || !list_jobs()) return end_decoding_ahead();
  g_ahead.archive = archive;
  g_ahead.slots = static_cast<unsigned char*>(malloc(k_slots * k_largest_ahead));
  g_ahead.chunk = static_cast<unsigned char*>(malloc(k_chunk));
  g_ahead.decompressor = libdeflate_alloc_decompressor();
  // The CRC-32's table is made at its first use, never by two threads.
  unsigned char byte = 0;
  (void)update_crc32(0, &byte, 1);
  g_ahead.running = g_ahead.slots != nullptr && g_ahead.chunk != nullptr && g_ahead.decompressor != nullptr &&
                    platform_start_worker(decode_jobs, nullptr);
  if (!g_ahead.running) end_decoding_ahead();
}

unsigned char* decoded_ahead(const ZipEntry* entry, std::uint64_t data_start) {
  if (!k_second_thread) return nullptr;
  std::size_t job = job_of(entry);
  if (job == SIZE_MAX) return nullptr;
  platform_worker_lock();
  while (g_ahead.done <= job) {
    g_ahead.walk_waits = true;
    platform_worker_wait();
  }
  g_ahead.walk_waits = false;
  platform_worker_unlock();
  const Job& found = g_ahead.jobs[job];
  bool same = found.decoded && found.data_start == data_start && found.data_size == entry->compressed_size &&
              found.size == entry->uncompressed_size && found.crc32 == entry->crc32;
  return same ? slot_of(job) : nullptr;
}

void pass_decoded_ahead(const ZipEntry* entry) {
  if (!k_second_thread) return;
  if (job_of(entry) == SIZE_MAX) return;
  platform_worker_lock();
  g_ahead.passed++;
  if (g_ahead.thread_waits && g_ahead.passed >= g_ahead.thread_waits_for) platform_worker_wake();
  platform_worker_unlock();
}

void end_decoding_ahead() {
  if (!k_second_thread) return;
  if (g_ahead.running) {
    platform_worker_lock();
    g_ahead.stop = true;
    platform_worker_wake();
    platform_worker_unlock();
    platform_join_worker();
  }
  free(g_ahead.jobs);
  free(g_ahead.slots);
  free(g_ahead.chunk);
  libdeflate_free_decompressor(g_ahead.decompressor);
  g_ahead = Ahead{};
}
