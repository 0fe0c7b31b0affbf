#!/usr/bin/env bash
# Builds mksfx and the stubs, packs demo/sample into a self-extractor, runs it
# in a fresh folder and shows what it extracted. The self-extractor stays in
# the build folder, to be run again.
set -euo pipefail
cd "$(dirname "$0")/.."
# The compiler, CMake, zlib, libdeflate and Nettle; musl for the static Linux
# stub, and dpkg-dev to unpack the zlib, libdeflate and Nettle sources it is
# built with. The test tools are left out.
bash scripts/install-deps.sh g++ cmake zlib1g-dev libdeflate-dev nettle-dev musl-tools dpkg-dev

build=${BUILD_DIR:-build-demo}
echo "== build ($build)"
cmake -S . -B "$build" -DSFX_BUILD_TESTS=OFF
cmake --build "$build" -j "$(nproc)" --target mksfx

# git keeps no empty folders; the sample has one.
mkdir -p demo/sample/empty-folder

setup=$(pwd)/$build/demo/sample-setup
mkdir -p "$(dirname "$setup")"
echo
echo "== $build/tools/mksfx/mksfx -o $setup demo/sample"
"$build/tools/mksfx/mksfx" -o "$setup" demo/sample

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo
echo "== running $setup in the empty folder $work"
(cd "$work" && "$setup" </dev/null)

echo
echo "== what it extracted"
(cd "$work" && find . -mindepth 1 -printf '%M %6s  %TY-%Tm-%Td %TH:%TM  %p\n' | sort -k5)

echo
echo "== diff -r demo/sample $work/sample"
diff -r demo/sample "$work/sample"
echo "identical"
"$work/sample/bin/hello.sh"

echo
echo "The self-extractor is $setup ($(stat -c %s "$setup") bytes)."
echo "Run it again in any empty folder:"
echo "  mkdir /tmp/sample-again && cd /tmp/sample-again && $setup"
