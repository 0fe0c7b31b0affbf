// build_options.cpp - the mksfx command line.
#include "build_options.h"

#include <cerrno>
#include <cstdlib>

const char* const k_usage_text =
    "Usage: mksfx [options] -o OUTPUT INPUT...\n"
    "Builds a self-extracting program from files and folders, or from one zip archive.\n"
    "\n"
    "  -o, --output OUTPUT     the self-extractor to write (a folder with --split)\n"
    "  --target linux|win32|win64\n"
    "                          which built-in stub to put in front (default: linux)\n"
    "  --stub FILE             put this stub in front instead\n"
    "  -0 ... -9               deflate level (default 6); -0 stores every member\n"
    "  --password PW           encipher every member (traditional zip cipher, weak)\n"
    "  --password-file FILE    the same, with the password on FILE's first line\n"
    "  --split SIZE            spanned over disks of SIZE bytes (k and M allowed,\n"
    "                          e.g. 1440k): OUTPUT/disk1/NAME, OUTPUT/disk2/NAME, ...\n"
    "  --mtime EPOCH           every entry's time (default: SOURCE_DATE_EPOCH if set);\n"
    "                          with it, entries get fixed modes and the output is\n"
    "                          reproducible\n"
    "  -q, --quiet             print nothing but warnings and errors\n"
    "  -h, --help              show this help\n"
    "  --version               show the version\n"
    "\n"
    "A folder is stored under its own name. A single zip archive as INPUT (also the\n"
    "last file of a split set made by zip -s) is converted with its members unchanged.\n"
    "Exit status: 0 success, 1 failure, 2 usage error.\n";

namespace {

bool parse_epoch(const std::string& text, std::time_t* value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  unsigned long long parsed = std::strtoull(text.c_str(), nullptr, 10);
  if (errno != 0 || parsed > 253402300799ull) return false;
  *value = static_cast<std::time_t>(parsed);
  return true;
}

// Options that take a value, as "--name VALUE" or "--name=VALUE".
bool is_valued_option(const std::string& name) {
  return name == "--output" || name == "--target" || name == "--stub" || name == "--password" ||
         name == "--password-file" || name == "--split" || name == "--mtime";
}

std::string apply_value(const std::string& name, const std::string& value, BuildOptions* options) {
  if (name == "--output") {
    options->output = value;
  } else if (name == "--target") {
    if (value != "linux" && value != "win32" && value != "win64") {
      return "unknown target '" + value + "' (linux, win32 or win64)";
    }
    options->target = value;
  } else if (name == "--stub") {
    options->stub_file = value;
  } else if (name == "--password") {
    options->password = value;
  } else if (name == "--password-file") {
    options->password_file = value;
  } else if (name == "--split") {
    if (!parse_size(value, &options->split_size) || options->split_size == 0) {
      return "invalid --split size '" + value + "' (bytes, or with k or M, e.g. 1440k)";
    }
  } else if (name == "--mtime") {
    std::time_t mtime = 0;
    if (!parse_epoch(value, &mtime)) return "invalid --mtime '" + value + "' (seconds since 1970)";
    options->mtime = mtime;
  }
  return "";
}

std::string check_combination(const BuildOptions& options) {
  if (options.show_help || options.show_version) return "";
  if (options.output.empty()) return "no output given (-o OUTPUT)";
  if (options.inputs.empty()) return "no input given";
  if (!options.target.empty() && !options.stub_file.empty()) return "--target and --stub exclude each other";
  if (options.password && !options.password_file.empty()) return "--password and --password-file exclude each other";
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
  bool options_ended = false;
  for (int i = 0; i < argc; ++i) {
    std::string word = argv[i];
    if (options_ended || word.size() < 2 || word[0] != '-') {
      options->inputs.push_back(word);
      continue;
    }
    if (word == "--") {
      options_ended = true;
    } else if (word == "-h" || word == "--help") {
      options->show_help = true;
    } else if (word == "--version") {
      options->show_version = true;
    } else if (word == "-q" || word == "--quiet") {
      options->quiet = true;
    } else if (word.size() == 2 && word[1] >= '0' && word[1] <= '9') {
      options->level = word[1] - '0';
    } else {
      std::string name = word == "-o" ? "--output" : word;
      std::string value;
      std::size_t equals = name.find('=');
      if (name.rfind("--", 0) == 0 && equals != std::string::npos) {
        value = name.substr(equals + 1);
        name = name.substr(0, equals);
      } else if (is_valued_option(name)) {
        if (i + 1 >= argc) return word + " needs a value";
        value = argv[++i];
      }
      if (!is_valued_option(name)) return "unknown option " + word;
      std::string error = apply_value(name, value, options);
      if (!error.empty()) return error;
    }
  }
  if (!options->mtime && source_date_epoch != nullptr && *source_date_epoch != '\0') {
    std::time_t mtime = 0;
    if (!parse_epoch(source_date_epoch, &mtime))
      return "invalid SOURCE_DATE_EPOCH '" + std::string(source_date_epoch) + "'";
    options->mtime = mtime;
  }
  return check_combination(*options);
}
