// aes_extra.cpp - recognise AES members by their method and AES extra field.
#include "archive/aes_extra.h"

#include "archive/extra_field.h"
#include "archive/zip_format.h"

bool read_aes_extra(const ZipEntry* entry, AesExtra* extra) {
  if (entry->compression_method != k_method_aes || (entry->flags & k_flag_encrypted) == 0) return false;
  std::uint16_t size = 0;
  const unsigned char* data = find_extra_block(entry->extra_field, entry->extra_length, k_aes_extra_tag, &size);
  if (data == nullptr || size < k_aes_extra_data_size) return false;
  if (data[k_aes_extra_vendor] != 'A' || data[k_aes_extra_vendor + 1] != 'E') return false;
  AesExtra found{read_le16(&data[k_aes_extra_version]), data[k_aes_extra_strength],
                 read_le16(&data[k_aes_extra_method])};
  if (found.version != 1 && found.version != 2) return false;
  if (found.strength < 1 || found.strength > 3) return false;
  if (found.method != k_method_stored && found.method != k_method_deflated) return false;
  *extra = found;
  return true;
}
