// platform_mapping_win32.cpp - file mapping on Windows, which the stub does without.
#include "platform/platform.h"

// Members are decoded in memory instead: a file mapping would add code to
// the smallest stub for the largest members only.
bool platform_map_input(FILE*, std::uint64_t, std::uint64_t, MappedRegion*) { return false; }
bool platform_map_output(OutputFile, std::uint64_t, MappedRegion*) { return false; }
void platform_unmap(MappedRegion* region) { *region = MappedRegion{}; }
bool platform_run_on_mappings(bool (*work)(void*), void* context) { return work(context); }
