// traditional_cipher_test.cpp - the traditional zip cipher against archives made by other tools.
#include "extract/traditional_cipher.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "archive/central_directory.h"
#include "archive/zip_format.h"
#include "extract/extract_loop.h"
#include "test_zip_builder.h"

namespace {

// Plain text that deflate barely shrinks is stored by Info-ZIP with -0.
std::string sample_text() {
  std::string text;
  for (int i = 0; i < 3000; ++i) text += "line " + std::to_string(i * 7919 % 1000) + " of the sample\n";
  return text;
}

struct EncryptedMember {
  ZipEntry entry;
  std::string ciphertext;  // everything after the local header, header included
};

// Reads the first member of an archive made by another tool.
bool load_first_member(const std::string& archive_path, EncryptedMember* member) {
  std::string bytes = read_file(archive_path);
  TempArchive archive(bytes);
  end_extraction_run();
  testing::internal::CaptureStderr();
  ArchiveError code = read_central_directory(archive.stream());
  testing::internal::GetCapturedStderr();
  if (code != ArchiveError::none || archive_state.entries == nullptr) return false;
  member->entry = *archive_state.entries;
  std::size_t offset = member->entry.local_header_offset;
  std::size_t data = offset + k_local_header_size + read_le16(reinterpret_cast<const unsigned char*>(&bytes[offset + 26])) +
                     read_le16(reinterpret_cast<const unsigned char*>(&bytes[offset + 28]));
  member->ciphertext = bytes.substr(data, member->entry.compressed_size);
  return true;
}

bool tool_available(const char* command) {
  std::string probe = std::string("command -v ") + command + " >/dev/null 2>&1";
  return system(probe.c_str()) == 0;
}

// Deciphers a stored member's data in pieces of chunk bytes.
std::string decrypt_stored(const EncryptedMember& member, const char* password, std::size_t chunk) {
  TempArchive header(member.ciphertext.substr(0, k_encryption_header_size));
  if (!check_password(&member.entry, header.stream(), password)) return "<refused>";
  std::string data = member.ciphertext.substr(k_encryption_header_size);
  for (std::size_t at = 0; at < data.size(); at += chunk) {
    std::size_t count = data.size() - at < chunk ? data.size() - at : chunk;
    decrypt_buffer(reinterpret_cast<unsigned char*>(&data[at]), count);
  }
  return data;
}

TEST(TraditionalCipherTest, DecryptsWhatOtherToolsEncrypted) {
  ScopedTempDir scratch;
  std::string text = sample_text();
  FILE* out = fopen("sample.txt", "wb");
  fwrite(text.data(), 1, text.size(), out);
  fclose(out);
  struct Tool {
    const char* program;
    std::string password;
    std::string command;
  };
  // Bytes 0x80-0xFF enter the keys as 128-255; 7-Zip takes only text it can
  // convert, so it gets a plain one.
  const std::string high_bytes = "s\xE9same \xFFpen";
  const Tool tools[] = {
      {"zip", high_bytes, "zip -q -0 -P '" + high_bytes + "' infozip.zip sample.txt"},
      {"7z", "open sesame", "7z a -bd -tzip -mx=0 -mem=ZipCrypto '-popen sesame' sevenzip.zip sample.txt >/dev/null"},
  };
  for (const Tool& tool : tools) {
    if (!tool_available(tool.program)) {
      ADD_FAILURE() << tool.program << " is not installed";
      continue;
    }
    ASSERT_EQ(system(tool.command.c_str()), 0) << tool.command;
    EncryptedMember member;
    std::string archive = std::string(tool.program) == "zip" ? "infozip.zip" : "sevenzip.zip";
    ASSERT_TRUE(load_first_member(archive, &member)) << archive;
    ASSERT_EQ(member.entry.flags & 1, 1) << archive;
    EXPECT_EQ(decrypt_stored(member, tool.password.c_str(), 10240), text) << archive;
    EXPECT_EQ(decrypt_stored(member, tool.password.c_str(), member.ciphertext.size()), text) << "one pass, " << archive;
    EXPECT_EQ(decrypt_stored(member, "sesame", 10240), "<refused>") << archive;
  }
}

TEST(TraditionalCipherTest, CountZeroChangesNothing) {
  seed_keys("pw");
  CipherKeys before = cipher_keys;
  unsigned char byte = 0x5A;
  decrypt_buffer(&byte, 0);
  EXPECT_EQ(byte, 0x5A);
  EXPECT_EQ(cipher_keys.key0, before.key0);
  EXPECT_EQ(cipher_keys.key1, before.key1);
  EXPECT_EQ(cipher_keys.key2, before.key2);
}

TEST(TraditionalCipherTest, EmptyPasswordKeepsInitialKeys) {
  seed_keys("");
  EXPECT_EQ(cipher_keys.key0, 0x12345678u);
  EXPECT_EQ(cipher_keys.key1, 0x23456789u);
  EXPECT_EQ(cipher_keys.key2, 0x34567890u);
}

TEST(TraditionalCipherTest, CheckByteFollowsFlagBitThree) {
  // A header whose twelfth plain byte is 0xAB, enciphered here with the same keys.
  seed_keys("pw");
  std::string header;
  for (int i = 0; i < 12; ++i) {
    std::uint8_t plain = i == 11 ? 0xAB : static_cast<std::uint8_t>(i);
    header += static_cast<char>(plain ^ keystream_byte());
    advance_keys(plain);
  }
  ZipEntry by_crc{};
  by_crc.crc32 = 0xAB000000;
  by_crc.modification_time_and_date = 0x00001200;
  ZipEntry by_time = by_crc;
  by_time.flags = k_flag_data_descriptor;
  by_time.modification_time_and_date = 0x0000AB00;
  TempArchive first(header);
  EXPECT_TRUE(check_password(&by_crc, first.stream(), "pw"));
  TempArchive second(header);
  EXPECT_TRUE(check_password(&by_time, second.stream(), "pw"));
  by_time.modification_time_and_date = 0x00001200;  // the CRC's byte no longer counts
  TempArchive third(header);
  EXPECT_FALSE(check_password(&by_time, third.stream(), "pw"));
  TempArchive short_header(header.substr(0, 11));
  EXPECT_FALSE(check_password(&by_crc, short_header.stream(), "pw"));
}

}  // namespace
