// member_spans.cpp - find members that share their bytes in the archive with another member.
#include "extract/member_spans.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "archive/archive_state.h"
#include "archive/zip_format.h"
#include "extract/output_path.h"

namespace {

bool takes_part(const ZipEntry* entry) {
  bool folder = is_folder_name(entry->name, entry->name_length);
  return entry->compressed_size != 0 && !folder;
}

// The entries' span_index (directory order) is the tie-break: the sort is
// not stable. An array of bare pointers keeps the sort's memory at 8 bytes a
// member.
int compare_spans(const void* left, const void* right) {
  const ZipEntry* a = *static_cast<ZipEntry* const*>(left);
  const ZipEntry* b = *static_cast<ZipEntry* const*>(right);
  if (a->starting_segment != b->starting_segment) return a->starting_segment < b->starting_segment ? -1 : 1;
  if (a->local_header_offset != b->local_header_offset) {
    return a->local_header_offset < b->local_header_offset ? -1 : 1;
  }
  return a->span_index < b->span_index ? -1 : 1;
}

void sift_down(ZipEntry** spans, std::size_t root, std::size_t count) {
  for (;;) {
    std::size_t child = 2 * root + 1;
    if (child >= count) return;
    if (child + 1 < count && compare_spans(&spans[child], &spans[child + 1]) < 0) ++child;
    if (compare_spans(&spans[root], &spans[child]) > 0) return;
    ZipEntry* parent = spans[root];
    spans[root] = spans[child];
    spans[child] = parent;
    root = child;
  }
}

// A heap sort, in place: glibc's qsort is a merge sort that takes a copy of
// the array, another 0.8 MiB at the peak for 100,000 members. The order is
// total (span_index breaks ties), so any sort gives the same result.
void sort_spans(ZipEntry** spans, std::size_t count) {
  for (std::size_t start = count / 2; start-- > 0;) sift_down(spans, start, count);
  for (std::size_t end = count; end-- > 1;) {
    ZipEntry* largest = spans[0];
    spans[0] = spans[end];
    spans[end] = largest;
    sift_down(spans, 0, end);
  }
}

// The least end of a member's span that the directory allows: the local
// extra field, known only from the local header, may make it longer.
std::uint64_t least_span_end(const ZipEntry* entry) {
  return entry->local_header_offset + k_local_header_size + entry->name_length + entry->compressed_size;
}

// The walk keeps the members that share no bytes, in offset order; the last
// of them ends furthest. Of two members that overlap, the one later in
// directory order (extracted after the other) is refused.
void mark_sorted_spans(ZipEntry** spans, std::size_t count) {
  ZipEntry* before_last = nullptr;
  ZipEntry* last_kept = nullptr;
  std::uint32_t last_kept_index = 0;
  for (std::size_t i = 0; i < count; ++i) {
    ZipEntry* entry = spans[i];
    bool same_segment = last_kept != nullptr && last_kept->starting_segment == entry->starting_segment;
    if (same_segment && entry->local_header_offset < least_span_end(last_kept)) {
      if (entry->span_index > last_kept_index) {
        entry->overlaps_another = true;
        continue;
      }
      last_kept->overlaps_another = true;
      last_kept->following_header_offset = UINT64_MAX;
      last_kept = before_last;
      same_segment = last_kept != nullptr && last_kept->starting_segment == entry->starting_segment;
    }
    if (same_segment) last_kept->following_header_offset = entry->local_header_offset;
    before_last = same_segment ? last_kept : nullptr;
    last_kept = entry;
    last_kept_index = entry->span_index;
  }
}

}  // namespace

bool mark_overlapping_members() {
  std::size_t count = 0;
  for (ZipEntry* entry = archive_state.entries; entry != nullptr; entry = entry->next) {
    entry->overlaps_another = false;
    entry->following_header_offset = UINT64_MAX;
    if (takes_part(entry)) ++count;
  }
  if (count < 2) return true;
  ZipEntry** spans = static_cast<ZipEntry**>(malloc(count * sizeof(ZipEntry*)));
  if (spans == nullptr) return false;
  std::size_t index = 0;
  for (ZipEntry* entry = archive_state.entries; entry != nullptr; entry = entry->next) {
    if (takes_part(entry)) {
      entry->span_index = static_cast<std::uint32_t>(index);
      spans[index++] = entry;
    }
  }
  sort_spans(spans, count);
  mark_sorted_spans(spans, count);
  free(spans);
  return true;
}
