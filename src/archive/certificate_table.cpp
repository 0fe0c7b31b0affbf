// certificate_table.cpp - where the signature of a signed Windows program begins.
#include "archive/certificate_table.h"

#include "archive/zip_format.h"
#include "platform/platform.h"

namespace {

constexpr std::uint32_t k_dos_header_size = 64;
constexpr int k_dos_new_header_offset = 0x3C;       // 4: e_lfanew, where "PE\0\0" stands
constexpr std::uint32_t k_pe_signature = 0x00004550;  // "PE\0\0"
constexpr int k_optional_header = 24;               // after the signature and the file header
constexpr int k_optional_magic = 0;                 // 2: 0x10B for PE32, 0x20B for PE32+
constexpr std::uint16_t k_pe32_magic = 0x10B;
constexpr std::uint16_t k_pe32_plus_magic = 0x20B;
// Where the directory count and the directories start in each optional header.
constexpr int k_pe32_directory_count = 92;
constexpr int k_pe32_directories = 96;
constexpr int k_pe32_plus_directory_count = 108;
constexpr int k_pe32_plus_directories = 112;
constexpr std::uint32_t k_security_directory = 4;  // 8 bytes: file offset, size
constexpr std::uint32_t k_pe_header_read = k_optional_header + k_pe32_plus_directories + 8 * (k_security_directory + 1);

bool read_at(FILE* stream, std::uint64_t offset, unsigned char* bytes, std::size_t size) {
  return platform_seek(stream, offset) == 0 && fread(bytes, 1, size, stream) == size;
}

}  // namespace

std::uint64_t certificate_table_offset(FILE* stream) {
  unsigned char dos[k_dos_header_size];
  if (!read_at(stream, 0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z') return 0;
  unsigned char pe[k_pe_header_read];
  if (!read_at(stream, read_le32(&dos[k_dos_new_header_offset]), pe, sizeof pe) || read_le32(pe) != k_pe_signature) {
    return 0;
  }
  const unsigned char* optional = pe + k_optional_header;
  std::uint16_t magic = read_le16(&optional[k_optional_magic]);
  if (magic != k_pe32_magic && magic != k_pe32_plus_magic) return 0;
  bool plus = magic == k_pe32_plus_magic;
  std::uint32_t count = read_le32(&optional[plus ? k_pe32_plus_directory_count : k_pe32_directory_count]);
  const unsigned char* security = optional + (plus ? k_pe32_plus_directories : k_pe32_directories) + 8 * k_security_directory;
  if (count <= k_security_directory || read_le32(&security[4]) == 0) return 0;
  return read_le32(security);
}
