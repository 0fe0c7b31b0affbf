// member_packer.cpp - compress, encipher and write the members of a folder.
#include "member_packer.h"

#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "extract/aes_member.h"
#include "extract/traditional_cipher.h"
#include "front/messages.h"
#include "mksfx_platform.h"

namespace {

constexpr std::size_t k_read_chunk = 1 << 20;
// Compressed data is kept in memory up to this size, then in a temporary file.
constexpr std::size_t k_memory_spool_limit = 64u << 20;
constexpr std::uint64_t k_progress_threshold = 16u << 20;
constexpr int k_raw_deflate_window_bits = -15;
constexpr int k_deflate_memory_level = 8;
// AES members are AES-256 and AE-2: the authentication code stands in for
// the CRC-32, which is not kept.
constexpr int k_aes_strength = 3;
constexpr std::uint16_t k_aes_version = 2;
constexpr std::uint16_t k_needed_aes = 51;

// Compressed member data on its way from the compressor to the output.
class Spool {
 public:
  Spool() = default;
  ~Spool() {
    if (spill_ != nullptr) std::fclose(spill_);
  }
  Spool(const Spool&) = delete;
  Spool& operator=(const Spool&) = delete;

  void append(const char* data, std::size_t size) {
    size_ += size;
    if (spill_ == nullptr && memory_.size() + size <= k_memory_spool_limit) {
      memory_.append(data, size);
      return;
    }
    if (spill_ == nullptr) {
      spill_ = create_spill_file();
      if (spill_ == nullptr) throw BuildError(std::string("cannot create a temporary file: ") + std::strerror(errno));
    }
    if (std::fwrite(data, 1, size, spill_) != size) {
      throw BuildError(std::string("cannot write a temporary file: ") + std::strerror(errno));
    }
  }

  std::uint64_t size() const { return size_; }

  // Hands the data to consume in order, in pieces.
  template <typename Consumer>
  void replay(Consumer&& consume) {
    if (!memory_.empty()) consume(memory_.data(), memory_.size());
    if (spill_ == nullptr) return;
    std::rewind(spill_);
    std::string chunk(k_read_chunk, '\0');
    std::size_t got;
    while ((got = std::fread(chunk.data(), 1, chunk.size(), spill_)) > 0) consume(chunk.data(), got);
    if (std::ferror(spill_)) throw BuildError("cannot read back a temporary file");
  }

 private:
  std::string memory_;
  FILE* spill_ = nullptr;
  std::uint64_t size_ = 0;
};

// A member's data: the file's bytes, or a link's target.
class InputFile {
 public:
  explicit InputFile(const SourceItem& item) : path_(item.path), link_(item.is_link ? &item.link_target : nullptr) {
    if (link_ != nullptr) return;
    file_ = open_file(path_, "rb");
    if (file_ == nullptr) throw BuildError("cannot read " + path_ + ": " + std::strerror(errno));
  }
  ~InputFile() {
    if (file_ != nullptr) std::fclose(file_);
  }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Reads up to size bytes; 0 at the end. Throws on a read error.
  std::size_t read(char* buffer, std::size_t size) {
    stop_if_interrupted();
    if (link_ != nullptr) {
      std::size_t got = link_->copy(buffer, size, link_done_);
      link_done_ += got;
      return got;
    }
    std::size_t got = std::fread(buffer, 1, size, file_);
    if (got == 0 && std::ferror(file_)) throw BuildError("cannot read " + path_ + ": " + std::strerror(errno));
    return got;
  }

 private:
  std::string path_;
  const std::string* link_;
  std::size_t link_done_ = 0;
  FILE* file_ = nullptr;
};

class Deflater {
 public:
  explicit Deflater(int level) {
    std::memset(&stream_, 0, sizeof stream_);
    if (deflateInit2(&stream_, level, Z_DEFLATED, k_raw_deflate_window_bits, k_deflate_memory_level,
                     Z_DEFAULT_STRATEGY) != Z_OK) {
      throw BuildError("cannot set up the compressor");
    }
  }
  ~Deflater() { deflateEnd(&stream_); }
  void reset() { deflateReset(&stream_); }
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  void feed(const char* data, std::size_t size, int flush, Spool& spool) {
    stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    stream_.avail_in = static_cast<uInt>(size);
    int status;
    do {
      stream_.next_out = reinterpret_cast<Bytef*>(out_);
      stream_.avail_out = sizeof out_;
      status = deflate(&stream_, flush);
      if (status == Z_STREAM_ERROR) throw BuildError("the compressor failed");
      spool.append(out_, sizeof out_ - stream_.avail_out);
    } while (stream_.avail_out == 0 || (flush == Z_FINISH && status != Z_STREAM_END));
  }

 private:
  z_stream stream_;
  char out_[256 * 1024];
};

// One read buffer for the whole run: a fresh megabyte per file would cost
// more than reading a small file.
std::string& read_buffer_for_members() {
  static std::string buffer(k_read_chunk, '\0');
  return buffer;
}

// One compressor for the whole run, reset for each member: setting one up
// takes a quarter of a megabyte.
Deflater& deflater_for_members(int level) {
  static Deflater deflater(level);
  deflater.reset();
  return deflater;
}

struct ReadResult {
  std::uint64_t size = 0;
  std::uint32_t crc = 0;
  bool compressed = false;  // the spool holds the whole deflate stream
};

void show_progress(const SourceItem& item, std::uint64_t done) {
  int percent = static_cast<int>(item.size == 0 ? 100 : done * 100 / item.size);
  std::fprintf(stderr, "\r  adding: %s %3d%%", shown(item.name).c_str(), percent);
}

// Reads the file once: its CRC-32 and, with a level, its compressed form.
ReadResult read_and_compress(const SourceItem& item, const PackSettings& settings, Spool* spool) {
  InputFile input(item);
  std::string& buffer = read_buffer_for_members();
  Deflater* deflater = spool != nullptr ? &deflater_for_members(settings.level) : nullptr;
  bool progress = settings.show_progress && item.size >= k_progress_threshold;
  ReadResult result;
  for (;;) {
    std::size_t got = input.read(buffer.data(), buffer.size());
    if (got == 0) break;
    result.size += got;
    if (result.size > k_max_member_size) throw BuildError(item.path + " is larger than the stub can seek in");
    result.crc = static_cast<std::uint32_t>(
        crc32(result.crc, reinterpret_cast<const Bytef*>(buffer.data()), static_cast<uInt>(got)));
    if (deflater) deflater->feed(buffer.data(), got, Z_NO_FLUSH, *spool);
    // Data that has already grown will be stored: stop compressing it.
    if (deflater && spool->size() >= item.size) deflater = nullptr;
    if (progress) show_progress(item, result.size);
  }
  if (deflater) deflater->feed(nullptr, 0, Z_FINISH, *spool);
  result.compressed = deflater != nullptr;
  if (progress) std::fprintf(stderr, "\r\033[K");
  return result;
}

// Enciphers in place with the traditional zip cipher's running keys.
void encipher(char* data, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    auto plain = static_cast<std::uint8_t>(data[i]);
    data[i] = static_cast<char>(plain ^ keystream_byte());
    advance_keys(plain);
  }
}

// The 12-byte encryption header: 11 random bytes and the CRC-32's high byte,
// by which the stub checks the password.
std::string make_cipher_header(const std::string& password, std::uint32_t crc) {
  std::string header(k_encryption_header_size, '\0');
  if (!read_random_bytes(header.data(), k_encryption_header_size - 1)) {
    throw BuildError(std::string("cannot read the system's random source: ") + std::strerror(errno));
  }
  header.back() = static_cast<char>(crc >> 24);
  seed_keys(password.c_str());
  encipher(header.data(), header.size());
  return header;
}

// The AES extra field, which names the real method.
std::string make_aes_extra(std::uint16_t method) {
  std::string extra;
  put_le16(extra, k_aes_extra_tag);
  put_le16(extra, k_aes_extra_data_size);
  put_le16(extra, k_aes_version);
  extra += "AE";
  extra.push_back(static_cast<char>(k_aes_strength));
  put_le16(extra, method);
  return extra;
}

// A fresh random salt and the password's verifier, which go in front of the
// data; leaves the cipher ready for it. Each member has a salt of its own,
// so no two members share keys.
std::string make_aes_header(const std::string& password) {
  std::string header(aes_salt_size(k_aes_strength), '\0');
  if (!read_random_bytes(header.data(), header.size())) {
    throw BuildError(std::string("cannot read the system's random source: ") + std::strerror(errno));
  }
  unsigned char verifier[k_aes_verifier_size];
  if (!start_aes(password.c_str(), reinterpret_cast<const unsigned char*>(header.data()), k_aes_strength, verifier)) {
    throw BuildError("the crypto library failed to derive the AES keys");
  }
  header.append(reinterpret_cast<const char*>(verifier), sizeof verifier);
  return header;
}

// The authentication code over the enciphered data, written after it.
void write_aes_code(DiskWriter& writer) {
  unsigned char code[k_aes_code_size];
  bool computed = finish_aes_code(code);
  end_aes();
  if (!computed) throw BuildError("the crypto library failed to compute the authentication code");
  write_spanning(writer, reinterpret_cast<const char*>(code), sizeof code);
}

CentralRecord describe_item(const SourceItem& item, const PackSettings& settings) {
  CentralRecord record;
  record.name = item.name;
  record.version_made_by = k_made_by_unix;
  record.version_needed = k_needed_stored;
  std::uint32_t dos_time = dos_time_of(settings.fixed_time ? *settings.fixed_time : item.mtime);
  record.dos_time = static_cast<std::uint16_t>(dos_time & 0xFFFF);
  record.dos_date = static_cast<std::uint16_t>(dos_time >> 16);
  unsigned mode = item.mode & 0777;
  // Fixed modes keep a reproducible build independent of the umask; a
  // link's mode means nothing and is always 0777.
  if (settings.fixed_time && !item.is_link) mode = (item.is_directory || (mode & 0111) != 0) ? 0755 : 0644;
  unsigned type = item.is_link ? k_unix_type_link : item.is_directory ? 0040000 : 0100000;
  std::uint32_t dos = item.dos_attributes | (item.is_directory ? k_dos_directory_attribute : 0);
  // A fixed build keeps neither the archive bit, which only says whether a
  // backup has seen the file, nor a read-only bit its fixed mode contradicts.
  if (settings.fixed_time) dos &= ~(k_dos_read_only_attribute | k_dos_archive_attribute);
  record.external_attributes = (type | mode) << 16 | dos;
  // Flagged as UTF-8 only when it is: Windows would refuse the member.
  bool ascii = true;
  for (unsigned char c : item.name) ascii = ascii && c < 0x80;
  if (!ascii && is_valid_utf8(item.name.c_str())) record.flags |= k_flag_utf8_name;
  return record;
}

// overhead: what the cipher adds to the member's data.
void report_member(const CentralRecord& record, const PackSettings& settings, std::uint32_t overhead, bool deflated) {
  if (settings.quiet) return;
  std::uint64_t plain = record.uncompressed_size;
  std::uint64_t packed = record.compressed_size - overhead;
  int saved = plain == 0 ? 0 : static_cast<int>(100 - (packed * 100 + plain / 2) / plain);
  std::printf("  adding: %s (%s %d%%)\n", shown(record.name).c_str(), deflated ? "deflated" : "stored", saved);
}

enum class MemberCipher { none, zipcrypto, aes };

// Writes the header block and streams the data through the cipher.
class MemberOutput {
 public:
  MemberOutput(DiskWriter& writer, MemberCipher cipher) : writer_(writer), cipher_(cipher) {}
  void operator()(const char* data, std::size_t size) {
    if (cipher_ == MemberCipher::none) {
      write_spanning(writer_, data, size);
      return;
    }
    buffer_.assign(data, size);
    if (cipher_ == MemberCipher::zipcrypto) {
      encipher(buffer_.data(), buffer_.size());
    } else {
      aes_encrypt_buffer(reinterpret_cast<unsigned char*>(buffer_.data()), buffer_.size());
    }
    write_spanning(writer_, buffer_.data(), buffer_.size());
  }

 private:
  DiskWriter& writer_;
  MemberCipher cipher_;
  std::string buffer_;
};

// Stores the file by reading it again; it must not have changed since.
void copy_stored(const SourceItem& item, const ReadResult& first_read, MemberOutput& output) {
  InputFile input(item);
  std::string& buffer = read_buffer_for_members();
  ReadResult again;
  while (std::size_t got = input.read(buffer.data(), buffer.size())) {
    if (again.size + got > first_read.size) break;
    again.size += got;
    again.crc = static_cast<std::uint32_t>(
        crc32(again.crc, reinterpret_cast<const Bytef*>(buffer.data()), static_cast<uInt>(got)));
    output(buffer.data(), got);
  }
  if (again.size != first_read.size || again.crc != first_read.crc) {
    throw BuildError(item.path + " changed while it was being packed");
  }
}

// A folder is a local header with no data.
CentralRecord pack_directory(DiskWriter& writer, const SourceItem& item, const PackSettings& settings) {
  CentralRecord record = describe_item(item, settings);
  DiskPosition position = write_whole(writer, encode_local_header(record));
  record.disk = position.disk;
  record.local_header_offset = position.offset;
  report_member(record, settings, 0, false);
  return record;
}

}  // namespace

CentralRecord pack_member(DiskWriter& writer, const SourceItem& item, const PackSettings& settings) {
  if (item.is_directory) return pack_directory(writer, item, settings);
  CentralRecord record = describe_item(item, settings);
  Spool spool;
  ReadResult read = read_and_compress(item, settings, settings.level > 0 ? &spool : nullptr);
  bool deflated = read.compressed && spool.size() < read.size;
  MemberCipher cipher = !settings.password                         ? MemberCipher::none
                        : settings.encryption == Encryption::zipcrypto ? MemberCipher::zipcrypto
                                                                       : MemberCipher::aes;
  std::uint16_t method = deflated ? 8 : 0;
  record.method = cipher == MemberCipher::aes ? k_method_aes : method;
  record.version_needed = cipher == MemberCipher::aes                          ? k_needed_aes
                          : (deflated || cipher != MemberCipher::none) ? k_needed_deflated
                                                                       : k_needed_stored;
  record.crc32 = cipher == MemberCipher::aes ? 0 : read.crc;
  record.uncompressed_size = read.size;
  std::uint32_t overhead = cipher == MemberCipher::aes         ? aes_overhead(k_aes_strength)
                           : cipher == MemberCipher::zipcrypto ? k_encryption_header_size
                                                               : 0;
  record.compressed_size = (deflated ? spool.size() : read.size) + overhead;
  if (cipher != MemberCipher::none) record.flags |= 1;
  if (cipher == MemberCipher::aes) record.extra = make_aes_extra(method);

  std::string header = encode_local_header(record);
  if (cipher == MemberCipher::zipcrypto) header += make_cipher_header(*settings.password, read.crc);
  if (cipher == MemberCipher::aes) header += make_aes_header(*settings.password);
  DiskPosition position = write_whole(writer, header);
  record.disk = position.disk;
  record.local_header_offset = position.offset;
  MemberOutput output(writer, cipher);
  if (deflated) {
    spool.replay(output);
  } else {
    copy_stored(item, read, output);
  }
  if (cipher == MemberCipher::aes) write_aes_code(writer);
  report_member(record, settings, overhead, deflated);
  return record;
}
