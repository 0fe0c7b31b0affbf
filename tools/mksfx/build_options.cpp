// build_options.cpp - the mksfx command line.
#include "build_options.h"

#include <getopt.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "stub_catalog.h"

const char* const k_usage_text =
    "Usage: mksfx [options] -o OUTPUT INPUT...\n"
    "Builds a self-extracting program from files and folders, or from one zip archive.\n"
    "\n"
    "  -o, --output OUTPUT     the self-extractor to write (a folder with --split)\n"
    "  --target linux|linux-arm64|win32|win64\n"
    "                          which built-in stub to put in front (default: the\n"
    "                          system mksfx runs on; both are listed below)\n"
    "  --stub FILE             put this stub in front instead\n"
    "  -0 ... -9               deflate level (default 6); -0 stores every member\n"
    "  --password PW           encipher every member (AES-256)\n"
    "  --password-file FILE    the same, with the password on FILE's first line\n"
    "  --encryption aes|zipcrypto\n"
    "                          the cipher for --password (default: aes); zipcrypto\n"
    "                          is the traditional zip cipher, which is weak\n"
    "  --split SIZE            spanned over disks of SIZE bytes (k and M allowed,\n"
    "                          e.g. 1440k): OUTPUT/disk1/NAME, OUTPUT/disk2/NAME, ...\n"
    "  --mtime EPOCH           every entry's time (default: SOURCE_DATE_EPOCH if set);\n"
    "                          with it, entries get fixed modes and the output is\n"
    "                          reproducible\n"
    "  -q, --quiet             print nothing but warnings and errors\n"
    "  --dereference           store what symbolic links lead to, not the links\n"
    "\n"
    "Installer settings (written into the archive comment; see docs/installer.md):\n"
    "  --dest DIR              extract into DIR, a folder below the current one\n"
    "  --temp                  extract into a private temporary folder, run the\n"
    "                          program there and remove the folder (needs --run)\n"
    "  --run 'PATH ARGS...'    after a complete extraction, run the member PATH with\n"
    "                          ARGS and the self-extractor's own arguments, in the\n"
    "                          extraction folder; its exit status becomes ours\n"
    "                          ('...' and \"...\" group words; no shell is used)\n"
    "  --one-password          ask once for the password of all members (implied\n"
    "                          by --password and --password-file)\n"
    "  --silent                no progress lines and no pause at the end\n"
    "  --title TEXT            a line shown before the extraction starts\n"
    "  -h, --help, /?          show this help\n"
    "  --version               show the version\n"
    "\n"
    "Short options bundle (-q9) and take joined values (-oFILE); long ones take\n"
    "--name=VALUE and may be shortened while unambiguous; -- ends the options.\n"
    "\n"
    "A folder is stored under its own name. A single zip archive as INPUT (also the\n"
    "last file of a split set made by zip -s) is converted with its members unchanged.\n"
    "Examples:\n"
    "  mksfx --dest MyApp -o setup app/\n"
    "  mksfx --temp --run 'app/install.sh --prefix /opt/x' -o setup app/\n"
    "  mksfx --target win32 --dest MyApp --run 'app/setup.exe /quiet' -o setup.exe app/\n"
    "  mksfx --password-file secret.txt -o setup app/     (asks once: --one-password)\n"
    "  mksfx --one-password -o setup.exe --target win32 encrypted.zip\n"
    "  mksfx --silent --title 'Installing MyApp' --dest MyApp -o setup app/\n"
    "\n"
    "Exit status: 0 success, 1 failure, 2 usage error, 128+N interrupted by signal N.\n";

namespace {

bool parse_epoch(const std::string& text, std::time_t* value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  unsigned long long parsed = std::strtoull(text.c_str(), nullptr, 10);
  if (errno != 0 || parsed > 253402300799ull) return false;
  *value = static_cast<std::time_t>(parsed);
  return true;
}

// The long options without a short form get codes past the characters.
enum LongOnly : int {
  k_target = 256,
  k_stub,
  k_password,
  k_password_file,
  k_encryption,
  k_split,
  k_mtime,
  k_version,
  // The installer settings, from k_dest to k_title.
  k_dest,
  k_temp,
  k_run,
  k_one_password,
  k_silent,
  k_title,
  k_dereference,
};

// Short options bundle ("-q9"), take values joined or apart ("-oFILE",
// "-o FILE"); the leading ':' makes getopt report a missing value apart.
constexpr char k_short_options[] = ":o:qh0123456789";
const struct option k_long_options[] = {
    {"output", required_argument, nullptr, 'o'},
    {"target", required_argument, nullptr, k_target},
    {"stub", required_argument, nullptr, k_stub},
    {"password", required_argument, nullptr, k_password},
    {"password-file", required_argument, nullptr, k_password_file},
    {"encryption", required_argument, nullptr, k_encryption},
    {"split", required_argument, nullptr, k_split},
    {"mtime", required_argument, nullptr, k_mtime},
    {"quiet", no_argument, nullptr, 'q'},
    {"dereference", no_argument, nullptr, k_dereference},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, k_version},
    {"dest", required_argument, nullptr, k_dest},
    {"temp", no_argument, nullptr, k_temp},
    {"run", required_argument, nullptr, k_run},
    {"one-password", no_argument, nullptr, k_one_password},
    {"silent", no_argument, nullptr, k_silent},
    {"title", required_argument, nullptr, k_title},
    {nullptr, 0, nullptr, 0},
};

// The installer settings, which go into the archive comment.
std::string apply_installer_option(int code, const std::string& value, InstallerOptions* installer) {
  if (code == k_dest) {
    if (value.empty()) return "--dest needs a folder";
    installer->destination = value;
  } else if (code == k_temp) {
    installer->temporary = true;
  } else if (code == k_run) {
    installer->run = value;
  } else if (code == k_one_password) {
    installer->one_password = true;
  } else if (code == k_silent) {
    installer->silent = true;
  } else if (code == k_title) {
    installer->title = value;
  }
  return "";
}

std::string apply_option(int code, const std::string& value, BuildOptions* options) {
  if (code >= k_dest && code <= k_title) return apply_installer_option(code, value, &options->installer);
  if (code >= '0' && code <= '9') {
    options->level = code - '0';
  } else if (code == 'o') {
    options->output = value;
  } else if (code == 'q') {
    options->quiet = true;
  } else if (code == k_dereference) {
    options->dereference = true;
  } else if (code == 'h') {
    options->show_help = true;
  } else if (code == k_version) {
    options->show_version = true;
  } else if (code == k_target) {
    StubTarget target;
    if (!parse_stub_target(value, &target)) return "unknown target '" + value + "' (" + k_stub_target_names + ")";
    options->target = value;
  } else if (code == k_stub) {
    options->stub_file = value;
  } else if (code == k_password) {
    options->password = value;
  } else if (code == k_password_file) {
    options->password_file = value;
  } else if (code == k_encryption) {
    if (value != "aes" && value != "zipcrypto") return "unknown encryption '" + value + "' (aes or zipcrypto)";
    options->encryption = value;
  } else if (code == k_split) {
    if (!parse_size(value, &options->split_size) || options->split_size == 0) {
      return "invalid --split size '" + value + "' (bytes, or with k or M, e.g. 1440k)";
    }
  } else if (code == k_mtime) {
    std::time_t mtime = 0;
    if (!parse_epoch(value, &mtime)) return "invalid --mtime '" + value + "' (seconds since 1970)";
    options->mtime = mtime;
  }
  return "";
}

// Why getopt refused word, a long option: unknown, ambiguous or given a
// value it does not take.
std::string describe_long_refusal(const std::string& word) {
  std::string name = word.substr(2, word.find('=') - 2);
  std::vector<std::string> matches;
  for (const struct option* known = k_long_options; known->name != nullptr; ++known) {
    std::string candidate = known->name;
    if (candidate == name) return "--" + name + " takes no value";
    if (candidate.compare(0, name.size(), name) == 0) matches.push_back("--" + candidate);
  }
  if (matches.empty()) return "unknown option --" + name;
  if (matches.size() == 1) return matches[0] + " takes no value";
  std::string listed = matches[0];
  for (std::size_t i = 1; i < matches.size(); ++i) listed += ", " + matches[i];
  return "ambiguous option --" + name + " (" + listed + ")";
}

// The usage error for getopt's answer code ('?' or ':'). getopt names the
// refused character in refused_option for a short option (whose word may
// not be finished yet), and 0 or the option's code for a long one, whose
// word is the last one it took.
std::string describe_refusal(int code, int refused_option, char** argv) {
  bool known_code =
      refused_option == 0 || refused_option >= k_target || std::strchr(k_short_options + 1, refused_option) != nullptr;
  if (!known_code || refused_option == ':') return std::string("unknown option -") + char(refused_option);
  std::string word = argv[optind - 1];
  if (word.rfind("--", 0) != 0) return std::string("-") + char(refused_option) + " needs a value";
  if (code == ':') return word.substr(0, word.find('=')) + " needs a value";
  return describe_long_refusal(word);
}

// The long option that name (without "--" and "=VALUE") names, exactly or
// by an unambiguous start; nullptr for none or several.
const struct option* long_option_named(const std::string& name) {
  const struct option* found = nullptr;
  for (const struct option* known = k_long_options; known->name != nullptr; ++known) {
    if (name == known->name) return known;
    if (std::string(known->name).compare(0, name.size(), name) != 0) continue;
    if (found != nullptr) return nullptr;
    found = known;
  }
  return found;
}

// getopt reads "-10" as -1 -0, which would store every member: a
// short-option word with two digits in a row asks for a level outside 0-9.
// Returns that word or "", passing over option values as getopt does.
std::string find_level_outside_range(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string word = argv[i];
    if (word == "--") break;
    if (word.rfind("--", 0) == 0) {
      const struct option* named = long_option_named(word.substr(2, word.find('=') - 2));
      if (named != nullptr && named->has_arg == required_argument && word.find('=') == std::string::npos) ++i;
      continue;
    }
    for (std::size_t at = 1; word[0] == '-' && at < word.size(); ++at) {
      if (word[at] == 'o') {
        if (at + 1 == word.size()) ++i;  // "-o VALUE"
        break;
      }
      if (std::isdigit(static_cast<unsigned char>(word[at])) && at + 1 < word.size() &&
          std::isdigit(static_cast<unsigned char>(word[at + 1]))) {
        return word;
      }
    }
  }
  return "";
}

std::string check_combination(const BuildOptions& options) {
  if (options.show_help || options.show_version) return "";
  if (options.output.empty()) return "no output given (-o OUTPUT)";
  if (options.inputs.empty()) return "no input given";
  if (!options.target.empty() && !options.stub_file.empty()) return "--target and --stub exclude each other";
  if (options.password && !options.password_file.empty()) return "--password and --password-file exclude each other";
  if (!options.encryption.empty() && !options.password && options.password_file.empty()) {
    return "--encryption needs --password or --password-file";
  }
  return "";
}

}  // namespace

bool parse_size(const std::string& text, std::uint64_t* size) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  if (errno != 0) return false;
  std::string unit = end;
  std::uint64_t factor = 1;
  if (unit == "k" || unit == "K") {
    factor = 1024;
  } else if (unit == "M" || unit == "m") {
    factor = std::uint64_t{1024} * 1024;
  } else if (!unit.empty()) {
    return false;
  }
  if (value > UINT64_MAX / factor) return false;
  *size = value * factor;
  return true;
}

std::string parse_build_options(int argc, char** argv, const char* source_date_epoch, BuildOptions* options) {
  // getopt keeps its place between calls: 0 starts it afresh. It also moves
  // the inputs behind the options, so "mksfx app/ -o setup" works.
  std::string level = find_level_outside_range(argc, argv);
  if (!level.empty()) return "invalid level in " + level + " (a level is one digit, -0 to -9)";
  optind = 0;
  opterr = 0;
  int code;
  while ((code = getopt_long(argc, argv, k_short_options, k_long_options, nullptr)) != -1) {
    if (code == '?' || code == ':') return describe_refusal(code, optopt, argv);
    std::string error = apply_option(code, optarg != nullptr ? optarg : "", options);
    if (!error.empty()) return error;
  }
  for (int i = optind; i < argc; ++i) options->inputs.push_back(argv[i]);
  // Windows programs show their help for "/?".
  if (std::find(options->inputs.begin(), options->inputs.end(), "/?") != options->inputs.end()) {
    options->show_help = true;
  }
  if (!options->mtime && source_date_epoch != nullptr && *source_date_epoch != '\0') {
    std::time_t mtime = 0;
    if (!parse_epoch(source_date_epoch, &mtime))
      return "invalid SOURCE_DATE_EPOCH '" + std::string(source_date_epoch) + "'";
    options->mtime = mtime;
  }
  return check_combination(*options);
}
