// stub_catalog.cpp - the stubs built into mksfx, and stubs read from a file.
#include "stub_catalog.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "mksfx_platform.h"
#include "zip_records.h"

extern const unsigned char stub_linux_bytes[];
extern const std::size_t stub_linux_size;
extern const unsigned char stub_linux_arm64_bytes[];
extern const std::size_t stub_linux_arm64_size;
extern const unsigned char stub_win32_bytes[];
extern const std::size_t stub_win32_size;
extern const unsigned char stub_win64_bytes[];
extern const std::size_t stub_win64_size;

const char* const k_stub_target_names = "linux, linux-arm64, win32 or win64";

namespace {

struct CatalogEntry {
  const char* name;
  StubTarget target;
  const unsigned char* bytes;
  const std::size_t* size;  // 0: this mksfx was built without the stub
  const char* to_build_it;  // what the build needs for it
};

const CatalogEntry k_catalog[] = {
    {"linux", StubTarget::linux_x86_64, stub_linux_bytes, &stub_linux_size, "rebuild"},
    {"linux-arm64", StubTarget::linux_arm64, stub_linux_arm64_bytes, &stub_linux_arm64_size,
     "install g++-aarch64-linux-gnu and rebuild"},
    {"win32", StubTarget::win32, stub_win32_bytes, &stub_win32_size, "install mingw-w64 and rebuild"},
    {"win64", StubTarget::win64, stub_win64_bytes, &stub_win64_size, "install mingw-w64 and rebuild"},
};

const CatalogEntry& catalog_entry(StubTarget target) {
  for (const CatalogEntry& entry : k_catalog) {
    if (entry.target == target) return entry;
  }
  return k_catalog[0];
}

}  // namespace

bool parse_stub_target(const std::string& text, StubTarget* target) {
  for (const CatalogEntry& entry : k_catalog) {
    if (text == entry.name) {
      *target = entry.target;
      return true;
    }
  }
  return false;
}

bool is_windows_target(StubTarget target) { return target == StubTarget::win32 || target == StubTarget::win64; }

std::string built_in_targets() {
  std::string names;
  for (const CatalogEntry& entry : k_catalog) {
    if (*entry.size == 0) continue;
    if (!names.empty()) names += ", ";
    names += entry.name;
  }
  return names.empty() ? "none" : names;
}

std::string embedded_stub(StubTarget target) {
  const CatalogEntry& entry = catalog_entry(target);
  if (*entry.size == 0) {
    throw BuildError(std::string("the ") + entry.name +
                     " target is unavailable: this mksfx was built without that stub (" + entry.to_build_it +
                     ", or give one with --stub FILE)");
  }
  return std::string(reinterpret_cast<const char*>(entry.bytes), *entry.size);
}

std::string read_stub_file(const std::string& path) {
  FILE* file = open_file(path, "rb");
  if (file == nullptr) throw BuildError("cannot read stub " + path + ": " + std::strerror(errno));
  std::string bytes;
  char chunk[65536];
  std::size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes.append(chunk, got);
  bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) throw BuildError("cannot read stub " + path);
  if (bytes.empty()) throw BuildError("stub " + path + " is empty");
  return bytes;
}
