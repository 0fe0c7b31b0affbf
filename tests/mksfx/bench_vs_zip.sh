#!/usr/bin/env bash
# Compares mksfx with zip -r -6 on one folder: time (hyperfine) and size.
#   tests/mksfx/bench_vs_zip.sh [FOLDER] [MKSFX]
# Not part of ctest: timings belong on a quiet machine.
set -euo pipefail
folder=${1:-/usr/lib/python3.11}
mksfx=${2:-build/tools/mksfx/mksfx}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
hyperfine --warmup 1 --runs 5 \
  -n "zip -r -6" "rm -f $work/z.zip; zip -qr -6 $work/z.zip $folder" \
  -n "mksfx -6" "$mksfx -q -6 -o $work/m.run $folder 2>/dev/null"
printf '%-10s %12s bytes\n' "zip -r -6" "$(stat -c %s "$work/z.zip")" "mksfx -6" "$(stat -c %s "$work/m.run")"
