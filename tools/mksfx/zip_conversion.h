// zip_conversion.h - turn an existing zip archive (or split set) into a self-extractor.
#pragma once

#include <string>
#include <vector>

#include "disk_writer.h"
#include "source_tree.h"
#include "zip_records.h"

// True when path is a regular file in whose end the stub would find an end
// record's signature (find_end_of_central).
bool is_zip_archive(const std::string& path);

// Copies every member of the archive at path (the last file of a split
// set, whose siblings NAME.z01, NAME.z02, ... lie beside it) unchanged to
// writer, and returns the central records with their new positions, in the
// archive's directory order; *comment receives the archive comment. Throws
// BuildError for a damaged archive, a method or name the stub
// cannot handle, or a missing part of a split set.
std::vector<CentralRecord> convert_archive(DiskWriter& writer, const std::string& path, NameRules rules, bool quiet,
                                           std::string* comment);

// The first bytes (at most size) of the member name of the archive at path,
// as extracted; "" when the archive has no such member or the member is
// enciphered. Throws BuildError as convert_archive does.
std::string read_member_head(const std::string& path, const std::string& name, NameRules rules, std::size_t size);
