// stub_catalog.cpp - the stubs built into mksfx, and stubs read from a file.
#include "stub_catalog.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "zip_records.h"

extern const unsigned char stub_linux_bytes[];
extern const std::size_t stub_linux_size;
extern const unsigned char stub_win32_bytes[];
extern const std::size_t stub_win32_size;
extern const unsigned char stub_win64_bytes[];
extern const std::size_t stub_win64_size;

bool parse_stub_target(const std::string& text, StubTarget* target) {
  if (text == "linux") {
    *target = StubTarget::linux_x86_64;
  } else if (text == "win32") {
    *target = StubTarget::win32;
  } else if (text == "win64") {
    *target = StubTarget::win64;
  } else {
    return false;
  }
  return true;
}

std::string embedded_stub(StubTarget target) {
  const unsigned char* bytes = stub_linux_bytes;
  std::size_t size = stub_linux_size;
  const char* name = "linux";
  if (target == StubTarget::win32) {
    bytes = stub_win32_bytes;
    size = stub_win32_size;
    name = "win32";
  } else if (target == StubTarget::win64) {
    bytes = stub_win64_bytes;
    size = stub_win64_size;
    name = "win64";
  }
  if (size == 0) {
    throw BuildError(std::string("the ") + name +
                     " target is unavailable: this mksfx was built without that stub "
                     "(install mingw-w64 and rebuild, or give one with --stub FILE)");
  }
  return std::string(reinterpret_cast<const char*>(bytes), size);
}

std::string read_stub_file(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "rb");
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
