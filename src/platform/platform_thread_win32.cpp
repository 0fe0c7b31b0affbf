// platform_thread_win32.cpp - no second thread on Windows: members are decoded in turn.
//
// A read at an offset through the archive's handle would move the position
// its stream stands at, and a handle of its own would need the archive's
// path again; the 32-bit stub also has no room to spare.
#include "platform/platform.h"

bool platform_start_worker(void (*)(void*), void*) { return false; }

void platform_join_worker() {}

void platform_worker_lock() {}

void platform_worker_unlock() {}

void platform_worker_wait() {}

void platform_worker_wake() {}

std::size_t platform_read_at(FILE*, std::uint64_t, void*, std::size_t) { return 0; }
