// target_fit.cpp - whether the output's name and an installer's program fit the chosen target.
#include "target_fit.h"

#include <cstdio>

#include "mksfx_platform.h"
#include "zip_records.h"

namespace {

constexpr std::size_t k_dos_header_pe_offset = 0x3C;  // e_lfanew: where "PE\0\0" starts
constexpr std::size_t k_coff_header_size = 20;        // after the signature, before the optional header
constexpr std::uint16_t k_pe32_magic = 0x10B;
constexpr std::uint16_t k_pe32_plus_magic = 0x20B;

// True when name ends in suffix, in any case (".EXE" as well as ".exe").
bool has_ending(const std::string& name, const std::string& suffix) {
  if (name.size() < suffix.size()) return false;
  for (std::size_t i = 0; i < suffix.size(); ++i) {
    char c = name[name.size() - suffix.size() + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != suffix[i]) return false;
  }
  return true;
}

}  // namespace

PeKind pe_kind_of(const std::string& head) {
  if (head.size() < k_dos_header_pe_offset + 4 || head.compare(0, 2, "MZ") != 0) return PeKind::none;
  std::uint64_t signature = get_le32(head, k_dos_header_pe_offset);
  std::uint64_t magic_at = signature + 4 + k_coff_header_size;
  if (magic_at + 2 > head.size() || head.compare(signature, 4, std::string("PE\0\0", 4)) != 0) return PeKind::none;
  std::uint16_t magic = get_le16(head, magic_at);
  return magic == k_pe32_magic ? PeKind::pe32 : magic == k_pe32_plus_magic ? PeKind::pe32_plus : PeKind::none;
}

std::string refusal_of_target_fit(const TargetFit& fit, const std::string& output_name, const std::string& program) {
  if (fit.windows && has_ending(program, ".sh")) {
    return "--run " + program +
           ": a shell script, which Windows cannot run (give a Linux --target, or a .exe, .bat or .cmd program)";
  }
  if (!fit.windows && !fit.chosen && has_ending(output_name, ".exe")) {
    return output_name +
           " is named as a Windows program, but the target is Linux; give --target win32 or win64 for Windows (or "
           "--target linux to keep the name)";
  }
  return "";
}

void warn_about_output_name(const TargetFit& fit, const std::string& output_name) {
  if (!fit.windows || has_ending(output_name, ".exe")) return;
  std::fprintf(stderr, "mksfx: warning: %s is a Windows program; Windows starts it only under a name ending in .exe\n",
               shown(output_name).c_str());
}

void warn_about_program_width(const TargetFit& fit, const std::string& program, const std::string& program_head) {
  if (fit.stub_kind != PeKind::pe32 || pe_kind_of(program_head) != PeKind::pe32_plus) return;
  std::fprintf(stderr,
               "mksfx: warning: --run %s is a 64-bit Windows program; 32-bit Windows, where this self-extractor runs "
               "too, cannot start it (Windows error 193): give --target win64 or a 32-bit program\n",
               shown(program).c_str());
}

std::string read_file_head(const std::string& path, std::size_t size) {
  FILE* file = open_file(path, "rb");
  if (file == nullptr) return "";
  std::string head(size, '\0');
  head.resize(std::fread(head.data(), 1, size, file));
  std::fclose(file);
  return head;
}
