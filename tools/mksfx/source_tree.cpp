// source_tree.cpp - gather the files and folders to pack, with their member names.
#include "source_tree.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "extract/output_path.h"
#include "mksfx_platform.h"
#include "zip_records.h"

namespace {

// The name an input is stored under: its last path component, or "" for a
// folder that has none ("." or "/"), whose contents then go to the top level.
std::string base_name_of(std::string path) {
  while (path.size() > 1 && std::strchr(path_separators(), path.back()) != nullptr) path.pop_back();
  std::size_t slash = path.find_last_of(path_separators());
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

namespace fs = std::filesystem;

// What is packed of one file or folder, read through links.
struct Facts {
  bool is_directory = false;
  bool is_link = false;
  std::string link_target;
  std::uint64_t size = 0;
  unsigned mode = 0;
  std::uint32_t dos_attributes = 0;
  std::time_t mtime = 0;
};

std::time_t seconds_of(fs::file_time_type time) {
  auto system = std::chrono::file_clock::to_sys(time);
  return static_cast<std::time_t>(std::chrono::floor<std::chrono::seconds>(system).time_since_epoch().count());
}

// Reads the facts of path, whose status (through links) is known. Throws
// BuildError when they cannot be read.
Facts read_facts(const std::string& path, const fs::file_status& status) {
  std::error_code error;
  Facts facts;
  facts.is_directory = fs::is_directory(status);
  facts.mode = stored_permissions(status.permissions());
  facts.dos_attributes = read_dos_attributes(path);
  if (!facts.is_directory) facts.size = fs::file_size(native_path(path), error);
  fs::file_time_type written = error ? fs::file_time_type() : fs::last_write_time(native_path(path), error);
  if (error) throw BuildError("cannot read " + path + ": " + error.message());
  facts.mtime = seconds_of(written);
  return facts;
}

class SourceWalk {
 public:
  SourceWalk(NameRules rules, const std::string& output, LinkHandling links) : rules_(rules), links_(links) {
    std::error_code error;
    fs::file_status status = fs::status(native_path(output), error);
    if (output.empty() || error || !identify_file(output, &output_identity_)) return;
    output_known_ = true;
    output_is_folder_ = fs::is_directory(status);
    if (!output_is_folder_) output_size_ = fs::file_size(native_path(output), error);
  }

  void add_input(const std::string& path) {
    std::error_code error;
    fs::file_status status = fs::status(native_path(path), error);
    if (error) throw BuildError("cannot read " + path + ": " + error.message());
    std::string name = base_name_of(path);
    root_ = fs::is_directory(status) && !name.empty() ? name + "/" : "";
    if (fs::is_directory(status)) {
      if (!name.empty()) add_item(path, name + "/", read_facts(path, status));
      add_folder(path, name.empty() ? "" : name + "/");
    } else if (fs::is_regular_file(status)) {
      add_item(path, name, read_facts(path, status));
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
  void add_item(const std::string& path, const std::string& name, const Facts& facts) {
    std::string refusal = refusal_of_name(name, rules_);
    if (!refusal.empty()) throw BuildError("refusing to store " + path + " as " + name + ": " + refusal);
    if (items_.size() >= k_max_entries) {
      throw BuildError("more than " + std::to_string(k_max_entries) + " entries, more than the stub counts");
    }
    if (facts.size > k_max_member_size) throw BuildError(path + " is larger than the stub can seek in");
    SourceItem item;
    item.path = path;
    item.name = name;
    item.is_directory = facts.is_directory;
    item.is_link = facts.is_link;
    item.link_target = facts.link_target;
    item.size = facts.size;
    item.mode = facts.mode;
    item.dos_attributes = facts.dos_attributes;
    item.mtime = facts.mtime;
    items_.push_back(std::move(item));
  }

  void add_folder(const std::string& path, const std::string& prefix) {
    std::error_code error;
    std::vector<std::string> children;
    // The iterator leaves out "." and "..".
    for (fs::directory_iterator child(native_path(path), error), end; !error && child != end; child.increment(error)) {
      children.push_back(name_of_path(child->path().filename()));
    }
    if (error) throw BuildError("cannot read folder " + path + ": " + error.message());
    FileIdentity identity;
    bool known = identify_file(path, &identity);
    if (known) open_folders_.push_back(identity);
    for (const std::string& child_name : children) add_child(path + "/" + child_name, prefix + child_name);
    if (known) open_folders_.pop_back();
  }

  void add_child(const std::string& path, const std::string& name) {
    std::error_code error;
    fs::file_status status = fs::symlink_status(native_path(path), error);
    if (error) throw BuildError("cannot read " + path + ": " + error.message());
    if (fs::is_symlink(status) && links_ == LinkHandling::keep) {
      add_item(path, name, read_link_facts(path, name));
      return;
    }
    if (fs::is_symlink(status)) status = fs::status(native_path(path), error);
    const char* skipped = reason_to_skip(path, status, static_cast<bool>(error));
    if (skipped != nullptr) {
      std::fprintf(stderr, "mksfx: warning: skipping %s: %s\n", shown(path).c_str(), skipped);
      return;
    }
    Facts facts = read_facts(path, status);
    // An earlier output inside a packed folder (mksfx -o setup ., or with
    // --split the earlier set's folder) is left out.
    if (is_output(path, facts)) return;
    add_item(path, facts.is_directory ? name + "/" : name, facts);
    if (facts.is_directory) add_folder(path, name + "/");
  }

  // Why a child (read through a link) is not packed, or nullptr. A followed
  // link, or on Windows a junction, may lead back to a folder being walked,
  // and the walk would never end.
  const char* reason_to_skip(const std::string& path, const fs::file_status& status, bool unreadable) const {
    if (unreadable || !fs::exists(status)) return "a link to nothing";
    if (fs::is_directory(status)) return is_open_folder(path) ? "it leads back to a folder that holds it" : nullptr;
    return fs::is_regular_file(status) ? nullptr : "not a file or folder";
  }

  bool is_open_folder(const std::string& path) const {
    FileIdentity identity;
    return identify_file(path, &identity) &&
           std::find(open_folders_.begin(), open_folders_.end(), identity) != open_folders_.end();
  }

  // A link kept as a link: its text is its data. The stub makes no link
  // that leads outside the extraction folder; one that leaves the packed
  // folder is most likely a mistake too.
  Facts read_link_facts(const std::string& path, const std::string& name) const {
    std::error_code error;
    Facts facts;
    facts.is_link = true;
    facts.link_target = name_of_path(fs::read_symlink(native_path(path), error));
    if (error || !read_link_time(path, &facts.mtime)) {
      throw BuildError("cannot read link " + path + ": " + (error ? error.message() : std::strerror(errno)));
    }
    facts.size = facts.link_target.size();
    facts.mode = 0777;
    if (!link_stays_inside(name.substr(root_.size()).c_str(), facts.link_target.c_str())) {
      bool refused = !link_stays_inside(name.c_str(), facts.link_target.c_str());
      std::fprintf(stderr, "mksfx: warning: %s is a link to %s, outside the packed folder%s\n", shown(path).c_str(),
                   shown(facts.link_target).c_str(), refused ? "; the self-extractor will not make it" : "");
    }
    return facts;
  }

  // Only a file of the output's kind and size is worth the system call
  // that tells whether it is the output.
  bool is_output(const std::string& path, const Facts& facts) const {
    if (!output_known_ || facts.is_directory != output_is_folder_ || facts.size != output_size_) return false;
    FileIdentity identity;
    return identify_file(path, &identity) && identity == output_identity_;
  }

  NameRules rules_;
  LinkHandling links_;
  std::string root_;                        // the name of the input being walked, "app/" (or "")
  std::vector<FileIdentity> open_folders_;  // the folders being walked
  bool output_known_ = false;
  bool output_is_folder_ = false;
  std::uint64_t output_size_ = 0;
  FileIdentity output_identity_;
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
  if (windows && names_a_windows_device(name.c_str())) return "a device name on Windows";
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
                                        const std::string& output, LinkHandling links) {
  SourceWalk walk(rules, output, links);
  for (const std::string& input : inputs) walk.add_input(input);
  return walk.take_sorted();
}
