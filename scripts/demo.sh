#!/usr/bin/env bash
# Builds everything, packs demo/sample into a self-extractor with mksfx, runs
# it in a fresh folder and shows what it extracted.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

build=${BUILD_DIR:-build}
echo "== build ($build)"
cmake -S . -B "$build"
cmake --build "$build" -j "$(nproc)"

# git keeps no empty folders; the sample has one.
mkdir -p demo/sample/empty-folder

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo
echo "== $build/tools/mksfx/mksfx -o $work/sample-setup demo/sample"
"$build/tools/mksfx/mksfx" -o "$work/sample-setup" demo/sample

echo
echo "== running $work/sample-setup in the empty folder $work/extract"
mkdir "$work/extract"
(cd "$work/extract" && "$work/sample-setup" </dev/null)

echo
echo "== what it extracted"
(cd "$work/extract" && find . -mindepth 1 -printf '%M %6s  %TY-%Tm-%Td %TH:%TM  %p\n' | sort -k5)

echo
echo "== diff -r demo/sample $work/extract/sample"
diff -r demo/sample "$work/extract/sample"
echo "identical"
"$work/extract/sample/bin/hello.sh"
