// member_spans_test.cpp - members that share their bytes with another are found.
#include "extract/member_spans.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "archive/archive_state.h"

namespace {

struct SpanMember {
  const char* name;
  std::uint32_t offset;
  std::uint32_t compressed_size;
  std::uint16_t segment = 0;
};

struct SpanCase {
  const char* what;
  std::vector<SpanMember> members;  // in directory order
  std::vector<bool> overlapping;
};

// Each member's least span: 30 + name length + compressed size.
const SpanCase k_span_cases[] = {
    {"members one after another", {{"a", 0, 10}, {"b", 41, 10}, {"c", 82, 10}}, {false, false, false}},
    {"directory order differs from file order", {{"c", 82, 10}, {"a", 0, 10}, {"b", 41, 10}}, {false, false, false}},
    {"every entry at one offset: all but the first", {{"a", 0, 10}, {"b", 0, 10}, {"c", 0, 10}}, {false, true, true}},
    {"a header inside the data of the member before", {{"a", 0, 100}, {"b", 50, 10}}, {false, true}},
    {"the later in directory order is refused", {{"b", 50, 10}, {"a", 0, 100}}, {false, true}},
    {"after a refused member the next one counts again", {{"b", 50, 10}, {"a", 0, 100}, {"c", 91, 5}},
     {false, true, false}},
    {"one byte apart is no overlap", {{"a", 0, 10}, {"b", 41, 10}}, {false, false}},
    {"one byte into the span is", {{"a", 0, 10}, {"b", 40, 10}}, {false, true}},
    {"the same offset on other segments", {{"a", 0, 10, 0}, {"b", 0, 10, 1}}, {false, false}},
    {"folders and empty members take no part", {{"d/", 0, 0}, {"e", 0, 0}, {"a", 0, 10}}, {false, false, false}},
};

// Links the members into archive_state's entry list for one case.
std::vector<ZipEntry> entries_of(const std::vector<SpanMember>& members) {
  std::vector<ZipEntry> entries(members.size());
  for (std::size_t i = 0; i < members.size(); ++i) {
    ZipEntry& entry = entries[i];
    memset(&entry, 0, sizeof entry);
    entry.name = const_cast<char*>(members[i].name);
    entry.name_length = static_cast<std::uint16_t>(strlen(members[i].name));
    entry.local_header_offset = members[i].offset;
    entry.compressed_size = members[i].compressed_size;
    entry.starting_segment = members[i].segment;
  }
  return entries;
}

void link_entries(std::vector<ZipEntry>& entries) {
  for (std::size_t i = 0; i + 1 < entries.size(); ++i) entries[i].next = &entries[i + 1];
  archive_state.entries = entries.empty() ? nullptr : &entries[0];
}

TEST(MemberSpansTest, MarksMembersInsideAnothersSpan) {
  for (const SpanCase& c : k_span_cases) {
    std::vector<ZipEntry> entries = entries_of(c.members);
    link_entries(entries);
    ASSERT_TRUE(mark_overlapping_members()) << c.what;
    for (std::size_t i = 0; i < entries.size(); ++i) {
      EXPECT_EQ(entries[i].overlaps_another, c.overlapping[i]) << c.what << ": " << c.members[i].name;
    }
  }
  archive_state.entries = nullptr;
}

TEST(MemberSpansTest, GivesEachMemberWhereTheNextHeaderBegins) {
  std::vector<ZipEntry> entries = entries_of({{"c", 200, 10}, {"a", 0, 10}, {"b", 100, 10}, {"z", 0, 10, 1}});
  link_entries(entries);
  ASSERT_TRUE(mark_overlapping_members());
  EXPECT_EQ(entries[1].following_header_offset, 100u);
  EXPECT_EQ(entries[2].following_header_offset, 200u);
  EXPECT_EQ(entries[0].following_header_offset, UINT64_MAX);  // the last on its segment
  EXPECT_EQ(entries[3].following_header_offset, UINT64_MAX);
  archive_state.entries = nullptr;
}

}  // namespace
