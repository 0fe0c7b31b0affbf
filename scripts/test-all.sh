#!/usr/bin/env bash
# Installs what is missing, builds the three stubs, mksfx and the tests, and
# runs every test: the normal build, then the sanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)

echo "== build (release, warnings as errors)"
cmake -S . -B build -DSFX_WERROR=ON
cmake --build build -j "$jobs"

echo "== tests"
ctest --test-dir build --output-on-failure -j "$jobs" -LE 'large|chroot'

# The static stub started in a Debian 11 chroot, made by debootstrap once per
# build folder (about 40 MB fetched, 40 s; then under a second). Verbose, so
# that a skip (not root, no network) shows its reason.
echo "== old distribution (Debian 11 chroot)"
ctest --test-dir build --output-on-failure -V -L chroot

# A member past 4 GiB, extracted by every stub: about 12 GB of scratch files.
echo "== large tests"
free_kib=$(df -Pk "${TMPDIR:-/tmp}" | awk 'NR == 2 { print $4 }')
if [ "$free_kib" -ge $((12 * 1000 * 1000 * 1000 / 1024)) ]; then
  ctest --test-dir build --output-on-failure -L large
else
  echo "skipped: the large tests need 12 GB free in ${TMPDIR:-/tmp}, which has $((free_kib / 1024)) MiB"
fi

echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DENABLE_SANITIZERS=ON -DSFX_WERROR=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
cmake --build build-asan -j "$jobs"
ctest --test-dir build-asan --output-on-failure -j "$jobs" -LE 'wine|slow'
