// member_packer.h - compress, encipher and write the members of a folder.
#pragma once

#include <optional>
#include <string>

#include "disk_writer.h"
#include "source_tree.h"
#include "zip_records.h"

// The cipher of members packed with a password.
enum class Encryption { aes, zipcrypto };

struct PackSettings {
  int level = 6;  // 0 stores every member
  std::optional<std::string> password;
  Encryption encryption = Encryption::aes;
  std::optional<std::time_t> fixed_time;  // with it, modes are fixed too
  bool quiet = false;
  bool show_progress = false;  // a running percentage for large members
};

// Writes one member (local header, encryption header or AES salt and
// verifier, data, AES authentication code) and returns its
// central record. A member that does not shrink is stored. Throws
// BuildError when the file cannot be read or changes while it is read.
CentralRecord pack_member(DiskWriter& writer, const SourceItem& item, const PackSettings& settings);
