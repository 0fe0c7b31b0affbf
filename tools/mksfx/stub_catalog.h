// stub_catalog.h - the stubs built into mksfx, and stubs read from a file.
#pragma once

#include <string>

enum class StubTarget { linux_x86_64, win32, win64 };

// Parses "linux", "win32" or "win64"; false for anything else.
bool parse_stub_target(const std::string& text, StubTarget* target);

// The embedded stub for target. Throws BuildError when this mksfx was built
// without it.
std::string embedded_stub(StubTarget target);

// The bytes of a stub file. Throws BuildError when it cannot be read.
std::string read_stub_file(const std::string& path);
