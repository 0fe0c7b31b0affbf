// whole_member_test.cpp - a member decoded in one piece, and one put back as it was when that fails.
#include "extract/whole_member.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <string>

#include "archive/archive_state.h"
#include "extract/traditional_cipher.h"
#include "platform/platform.h"
#include "test_zip_builder.h"

namespace {

std::string sample(std::size_t size) {
  std::string text;
  for (unsigned i = 0; text.size() < size; ++i) text += "entry " + std::to_string(i * 7919u % 100003u) + " logged\n";
  text.resize(size);
  return text;
}

enum class Fault { none, truncated, size_too_small, size_too_large, wrong_crc, unwritable };

struct Case {
  const char* name;
  std::size_t size;
  Fault fault;
  bool stored = false;
};

class WholeMemberTest : public testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    if (archive_state.read_buffer == nullptr) {
      archive_state.read_buffer = static_cast<unsigned char*>(malloc(k_buffer_size));
      archive_state.output_buffer = static_cast<unsigned char*>(malloc(k_buffer_size));
    }
  }
  void TearDown() override { end_whole_members(); }
  ScopedTempDir folder_;
};

constexpr std::size_t k_prefix = 777;

// An empty file open for reading only: every write to it fails.
int open_read_only(const char* path) {
  fclose(fopen(path, "wb"));
  return open(path, O_RDONLY);
}  // what stands before the data: the stub, the local header

TEST_P(WholeMemberTest, DecodesOrLeavesTheMemberAsItWas) {
  const Case& c = GetParam();
  std::string data = sample(c.size);
  std::string stream = c.stored ? data : raw_deflate(data);
  std::string file = std::string(k_prefix, 'x') + stream + "after";
  if (c.fault == Fault::truncated) file.resize(k_prefix + stream.size() / 2);
  TempArchive archive(file);
  ASSERT_EQ(fseek(archive.stream(), static_cast<long>(k_prefix), SEEK_SET), 0);
  OutputFile output = c.fault == Fault::unwritable ? OutputFile{open_read_only("out")}
                                                   : platform_create_output_file("out", -1);
  ASSERT_NE(output.handle, -1);

  WholeMember member{archive.stream(), output, k_prefix, stream.size(), data.size(), crc32_of(data), false, c.stored};
  if (c.fault == Fault::size_too_small) member.uncompressed_size -= 1;
  if (c.fault == Fault::size_too_large) member.uncompressed_size += 1;
  if (c.fault == Fault::wrong_crc) member.crc32 ^= 0x80;
  CipherKeys before{0x12345678, 0x23456789, 0x34567890};
  cipher_keys = before;

  std::uint64_t stands_at = 0;
  bool decoded = decode_whole_member(member, &stands_at);
  platform_close_output(output);
  EXPECT_EQ(decoded, c.fault == Fault::none);
  if (decoded) {
    EXPECT_EQ(static_cast<long>(stands_at), ftell(archive.stream())) << "where the archive stands, as told";
    std::string written = read_file("out");
    EXPECT_EQ(written.size(), data.size());
    EXPECT_TRUE(written == data) << "the output holds other bytes";
    return;
  }
  EXPECT_EQ(ftell(archive.stream()), static_cast<long>(k_prefix)) << "the archive stands at the data again";
  EXPECT_EQ(read_file("out"), "") << "the output file is empty again";
  EXPECT_EQ(cipher_keys.key0, before.key0);
  EXPECT_EQ(cipher_keys.key2, before.key2);
}

// 3,000 bytes fit the 10 KiB buffers; 200 KB go to memory or a mapped file;
// 13 MB exceed the memory bound.
INSTANTIATE_TEST_SUITE_P(
    Placements, WholeMemberTest,
    testing::Values(Case{"small", 3000, Fault::none}, Case{"medium", 200000, Fault::none},
                    Case{"large", 13000000, Fault::none}, Case{"small_truncated", 3000, Fault::truncated},
                    Case{"medium_truncated", 200000, Fault::truncated}, Case{"small_short", 3000, Fault::size_too_small},
                    Case{"medium_short", 200000, Fault::size_too_small},
                    Case{"large_long", 13000000, Fault::size_too_large}, Case{"medium_long", 200000, Fault::size_too_large},
                    Case{"small_crc", 3000, Fault::wrong_crc}, Case{"large_crc", 13000000, Fault::wrong_crc},
                    Case{"small_unwritable", 3000, Fault::unwritable},
                    Case{"medium_unwritable", 200000, Fault::unwritable},
                    Case{"stored_small", 3000, Fault::none, true}, Case{"stored_large", 13000000, Fault::none, true},
                    Case{"stored_truncated", 200000, Fault::truncated, true},
                    Case{"stored_sizes_differ", 200000, Fault::size_too_small, true},
                    Case{"stored_small_longer", 3000, Fault::size_too_large, true},
                    Case{"stored_crc", 3000, Fault::wrong_crc, true},
                    Case{"stored_large_crc", 13000000, Fault::wrong_crc, true},
                    Case{"stored_large_truncated", 13000000, Fault::truncated, true},
                    Case{"stored_large_unwritable", 13000000, Fault::unwritable, true}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// An enciphered member is deciphered in memory: after a failure its keys
// are those of the data's first byte again, whatever it deciphered.
TEST(WholeMember, EncipheredMemberFailingKeepsItsKeys) {
  ScopedTempDir folder;
  if (archive_state.read_buffer == nullptr) {
    archive_state.read_buffer = static_cast<unsigned char*>(malloc(k_buffer_size));
    archive_state.output_buffer = static_cast<unsigned char*>(malloc(k_buffer_size));
  }
  std::string garbage(50000, '\xA5');
  TempArchive archive(garbage);
  OutputFile output = platform_create_output_file("out", -1);
  ASSERT_NE(output.handle, -1);
  seed_keys("secret");
  CipherKeys before = cipher_keys;
  WholeMember member{archive.stream(), output, 0, garbage.size(), 60000, 0, true, false};
  std::uint64_t stands_at = 0;
  EXPECT_FALSE(decode_whole_member(member, &stands_at));
  platform_close_output(output);
  EXPECT_EQ(cipher_keys.key0, before.key0);
  EXPECT_EQ(cipher_keys.key1, before.key1);
  EXPECT_EQ(cipher_keys.key2, before.key2);
  EXPECT_EQ(ftell(archive.stream()), 0);
  end_whole_members();
}

// The bytes this process has handed to write calls so far, pwrite included,
// as Linux counts them.
std::uint64_t bytes_written() {
  std::string io = read_file("/proc/self/io");
  std::size_t at = io.find("wchar: ");
  return at == std::string::npos ? 0 : std::stoull(io.substr(at + 7));
}

// A member that declares more than deflate can make of its data is lying:
// nothing is reserved for it, where 255 MiB of zeros would reach the disk
// before the decoder found a one-byte member.
TEST(WholeMember, SizeItsDataCannotMakeReservesNothing) {
  ScopedTempDir folder;
  if (archive_state.read_buffer == nullptr) {
    archive_state.read_buffer = static_cast<unsigned char*>(malloc(k_buffer_size));
    archive_state.output_buffer = static_cast<unsigned char*>(malloc(k_buffer_size));
  }
  std::string stream = raw_deflate("x");
  TempArchive archive(stream);
  OutputFile output = platform_create_output_file("out", -1);
  ASSERT_NE(output.handle, -1);
  WholeMember member{archive.stream(), output, 0, stream.size(), 255u << 20, crc32_of("x"), false, false};
  std::uint64_t before = bytes_written();
  std::uint64_t stands_at = 0;
  EXPECT_FALSE(decode_whole_member(member, &stands_at));
  EXPECT_LT(bytes_written() - before, 1u << 20);
  platform_close_output(output);
  EXPECT_EQ(read_file("out"), "");
  end_whole_members();
}

}  // namespace
