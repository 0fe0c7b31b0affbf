#!/usr/bin/env bash
# Counts the system calls of one extraction by a stub, into a fresh folder on
# tmpfs (/dev/shm), with strace:  bench/syscall_count.sh STUB ARCHIVE.zip
set -euo pipefail
stub=$1 archive=$2
work=$(mktemp -d /dev/shm/syscalls.XXXXXX)
trap 'rm -rf "$work"' EXIT
cat "$stub" "$archive" > "$work/x.sfx"
chmod +x "$work/x.sfx"
zip -qA "$work/x.sfx"
mkdir "$work/out"
(cd "$work/out" && strace -f -o "$work/trace" ../x.sfx > /dev/null < /dev/null)
awk -v name="$(basename "$stub") $(basename "$archive")" '
  /^[0-9]+ +[a-z_0-9]+\(/ { split($2, part, "("); count[part[1]]++; total++ }
  /^[0-9]+ +read\(/ { n = split($0, part, "= "); read_bytes += part[n] }
  END { printf "%-34s calls %7d  read %5d (%11d B)  write %6d  lseek %6d  mkdir %5d  stat %6d\n",
               name, total, count["read"], read_bytes, count["write"], count["lseek"], count["mkdir"],
               count["newfstatat"] }' "$work/trace"
