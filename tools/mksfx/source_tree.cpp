// source_tree.cpp - gather the files and folders to pack, with their member names.
#include "source_tree.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "extract/output_path.h"
#include "zip_records.h"

namespace {

std::string reason_of(int error) { return std::strerror(error); }

// The name an input is stored under: its last path component, or "" for a
// folder that has none ("." or "/"), whose contents then go to the top level.
std::string base_name_of(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  std::size_t slash = path.rfind('/');
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  if (base == "." || base == ".." || base == "/" || base.empty()) return "";
  return base;
}

bool is_dot_component(const std::string& component, NameRules rules) {
  if (component == "..") return true;
  if (rules != NameRules::windows_stub) return false;
  // Windows drops trailing dots and blanks: "..." and ".. " name the parent too.
  std::size_t dots = std::count(component.begin(), component.end(), '.');
  return dots >= 2 && component.find_first_not_of(". ") == std::string::npos;
}

class SourceWalk {
 public:
  SourceWalk(NameRules rules, const std::string& output) : rules_(rules) {
    struct stat info;
    if (!output.empty() && stat(output.c_str(), &info) == 0) {
      output_device_ = info.st_dev;
      output_inode_ = info.st_ino;
    }
  }

  void add_input(const std::string& path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) throw BuildError("cannot read " + path + ": " + reason_of(errno));
    std::string name = base_name_of(path);
    if (S_ISDIR(info.st_mode)) {
      if (!name.empty()) add_item(path, name + "/", info);
      add_folder(path, name.empty() ? "" : name + "/");
    } else if (S_ISREG(info.st_mode)) {
      add_item(path, name, info);
    } else {
      throw BuildError(path + " is neither a file nor a folder");
    }
  }

  std::vector<SourceItem> take_sorted() {
    std::sort(items_.begin(), items_.end(), [](const SourceItem& a, const SourceItem& b) { return a.name < b.name; });
    for (std::size_t i = 1; i < items_.size(); ++i) {
      if (items_[i].name == items_[i - 1].name) {
        throw BuildError(items_[i - 1].path + " and " + items_[i].path + " would both be stored as " + items_[i].name);
      }
    }
    return std::move(items_);
  }

 private:
  void add_item(const std::string& path, const std::string& name, const struct stat& info) {
    std::string refusal = refusal_of_name(name, rules_);
    if (!refusal.empty()) throw BuildError("refusing to store " + path + " as " + name + ": " + refusal);
    if (items_.size() >= k_max_entries) {
      throw BuildError("more than 65535 entries; the stub reads no Zip64 archives");
    }
    SourceItem item;
    item.path = path;
    item.name = name;
    item.is_directory = S_ISDIR(info.st_mode);
    item.size = item.is_directory ? 0 : static_cast<std::uint64_t>(info.st_size);
    item.mode = info.st_mode & 07777;
    item.mtime = info.st_mtime;
    if (item.size > k_max_member_size) {
      throw BuildError(path + " is 4 GiB or larger; the stub reads no Zip64 members");
    }
    items_.push_back(std::move(item));
  }

  void add_folder(const std::string& path, const std::string& prefix) {
    DIR* folder = opendir(path.c_str());
    if (folder == nullptr) throw BuildError("cannot read folder " + path + ": " + reason_of(errno));
    std::vector<std::string> children;
    errno = 0;
    while (struct dirent* child = readdir(folder)) {
      std::string child_name = child->d_name;
      if (child_name != "." && child_name != "..") children.push_back(child_name);
    }
    int read_error = errno;
    closedir(folder);
    if (read_error != 0) throw BuildError("cannot read folder " + path + ": " + reason_of(read_error));
    for (const std::string& child_name : children) add_child(path + "/" + child_name, prefix + child_name);
  }

  void add_child(const std::string& path, const std::string& name) {
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) throw BuildError("cannot read " + path + ": " + reason_of(errno));
    if (S_ISLNK(info.st_mode)) {
      if (stat(path.c_str(), &info) != 0) {
        std::fprintf(stderr, "mksfx: warning: skipping %s: a link to nothing\n", shown(path).c_str());
        return;
      }
      if (S_ISDIR(info.st_mode)) {
        std::fprintf(stderr, "mksfx: warning: skipping %s: a link to a folder\n", shown(path).c_str());
        return;
      }
    }
    // An earlier output inside a packed folder (mksfx -o setup ., or with
    // --split the earlier set's folder) is left out.
    if (is_output(info)) return;
    if (S_ISDIR(info.st_mode)) {
      add_item(path, name + "/", info);
      add_folder(path, name + "/");
    } else if (S_ISREG(info.st_mode)) {
      add_item(path, name, info);
    } else {
      std::fprintf(stderr, "mksfx: warning: skipping %s: not a file or folder\n", shown(path).c_str());
    }
  }

  bool is_output(const struct stat& info) const {
    return output_inode_ != 0 && info.st_dev == output_device_ && info.st_ino == output_inode_;
  }

  NameRules rules_;
  dev_t output_device_ = 0;
  ino_t output_inode_ = 0;
  std::vector<SourceItem> items_;
};

}  // namespace

std::string refusal_of_name(const std::string& name, NameRules rules) {
  bool windows = rules == NameRules::windows_stub;
  if (name.empty()) return "an empty name";
  if (name.size() > 65535) return "a name longer than 65535 bytes";
  if (name.find('\0') != std::string::npos) return "a name holding a zero byte";
  if (name[0] == '/' || (windows && name[0] == '\\')) return "an absolute path";
  if (windows && name.find(':') != std::string::npos) return "a drive or a colon, which Windows refuses";
  const char* separators = windows ? "/\\" : "/";
  std::size_t start = 0;
  bool first = true;
  while (start <= name.size()) {
    std::size_t end = name.find_first_of(separators, start);
    if (end == std::string::npos) end = name.size();
    std::string component = name.substr(start, end - start);
    if (is_dot_component(component, rules)) return "a \"..\" component";
    if (first && !component.empty() && component.back() == ':') return "a drive";
    if (!component.empty()) first = false;
    start = end + 1;
  }
  // The stub's own check, so nothing it would refuse is ever written.
  if (is_outside_current_directory(name.c_str())) return "a name outside the extraction folder";
  return "";
}

std::vector<SourceItem> collect_sources(const std::vector<std::string>& inputs, NameRules rules,
                                        const std::string& output) {
  SourceWalk walk(rules, output);
  for (const std::string& input : inputs) walk.add_input(input);
  return walk.take_sorted();
}
