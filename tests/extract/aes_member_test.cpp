// aes_member_test.cpp - AES members that 7-Zip wrote: verifier, counter mode, authentication code.
#include "extract/aes_member.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

const char k_plain[] = "Known answer from 7-Zip: counter blocks 1, 2, 3.\n";
constexpr std::size_t k_plain_size = sizeof k_plain - 1;

// The member data (salt, verifier, data, code) of kat.txt (k_plain), stored,
// as `7za a -tzip -mem=AESn -mm=Copy -psecret` wrote it.
struct SevenZipMember {
  int strength;
  std::string data;
};

const SevenZipMember k_members[] = {
    {1, std::string("\x51\x31\x8d\xc3\x87\xd8\xbb\xeb\x4d\x2b\x40\xdf\x18\xfd\xde\x6f\x6d\xae\x35\x7f\x47\x5b\xb3\x8a"
                    "\x4a\x82\xf5\x1e\x67\x31\xa6\xd3\xdd\x6b\x3f\xb5\x9e\xf7\xdc\x1c\x08\xff\x61\x8f\x4a\xc1\x6b\xb8"
                    "\x9f\x13\xba\x4f\x6c\x67\xcd\x40\xb2\x3c\xe6\xdc\x33\x80\xa7\x96\x68\x72\xf5\xc2\x0d",
                    69)},
    {2, std::string("\x97\x09\x5d\xf7\x8b\x2b\x2a\x35\xd3\x73\x76\x3b\x7e\xea\xd2\xcf\x44\x4f\x28\x4c\x8b\xa2\x87\xc5"
                    "\x9b\x87\xa3\x8f\x65\x60\x93\x0f\xf2\x60\x70\x0e\x76\xa9\xd2\x03\x4c\x24\x84\xd8\x18\xad\xae\x7f"
                    "\xeb\xc7\x48\x97\xc7\xde\xfa\xd8\x38\xf5\x3c\xf7\xe8\x22\x60\xf9\x53\xc8\x5f\x3d\x69\x0e\x0c\x3d"
                    "\x6b",
                    73)},
    {3, std::string("\x0a\xd0\x01\x7a\x75\x84\x92\xfa\x39\xa7\xe8\x1a\x7e\x40\xb7\xb7\xeb\x2d\xb9\x39\xb2\xa9\x82\x77"
                    "\xcc\x9d\xbf\xcd\xd1\x75\xe8\xf3\xd0\x8c\x9a\xbe\x87\x3e\x77\xb9\x12\x56\x7b\x81\x18\xfc\xc0\x93"
                    "\xa1\x07\x27\x6a\xce\xbc\x94\x8f\x11\x40\x14\x12\x42\x28\x1e\xd0\x38\x73\xd7\x3f\x06\xa4\xbf\xc6"
                    "\x91\x3f\x1a\xc9\xc9",
                    77)},
};

// A member's bytes in a file, as the stub reads them from the archive.
class MemberFile {
 public:
  explicit MemberFile(const std::string& bytes) : file_(tmpfile()) {
    fwrite(bytes.data(), 1, bytes.size(), file_);
    rewind(file_);
  }
  ~MemberFile() { fclose(file_); }
  MemberFile(const MemberFile&) = delete;
  MemberFile& operator=(const MemberFile&) = delete;
  FILE* get() { return file_; }

 private:
  FILE* file_;
};

AesExtra extra_of(int strength) { return AesExtra{2, strength, 0}; }

// Checks password, then deciphers the data in pieces of piece bytes and
// checks the code; returns what the data deciphered to.
std::string read_member(const SevenZipMember& member, const char* password, std::size_t piece, AesCode* code) {
  MemberFile file(member.data);
  ArchiveError error = ArchiveError::none;
  EXPECT_EQ(check_aes_password(extra_of(member.strength), file.get(), password, &error), AesPassword::right);
  unsigned char data[k_plain_size];
  EXPECT_EQ(fread(data, 1, sizeof data, file.get()), sizeof data);
  for (std::size_t at = 0; at < sizeof data; at += piece) {
    aes_decrypt_buffer(data + at, at + piece <= sizeof data ? piece : sizeof data - at);
  }
  *code = check_aes_code(file.get(), &error);
  return std::string(reinterpret_cast<char*>(data), sizeof data);
}

TEST(AesMemberTest, SizesOfEachStrength) {
  EXPECT_EQ(aes_salt_size(1), 8u);
  EXPECT_EQ(aes_salt_size(3), 16u);
  EXPECT_EQ(aes_key_size(2), 24u);
  EXPECT_EQ(aes_overhead(3), 28u);
}

TEST(AesMemberTest, SevenZipMembersDecipherInAnyPieces) {
  for (const SevenZipMember& member : k_members) {
    for (std::size_t piece : {k_plain_size, std::size_t{1}, std::size_t{15}, std::size_t{17}}) {
      AesCode code = AesCode::altered;
      EXPECT_EQ(read_member(member, "secret", piece, &code), k_plain) << member.strength << " " << piece;
      EXPECT_EQ(code, AesCode::authentic);
    }
  }
}

TEST(AesMemberTest, WrongPasswordsFailTheVerifier) {
  for (const SevenZipMember& member : k_members) {
    for (const char* password : {"Secret", "secret ", "", "secre"}) {
      MemberFile file(member.data);
      ArchiveError error = ArchiveError::none;
      EXPECT_EQ(check_aes_password(extra_of(member.strength), file.get(), password, &error), AesPassword::wrong)
          << member.strength << " " << password;
    }
  }
}

// Any byte changed after the verifier (data or code) fails the code.
TEST(AesMemberTest, AlteredDataOrCodeIsNotAuthentic) {
  const SevenZipMember& original = k_members[2];
  std::size_t data_start = aes_salt_size(3) + k_aes_verifier_size;
  for (std::size_t at = data_start; at < original.data.size(); at += 7) {
    SevenZipMember altered = original;
    altered.data[at] = static_cast<char>(altered.data[at] ^ 0x01);
    AesCode code = AesCode::authentic;
    (void)read_member(altered, "secret", k_plain_size, &code);
    EXPECT_EQ(code, AesCode::altered) << at;
  }
}

TEST(AesMemberTest, MissingCodeIsUnreadable) {
  SevenZipMember cut = k_members[0];
  cut.data.resize(cut.data.size() - 3);
  AesCode code = AesCode::authentic;
  (void)read_member(cut, "secret", k_plain_size, &code);
  EXPECT_EQ(code, AesCode::unreadable);
}

// What mksfx writes: enciphered and read back with its own salt.
TEST(AesMemberTest, EncipheredDataReadsBack) {
  unsigned char salt[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  unsigned char verifier[k_aes_verifier_size];
  ASSERT_TRUE(start_aes("pw", salt, 3, verifier));
  std::string data(5000, 'x');
  aes_encrypt_buffer(reinterpret_cast<unsigned char*>(data.data()), data.size());
  unsigned char code[k_aes_code_size];
  ASSERT_TRUE(finish_aes_code(code));
  end_aes();
  SevenZipMember written{3, std::string(reinterpret_cast<char*>(salt), 16) +
                                std::string(reinterpret_cast<char*>(verifier), 2) + data +
                                std::string(reinterpret_cast<char*>(code), sizeof code)};
  MemberFile file(written.data);
  ArchiveError error = ArchiveError::none;
  ASSERT_EQ(check_aes_password(extra_of(3), file.get(), "pw", &error), AesPassword::right);
  std::string read(data.size(), '\0');
  ASSERT_EQ(fread(read.data(), 1, read.size(), file.get()), read.size());
  aes_decrypt_buffer(reinterpret_cast<unsigned char*>(read.data()), read.size());
  EXPECT_EQ(read, std::string(5000, 'x'));
  EXPECT_EQ(check_aes_code(file.get(), &error), AesCode::authentic);
}

}  // namespace
