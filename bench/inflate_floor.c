/* inflate_floor.c - how fast zlib alone inflates one deflated member held in
 * memory, with input and output handed over in chunks of a given size, the
 * CRC-32 computed or not. The stub's extraction cannot be faster than this
 * with the same chunk sizes.
 *
 *   cc -O2 bench/inflate_floor.c -o /tmp/inflate_floor -l:libz.a
 *   /tmp/inflate_floor ARCHIVE.zip IN_CHUNK OUT_CHUNK CRC(0|1)
 *
 * The first member of ARCHIVE.zip is used; CPU time of the best of 5 passes.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <zlib.h>

static double cpu_seconds(void) {
  struct timespec now;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return now.tv_sec + now.tv_nsec * 1e-9;
}

static unsigned le16(const unsigned char* p) { return p[0] | p[1] << 8; }
static unsigned long le32(const unsigned char* p) { return le16(p) | (unsigned long)le16(p + 2) << 16; }

int main(int argc, char** argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: %s ARCHIVE.zip IN_CHUNK OUT_CHUNK CRC(0|1)\n", argv[0]);
    return 2;
  }
  size_t in_chunk = strtoul(argv[2], NULL, 10), out_chunk = strtoul(argv[3], NULL, 10);
  int with_crc = atoi(argv[4]);
  FILE* file = fopen(argv[1], "rb");
  unsigned char header[30];
  if (file == NULL || fread(header, 1, 30, file) != 30 || le32(header) != 0x04034b50 || le16(header + 8) != 8) {
    fprintf(stderr, "the first member of %s is not a deflated member\n", argv[1]);
    return 1;
  }
  unsigned long compressed = le32(header + 18);
  fseek(file, le16(header + 26) + le16(header + 28), SEEK_CUR);
  unsigned char* data = malloc(compressed + 4);
  unsigned char* in = malloc(in_chunk);
  unsigned char* out = malloc(out_chunk);
  if (data == NULL || in == NULL || out == NULL || fread(data, 1, compressed, file) != compressed) return 1;
  double best = 1e9;
  unsigned long total = 0, crc = 0;
  for (int pass = 0; pass < 5; pass++) {
    z_stream stream;
    memset(&stream, 0, sizeof stream);
    if (inflateInit2(&stream, -15) != Z_OK) return 1;
    double start = cpu_seconds();
    size_t position = 0;
    int status = Z_OK;
    total = 0;
    crc = 0;
    stream.next_out = out;
    stream.avail_out = out_chunk;
    while (status != Z_STREAM_END) {
      if (stream.avail_in == 0) {
        size_t count = compressed - position < in_chunk ? compressed - position : in_chunk;
        if (count == 0) return 1;
        memcpy(in, data + position, count); /* as a read into the stub's buffer would */
        position += count;
        stream.next_in = in;
        stream.avail_in = count;
      }
      status = inflate(&stream, Z_NO_FLUSH);
      if (status < 0) return 1;
      size_t produced = out_chunk - stream.avail_out;
      if (with_crc) crc = crc32(crc, out, produced);
      total += produced;
      stream.next_out = out;
      stream.avail_out = out_chunk;
    }
    double spent = cpu_seconds() - start;
    if (spent < best) best = spent;
    inflateEnd(&stream);
  }
  printf("in %zu, out %zu, crc %s: %.1f ms for %lu bytes (%.0f MB/s)\n", in_chunk, out_chunk,
         with_crc ? "yes" : "no", best * 1000, total, total / best / 1e6);
  return 0;
}
