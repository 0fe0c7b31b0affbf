// output_check.h - read the written self-extractor back and compare it with what was meant.
#pragma once

#include <string>
#include <vector>

#include "zip_records.h"

// Reads the single-file output with the stub's own directory reader and
// checks every entry and local header against records. Throws BuildError
// on any difference (the reader prints its own message first).
void check_single_output(const std::string& path, const std::vector<CentralRecord>& records);

// Checks a spanned output disk by disk: no disk larger than split_size,
// the end record found by the stub's search on the last disk only, and
// every local header on its disk where the directory says.
void check_split_output(const std::vector<std::string>& disk_paths, std::uint64_t split_size,
                        const std::vector<CentralRecord>& records);
