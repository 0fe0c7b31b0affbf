// target_fit.h - whether the output's name and an installer's program fit the chosen target.
#pragma once

#include <string>

// What a file's first bytes say of it as a Windows program: the optional
// header's magic, found after "PE\0\0" at the offset the DOS header names.
enum class PeKind { none, pe32, pe32_plus };
PeKind pe_kind_of(const std::string& head);

// What is known of the target when the output is planned.
struct TargetFit {
  bool windows = false;  // a Windows stub: --target win32 or win64, or --stub naming an MZ file
  bool chosen = false;   // --target or --stub was given, not the builder's default
  PeKind stub_kind = PeKind::none;
};

// Returns "" or why the output cannot be what the maker meant: a Windows
// target whose program is a shell script, or the default Linux target
// writing a name that ends in .exe (a Windows program's name).
std::string refusal_of_target_fit(const TargetFit& fit, const std::string& output_name, const std::string& program);

// Prints a warning for a Windows self-extractor whose name does not end in
// .exe, which Windows does not start by a double click or by its name alone.
void warn_about_output_name(const TargetFit& fit, const std::string& output_name);

// Prints a warning when a 32-bit Windows self-extractor is to run a 64-bit
// program (program_head: its first bytes), which 32-bit Windows, where the
// self-extractor runs too, cannot start.
void warn_about_program_width(const TargetFit& fit, const std::string& program, const std::string& program_head);

// The first size bytes of the file at path ("" when it cannot be read).
std::string read_file_head(const std::string& path, std::size_t size);
