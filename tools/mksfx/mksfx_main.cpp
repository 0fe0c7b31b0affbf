// mksfx_main.cpp - build a self-extracting program from a folder or a zip archive.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "archive/recorded_length.h"
#include "build_options.h"
#include "disk_writer.h"
#include "front/installer_config.h"
#include "front/messages.h"
#include "installer_block.h"
#include "member_packer.h"
#include "mksfx_platform.h"
#include "output_check.h"
#include "source_tree.h"
#include "stub_catalog.h"
#include "target_fit.h"
#include "zip_conversion.h"
#include "zip_records.h"

#ifndef MKSFX_VERSION
#define MKSFX_VERSION "0"
#endif

namespace {

constexpr int k_exit_failure = 1;
constexpr int k_exit_usage = 2;
// A shell reports a program ended by signal N as 128 + N (130 for Ctrl-C).
constexpr int k_exit_signal_base = 128;
// The stub reads at most 254 characters of a password line, its line end
// included: a longer password would leave its line end for the next prompt,
// and every second member would be refused.
constexpr std::size_t k_max_password_length = 253;

// The half-written output, removed when the build fails or is interrupted.
std::string g_partial_file;
std::string g_partial_folder;

// The first interrupt stops the build at its next read or write, which then
// cleans up; a second one ends the process at once.
void stop_build(int signal_number) {
  g_build_interrupted = signal_number;
  std::signal(signal_number, SIG_DFL);
}

void remove_partial_output() {
  std::error_code ignored;
  if (!g_partial_file.empty()) std::filesystem::remove(native_path(g_partial_file), ignored);
  g_partial_file.clear();
  if (!g_partial_folder.empty()) {
    std::filesystem::remove_all(native_path(g_partial_folder), ignored);
    g_partial_folder.clear();
  }
}

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string folder_of(std::string path) {
  while (path.size() > 1 && std::strchr(path_separators(), path.back()) != nullptr) path.pop_back();
  std::size_t slash = path.find_last_of(path_separators());
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string file_name_of(std::string path) {
  while (path.size() > 1 && std::strchr(path_separators(), path.back()) != nullptr) path.pop_back();
  std::size_t slash = path.find_last_of(path_separators());
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string read_password_file(const std::string& path) {
  FILE* file = open_file(path, "rb");
  if (file == nullptr) throw BuildError("cannot read password file " + path + ": " + std::strerror(errno));
  std::string line;
  int c;
  while ((c = std::fgetc(file)) != EOF && c != '\n') line.push_back(static_cast<char>(c));
  std::fclose(file);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

std::optional<std::string> choose_password(const BuildOptions& options, Encryption encryption) {
  std::optional<std::string> password = options.password;
  if (!options.password_file.empty()) password = read_password_file(options.password_file);
  if (!password) return password;
  if (password->empty()) throw UsageError("the password is empty");
  if (password->size() > k_max_password_length)
    throw UsageError("the password is " + std::to_string(password->size()) + " bytes long; the stub reads at most " +
                     std::to_string(k_max_password_length));
  if (password->find_first_of("\r\n") != std::string::npos) throw UsageError("the password holds a line break");
  if (encryption == Encryption::zipcrypto) {
    std::fprintf(stderr, "mksfx: warning: the traditional zip cipher is weak; do not rely on it to keep data secret\n");
  }
  return password;
}

// What the build writes, decided before the output is opened.
struct BuildPlan {
  std::string stub;
  NameRules rules = NameRules::linux_stub;
  TargetFit fit;
  bool converting = false;
  PackSettings settings;
  std::vector<std::string> run_words;  // --run's program and arguments
  std::string block;                   // the installer block, or ""
  std::vector<SourceItem> items;       // the files and folders to pack
};

// The stub, and what it tells of the target. Without --target or --stub,
// the target is the system mksfx runs on.
std::string choose_stub(const BuildOptions& options, BuildPlan* plan) {
  std::string stub;
  if (!options.stub_file.empty()) {
    stub = read_stub_file(options.stub_file);
    plan->fit.windows = stub.compare(0, 2, "MZ") == 0;
  } else {
    StubTarget target = StubTarget::linux_x86_64;
    (void)parse_stub_target(options.target.empty() ? native_target_name() : options.target, &target);
    plan->fit.windows = is_windows_target(target);
    stub = embedded_stub(target);
  }
  plan->rules = plan->fit.windows ? NameRules::windows_stub : NameRules::linux_stub;
  plan->fit.chosen = !options.target.empty() || !options.stub_file.empty();
  plan->fit.stub_kind = pe_kind_of(stub);
  return stub;
}

// An earlier spanned output holds nothing but diskN folders; only such a
// folder is replaced.
bool is_earlier_split_output(const std::string& folder) {
  std::error_code error;
  for (const auto& child : std::filesystem::directory_iterator(native_path(folder), error)) {
    std::string name = name_of_path(child.path().filename());
    if (!child.is_directory() || name.rfind("disk", 0) != 0 ||
        name.find_first_not_of("0123456789", 4) != std::string::npos || name.size() == 4) {
      return false;
    }
  }
  return !error;
}

const char* kind_of(std::filesystem::file_type type) {
  switch (type) {
    case std::filesystem::file_type::block:
    case std::filesystem::file_type::character:
      return "a device";
    case std::filesystem::file_type::fifo:
      return "a FIFO";
    case std::filesystem::file_type::socket:
      return "a socket";
    default:
      return "a special file";
  }
}

// An existing OUTPUT is replaced only when it is what mksfx writes: a regular
// file, or with --split an earlier set's folder. Anything else (as root,
// "-o /dev/null" would replace the device) is refused, also behind a link;
// a dangling link is replaced, as a missing file would be created.
void check_output_path(const BuildOptions& options) {
  namespace fs = std::filesystem;
  std::error_code error;
  // The temporary output goes beside OUTPUT, so its folder must exist;
  // mksfx creates none, as a mistyped path should not make a tree.
  if (options.split_size == 0 && options.output.back() == '/') {
    throw BuildError("cannot write " + options.output +
                     ": without --split, OUTPUT is a file, and its name cannot end in '/'");
  }
  std::string folder = folder_of(options.output);
  fs::file_status folder_status = fs::status(native_path(folder), error);
  if (!fs::exists(folder_status)) {
    throw BuildError("cannot write " + options.output + ": the folder " + folder + " does not exist");
  }
  if (!fs::is_directory(folder_status)) {
    throw BuildError("cannot write " + options.output + ": " + folder + " is not a folder");
  }
  fs::file_status found = fs::symlink_status(native_path(options.output), error);
  if (!fs::exists(found)) return;
  bool is_link = fs::is_symlink(found);
  if (is_link) found = fs::status(native_path(options.output), error);
  if (is_link && !fs::exists(found)) return;
  if (options.split_size != 0) {
    if (!(fs::is_directory(found) && is_earlier_split_output(options.output))) {
      throw BuildError(options.output + " exists and is not an earlier spanned output; not replacing it");
    }
    return;
  }
  if (fs::is_directory(found)) throw BuildError(options.output + " is a folder");
  if (!fs::is_regular_file(found)) {
    throw BuildError(options.output + (is_link ? " leads to " : " is ") + kind_of(found.type()) +
                     ", not a regular file; not replacing it");
  }
}

// A name beside OUTPUT that no one else uses: ".NAME.mksfx-" and six random
// letters or digits.
std::string temporary_name_for(const std::string& output) {
  static const char k_letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  unsigned char random[6];
  if (!read_random_bytes(random, sizeof random)) {
    throw BuildError(std::string("cannot read the system's random source: ") + std::strerror(errno));
  }
  std::string name = folder_of(output) + "/." + file_name_of(output) + ".mksfx-";
  for (unsigned char byte : random) name += k_letters[byte % (sizeof k_letters - 1)];
  return name;
}

// Creates the temporary file or folder beside OUTPUT, trying other names
// while the chosen one is taken.
void open_output(DiskWriter& writer, const BuildOptions& options) {
  constexpr int k_name_attempts = 100;
  for (int attempt = 0; attempt < k_name_attempts; ++attempt) {
    std::string path = temporary_name_for(options.output);
    if (options.split_size == 0) {
      FILE* created = create_new_file(path);
      if (created == nullptr && errno == EEXIST) continue;
      if (created == nullptr) throw BuildError("cannot write " + options.output + ": " + std::strerror(errno));
      std::fclose(created);
      g_partial_file = path;
      open_single_output(writer, path);
      return;
    }
    std::error_code error;
    if (std::filesystem::create_directory(native_path(path), error)) {
      g_partial_folder = path;
      open_split_output(writer, path, file_name_of(options.output), options.split_size);
      return;
    }
    if (error) throw BuildError("cannot write " + options.output + ": " + error.message());
  }
  throw BuildError("cannot write " + options.output + ": no free name for a temporary file beside it");
}

void make_executable(const std::string& path) {
  std::error_code ignored;
  auto bits = static_cast<std::filesystem::perms>(0777 & ~file_creation_mask());
  std::filesystem::permissions(native_path(path), bits, std::filesystem::perm_options::replace, ignored);
}

// Moves the finished output into place, replacing an earlier one.
void commit_output(const DiskWriter& writer, const BuildOptions& options) {
  for (const std::string& path : writer.disk_paths) make_executable(path);
  std::error_code error;
  if (options.split_size == 0) {
    // Replaces an earlier OUTPUT in one step, on Windows too.
    std::filesystem::rename(native_path(g_partial_file), native_path(options.output), error);
    if (error) throw BuildError("cannot write " + options.output + ": " + error.message());
    g_partial_file.clear();
    return;
  }
  std::filesystem::path output = native_path(options.output);
  if (std::filesystem::exists(output, error)) std::filesystem::remove_all(output, error);
  if (!error) std::filesystem::rename(native_path(g_partial_folder), output, error);
  if (error) throw BuildError("cannot replace " + options.output + ": " + error.message());
  g_partial_folder.clear();
  std::error_code ignored;
  std::filesystem::permissions(output,
                               std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                   std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                                   std::filesystem::perms::others_exec,
                               ignored);
}

// The Windows stubs make names flagged as UTF-8 under their Unicode names
// and read others in the DOS code page: a name that is not UTF-8 (bytes of
// some other character set) comes out in other characters there. They make
// no links: a link member becomes a file holding the link's text.
void warn_about_windows_names_and_links(const std::vector<SourceItem>& items) {
  std::size_t links = 0;
  for (const SourceItem& item : items) {
    links += item.is_link ? 1 : 0;
    if (is_valid_utf8(item.name.c_str())) continue;
    std::fprintf(stderr, "mksfx: warning: %s is not UTF-8; Windows will show it in its DOS code page\n",
                 shown(item.name).c_str());
  }
  if (links == 0) return;
  std::fprintf(stderr,
               "mksfx: warning: %zu symbolic link%s stored as such; the Windows self-extractor writes each as a file "
               "holding the link's target (--dereference stores copies)\n",
               links, links == 1 ? " is" : "s are");
}

// The installer block for the options, or "" when they ask for none; throws
// UsageError for settings the stub would refuse.
std::string choose_installer_block(const BuildOptions& options, NameRules rules, bool encrypting,
                                   std::vector<std::string>* run_words) {
  InstallerOptions installer = options.installer;
  // One password enciphers every member: the stub need ask only once.
  if (encrypting) installer.one_password = true;
  if (!installer.any()) return "";
  if (installer.run) {
    std::string error = split_run_words(*installer.run, run_words);
    if (!error.empty()) throw UsageError(error);
  }
  // '\\' separates folders where the self-extractor runs, or where mksfx does.
  if (rules == NameRules::windows_stub || std::strchr(path_separators(), '\\') != nullptr) {
    use_block_separators(&installer, run_words);
  }
  std::string error = check_installer_options(installer, *run_words, rules);
  if (!error.empty()) throw UsageError(error);
  return make_installer_block(installer, *run_words);
}

// A converted archive's own installer block is left out: mksfx did not
// write it in this run, and a "plain" self-extractor would run a program no
// one asked for. The free text after it stays.
std::string drop_foreign_block(const std::string& comment, const std::string& input) {
  if (!has_installer_block(comment)) return comment;
  std::string program = program_of_block(comment);
  std::fprintf(stderr, "mksfx: warning: leaving out the installer settings in the comment of %s%s\n",
               shown(input).c_str(), program.empty() ? "" : (" (they would run " + shown(program) + ")").c_str());
  return comment_without_block(comment);
}

// The comment as written: the block in front of what the archive had; the
// stub's own reader must take it as meant.
std::string combine_comment(const std::string& block, const std::string& comment) {
  if (block.empty()) return comment;
  std::string combined = block + comment;
  if (combined.size() > 0xFFFF) throw BuildError("the archive comment with the installer settings passes 64 KiB");
  InstallerConfig config;
  const char* problem = "";
  ConfigResult result = parse_installer_config(reinterpret_cast<const unsigned char*>(combined.data()),
                                               combined.size(), &config, &problem);
  release_installer_config(&config);
  if (result != ConfigResult::parsed) throw BuildError(std::string("the installer settings came out wrong: ") + problem);
  return combined;
}

// Refuses an output or program that does not fit the target, and warns of a
// Windows program's name without .exe.
void check_target_fit(const BuildOptions& options, const BuildPlan& plan) {
  std::string name = file_name_of(options.output);
  std::string refusal =
      refusal_of_target_fit(plan.fit, name, plan.run_words.empty() ? std::string() : plan.run_words[0]);
  if (!refusal.empty()) throw UsageError(refusal);
  warn_about_output_name(plan.fit, name);
}

BuildPlan plan_build(const BuildOptions& options) {
  BuildPlan plan;
  plan.stub = choose_stub(options, &plan);
  plan.converting = options.inputs.size() == 1 && is_zip_archive(options.inputs[0]);
  if (plan.converting && (options.password || !options.password_file.empty())) {
    throw UsageError("a zip archive is converted as it is; --password applies to files and folders only");
  }
  plan.settings.level = options.level;
  plan.settings.encryption = options.encryption == "zipcrypto" ? Encryption::zipcrypto : Encryption::aes;
  plan.settings.password = choose_password(options, plan.settings.encryption);
  plan.block = choose_installer_block(options, plan.rules, plan.settings.password.has_value(), &plan.run_words);
  plan.settings.fixed_time = options.mtime;
  plan.settings.quiet = options.quiet;
  plan.settings.show_progress = !options.quiet && is_console(stderr);
  check_target_fit(options, plan);
  // Before the walk, which may be long: a wrong OUTPUT is found at once.
  check_output_path(options);
  if (!plan.converting) {
    LinkHandling links = options.dereference ? LinkHandling::follow : LinkHandling::keep;
    plan.items = collect_sources(options.inputs, plan.rules, options.output, links);
  }
  if (plan.rules == NameRules::windows_stub) warn_about_windows_names_and_links(plan.items);
  return plan;
}

// The first bytes of the program --run names, as extracted ("" when they
// cannot be read): enough for a Windows program's headers.
std::string read_program_head(const BuildOptions& options, const BuildPlan& plan) {
  constexpr std::size_t k_program_head_size = 64 * 1024;
  const std::string& program = plan.run_words[0];
  if (plan.converting) return read_member_head(options.inputs[0], program, plan.rules, k_program_head_size);
  for (const SourceItem& item : plan.items) {
    if (item.name == program) return read_file_head(item.path, k_program_head_size);
  }
  return "";
}

// The program to run must be a file member of the archive, and one that the
// target's Windows can start.
void check_program(const BuildOptions& options, const BuildPlan& plan, const std::vector<CentralRecord>& records) {
  if (plan.run_words.empty()) return;
  const std::string& program = plan.run_words[0];
  auto is_program = [&](const CentralRecord& record) { return record.name == program; };
  if (std::none_of(records.begin(), records.end(), is_program)) {
    throw BuildError("--run " + program + ": the archive has no such member");
  }
  // Only a 32-bit Windows stub's program is worth reading.
  if (plan.fit.stub_kind == PeKind::pe32) warn_about_program_width(plan.fit, program, read_program_head(options, plan));
}

// Writes the stub and the members; *comment receives a converted archive's
// comment.
std::vector<CentralRecord> write_members(DiskWriter& writer, const BuildOptions& options, const BuildPlan& plan,
                                         std::string* comment) {
  if (options.split_size != 0 && plan.stub.size() > options.split_size) {
    throw BuildError("the stub (" + std::to_string(plan.stub.size()) + " bytes) does not fit on a disk of " +
                     std::to_string(options.split_size) + " bytes");
  }
  write_whole(writer, plan.stub);
  std::vector<CentralRecord> records;
  if (plan.converting) {
    records = convert_archive(writer, options.inputs[0], plan.rules, options.quiet, comment);
    *comment = drop_foreign_block(*comment, options.inputs[0]);
  } else {
    for (const SourceItem& item : plan.items) records.push_back(pack_member(writer, item, plan.settings));
  }
  return records;
}

// Records the self-extractor's whole length in the stub's field, where the
// stub tells a download cut short from a file with no archive. A disk set,
// and a stub with no such field (an older one given with --stub), get none.
void record_length(DiskWriter& writer, const std::string& stub) {
  std::size_t at = stub.find(k_recorded_length_marker, 0, k_recorded_length_marker_size);
  if (at == std::string::npos || writer.split_size != 0) return;
  std::string length;
  for (int shift = 0; shift < 64; shift += 8) length += static_cast<char>((writer.used >> shift) & 0xFF);
  patch_single_output(writer, at + k_recorded_length_marker_size, length);
}

void build_self_extractor(const BuildOptions& options) {
  BuildPlan plan = plan_build(options);
  DiskWriter writer;
  open_output(writer, options);
  std::string comment;
  std::vector<CentralRecord> records = write_members(writer, options, plan, &comment);
  check_program(options, plan, records);
  write_directory(writer, records, combine_comment(plan.block, comment));
  record_length(writer, plan.stub);
  close_output(writer);
  if (options.split_size == 0) {
    check_single_output(writer.disk_paths.back(), records);
  } else {
    check_split_output(writer.disk_paths, options.split_size, records);
  }
  // The last chance to stop: past this point the output is in place.
  stop_if_interrupted();
  commit_output(writer, options);
  if (!options.quiet) {
    std::printf("mksfx: wrote %s: %zu entries%s\n", shown(options.output).c_str(), records.size(),
                options.split_size == 0 ? "" : (", " + std::to_string(writer.disk_paths.size()) + " disks").c_str());
  }
}

// Builds the self-extractor; returns the exit status, after the message on
// failure (the partial output removed).
int build_reporting_failure(const BuildOptions& options) {
  try {
    build_self_extractor(options);
  } catch (const UsageError& error) {
    remove_partial_output();
    std::fprintf(stderr, "mksfx: %s\n", shown_name(error.what()));
    return k_exit_usage;
  } catch (const std::exception& error) {
    remove_partial_output();
    std::fflush(stdout);
    if (g_build_interrupted != 0) {
      std::fprintf(stderr, "mksfx: interrupted; the partial output is removed\n");
      return k_exit_signal_base + g_build_interrupted;
    }
    // A path in the message may hold control bytes too.
    std::fprintf(stderr, "mksfx: %s\n", shown_name(error.what()));
    return k_exit_failure;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // getopt_long reorders the words it is handed: they must be this copy's.
  std::vector<std::string> words = command_line_words(argc, argv);
  std::vector<char*> word_pointers;
  for (std::string& word : words) word_pointers.push_back(word.data());
  word_pointers.push_back(nullptr);
  BuildOptions options;
  std::string usage_error = parse_build_options(static_cast<int>(words.size()), word_pointers.data(),
                                                std::getenv("SOURCE_DATE_EPOCH"), &options);
  if (!usage_error.empty()) {
    std::fprintf(stderr, "mksfx: %s\nTry 'mksfx --help' for more information.\n", usage_error.c_str());
    return k_exit_usage;
  }
  if (options.show_help) {
    std::fputs(k_usage_text, stdout);
    std::printf("Built-in targets: %s.\nDefault target: %s.\n", built_in_targets().c_str(), native_target_name());
    return 0;
  }
  if (options.show_version) {
    std::printf("mksfx %s\n", MKSFX_VERSION);
    return 0;
  }
  std::signal(SIGINT, stop_build);
  std::signal(SIGTERM, stop_build);
  return build_reporting_failure(options);
}
