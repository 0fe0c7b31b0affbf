// member_spans.h - find members that share their bytes in the archive with another member.
#pragma once

// Sorts the members by segment and local header offset once and marks, in
// each ZipEntry, every member whose local header lies inside the header or
// data of a member before it (among members at one offset, all but the first
// in directory order), and where the next member's header begins. A member
// that would only repeat another's data, as in a zip bomb of many entries
// for one member, is thus refused before anything is read for it. Members
// that are skipped anyway (folders, size 0) take no part. Returns false when
// no memory for the sort can be had; nothing is marked then.
[[nodiscard]] bool mark_overlapping_members();
