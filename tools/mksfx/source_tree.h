// source_tree.h - gather the files and folders to pack, with their member names.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

// One file or folder to pack.
struct SourceItem {
  std::string path;  // where it is read from
  std::string name;  // member name, '/'-separated, a folder's ending in '/'
  bool is_directory = false;
  std::uint64_t size = 0;
  unsigned mode = 0;  // permission bits
  std::time_t mtime = 0;
};

enum class NameRules { linux_stub, windows_stub };

// Walks every input (a folder's contents recursively, under the folder's
// own name) and returns the items sorted by name. Throws BuildError for an
// input that cannot be read, a name the stub would refuse, two inputs with
// the same name, or more entries or larger files than the stub can handle.
// Symbolic links to files are followed; links to folders, dangling links
// and special files are skipped with a warning, and an existing output
// found inside a folder (a file, or the folder of a spanned set) is left out.
std::vector<SourceItem> collect_sources(const std::vector<std::string>& inputs, NameRules rules,
                                        const std::string& output);

// Returns why the stub would refuse name (a ".." component, an absolute
// path, a drive), or "" when it is safe to write.
std::string refusal_of_name(const std::string& name, NameRules rules);
