// stub_catalog.h - the stubs built into mksfx, and stubs read from a file.
#pragma once

#include <string>

enum class StubTarget { linux_x86_64, linux_arm64, win32, win64 };

// Every target name, for messages: "linux, linux-arm64, win32 or win64".
extern const char* const k_stub_target_names;

// Parses a target name ("linux" is x86-64); false for anything else.
bool parse_stub_target(const std::string& text, StubTarget* target);

// True for the Windows stubs, which take member names by Windows' rules.
bool is_windows_target(StubTarget target);

// The names of the targets whose stubs this mksfx holds, comma-separated
// ("linux, linux-arm64, win32, win64"); "none" when it holds none.
std::string built_in_targets();

// The embedded stub for target. Throws BuildError when this mksfx was built
// without it.
std::string embedded_stub(StubTarget target);

// The bytes of a stub file. Throws BuildError when it cannot be read.
std::string read_stub_file(const std::string& path);
