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
  bool is_link = false;     // a symbolic link, stored as one: its data is the target
  std::string link_target;  // the link's text, as the system holds it
  std::uint64_t size = 0;
  unsigned mode = 0;  // permission bits
  std::uint32_t dos_attributes = 0;  // what Windows reports: read-only, hidden, system, folder, archive
  std::time_t mtime = 0;
};

enum class NameRules { linux_stub, windows_stub };

// What a symbolic link inside a packed folder becomes: a link member
// (--dereference not given), or a copy of what it leads to.
enum class LinkHandling { keep, follow };

// Walks every input (a folder's contents recursively, under the folder's
// own name) and returns the items sorted by name. Throws BuildError for an
// input that cannot be read, a name the stub would refuse, two inputs with
// the same name, or more entries or larger files than the stub can handle.
// An input named on the command line is read through a link. Inside a
// folder, symbolic links are kept as links, with a warning for one that
// leads outside the packed folder; with LinkHandling::follow they are
// followed, and dangling links and links back to a folder being packed are
// skipped with a warning. Special files are skipped with a warning, and an
// existing output found inside a folder (a file, or the folder of a spanned
// set) is left out.
std::vector<SourceItem> collect_sources(const std::vector<std::string>& inputs, NameRules rules,
                                        const std::string& output, LinkHandling links);

// Returns why the stub would refuse name (a ".." component, an absolute
// path, a drive), or "" when it is safe to write.
std::string refusal_of_name(const std::string& name, NameRules rules);
