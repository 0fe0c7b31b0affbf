// member_checks.h - what refuses a member: its method, its local header, a span in another member, its name, the disk's room.
#pragma once

#include <cstdint>
#include <cstdio>

#include "extract/member_data.h"

void report_outside(const char* name);
void report_device(const char* name);
void report_overlap(const ZipEntry* entry);

// A compression method the stub lacks, or a local header that lies in
// another member: refused (after the message), or done.
MemberOutcome check_method_and_span(const ZipEntry* entry, std::uint16_t method);

// Positions the archive on the member's data, through its local header,
// which must match the directory; position is where the archive stands when
// known (-1: not). On a spanned set a local header that is not where the
// directory says means another disk is in the drive: asked for again.
MemberOutcome position_on_data(ZipEntry* entry, FILE* archive, std::int64_t position);

// Checks what the member's name and size allow before anything is written:
// refused (after the message, with the progress line ended) or done.
MemberOutcome check_member_name(const ZipEntry* entry, const char* name);

// True when the members fit in the free space of the extraction folder (or
// the system cannot tell); false after the message when they do not.
bool fits_on_disk();
