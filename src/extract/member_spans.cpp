// member_spans.cpp - find members that share their bytes in the archive with another member.
#include "extract/member_spans.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "archive/archive_state.h"
#include "archive/zip_format.h"
#include "extract/output_path.h"

namespace {

struct MemberSpan {
  ZipEntry* entry;
  std::uint32_t directory_index;  // the tie-break: qsort is not stable
};

bool takes_part(const ZipEntry* entry) {
  bool folder = is_folder_name(entry->name, entry->name_length);
  return entry->compressed_size != 0 && !folder;
}

int compare_spans(const void* left, const void* right) {
  const MemberSpan* a = static_cast<const MemberSpan*>(left);
  const MemberSpan* b = static_cast<const MemberSpan*>(right);
  if (a->entry->starting_segment != b->entry->starting_segment) {
    return a->entry->starting_segment < b->entry->starting_segment ? -1 : 1;
  }
  if (a->entry->local_header_offset != b->entry->local_header_offset) {
    return a->entry->local_header_offset < b->entry->local_header_offset ? -1 : 1;
  }
  return a->directory_index < b->directory_index ? -1 : 1;
}

// The least end of a member's span that the directory allows: the local
// extra field, known only from the local header, may make it longer.
std::uint64_t least_span_end(const ZipEntry* entry) {
  return static_cast<std::uint64_t>(entry->local_header_offset) + k_local_header_size + entry->name_length +
         entry->compressed_size;
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
  MemberSpan* spans = static_cast<MemberSpan*>(malloc(count * sizeof(MemberSpan)));
  if (spans == nullptr) return false;
  std::size_t index = 0;
  for (ZipEntry* entry = archive_state.entries; entry != nullptr; entry = entry->next) {
    if (takes_part(entry)) {
      spans[index] = MemberSpan{entry, static_cast<std::uint32_t>(index)};
      ++index;
    }
  }
  qsort(spans, count, sizeof(MemberSpan), compare_spans);
  // The walk keeps the members that share no bytes, in offset order; the
  // last of them ends furthest. Of two members that overlap, the one later
  // in directory order (extracted after the other) is refused.
  ZipEntry* before_last = nullptr;
  ZipEntry* last_kept = nullptr;
  std::uint32_t last_kept_index = 0;
  for (std::size_t i = 0; i < count; ++i) {
    ZipEntry* entry = spans[i].entry;
    bool same_segment = last_kept != nullptr && last_kept->starting_segment == entry->starting_segment;
    if (same_segment && entry->local_header_offset < least_span_end(last_kept)) {
      if (spans[i].directory_index > last_kept_index) {
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
    last_kept_index = spans[i].directory_index;
  }
  free(spans);
  return true;
}
