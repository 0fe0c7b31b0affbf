/* create_floor.c - the least an extraction's output needs: makes the files of
   a pack (written by bench/run_bench.py: for each entry a byte 'd' or 'f', the
   name's length (2 bytes) and the name, and for a file its length (4 bytes)
   and data) with mkdir, or open, write, futimens and close, nothing else.
   Read whole first, so that reading costs nothing per file.

     create_floor PACK        (in the folder to fill) */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static uint32_t le(const unsigned char* p, int bytes) {
  uint32_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = value << 8 | p[i];
  return value;
}

int main(int argc, char** argv) {
  FILE* pack = argc == 2 ? fopen(argv[1], "rb") : NULL;
  if (pack == NULL) return 2;
  fseek(pack, 0, SEEK_END);
  long size = ftell(pack);
  unsigned char* bytes = malloc((size_t)size + 1);
  rewind(pack);
  if (bytes == NULL || fread(bytes, 1, (size_t)size, pack) != (size_t)size) return 2;
  struct timespec times[2] = {{1700000000, 0}, {1700000000, 0}};
  char name[4096];
  for (long at = 0; at < size;) {
    char kind = (char)bytes[at];
    uint32_t length = le(bytes + at + 1, 2);
    memcpy(name, bytes + at + 3, length);
    name[length] = '\0';
    at += 3 + length;
    if (kind == 'd') {
      if (mkdir(name, 0755) != 0) return 1;
      continue;
    }
    uint32_t data_size = le(bytes + at, 4);
    int file = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (file < 0 || write(file, bytes + at + 4, data_size) != (ssize_t)data_size || futimens(file, times) != 0 ||
        close(file) != 0) {
      return 1;
    }
    at += 4 + data_size;
  }
  return 0;
}
