// platform_shared.h - helpers that the platform files share.
#pragma once

#include <cstdint>
#include <cstdio>

// Moves stream from position to target by reading when target lies a short
// way ahead. A seek costs system calls on every platform, and msvcrt's fseek
// also throws its buffer away, even when the target lies inside it: with two
// seeks per member, every small member would cost two buffer refills.
// Returns false when the caller must seek instead (also at the end of the
// file: a seek clears the end-of-file indicator, a read of nothing would not).
bool step_forward_by_reading(FILE* stream, std::int64_t position, std::int64_t target);
