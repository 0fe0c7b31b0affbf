#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan+UBSan) in build-fuzz/ and runs
# each for SECONDS, niced, FUZZ_PARALLEL (default 1) at a time.
#   fuzz/run.sh SECONDS [TARGET...]     targets: end_record directory extract
# Work corpora grow in build-fuzz/corpus/TARGET (seeded from fuzz/seeds/TARGET);
# crashes land in build-fuzz/artifacts/TARGET; each run appends one line
# "date target seconds runs crashes" to build-fuzz/fuzz-runs.txt.
# Exit status 1 when any target found a crash.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:?usage: fuzz/run.sh SECONDS [TARGET...]}
shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(end_record directory extract)
parallel=${FUZZ_PARALLEL:-1}
build=$PWD/build-fuzz  # absolute: the extraction target changes folder

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSFX_FUZZ=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DSFX_BUILD_WINDOWS_STUBS=OFF >/dev/null
cmake --build "$build" -j 2 --target $(printf 'fuzz_%s ' "${targets[@]}")

run_one() {
  local target=$1
  local corpus=$build/corpus/$target artifacts=$build/artifacts/$target log=$build/logs/$target.log
  # libFuzzer ends without running exit handlers: the targets' scratch
  # folders go into a folder of this run, removed afterwards.
  local scratch=$build/tmp/$target
  mkdir -p "$corpus" "$artifacts" "$build/logs" "$scratch"
  local status=0
  TMPDIR=$scratch nice -n 10 "$build/fuzz/fuzz_$target" "$corpus" "$PWD/fuzz/seeds/$target" \
    -max_total_time="$seconds" -max_len=16384 -timeout=10 -rss_limit_mb=1024 -close_fd_mask=3 \
    -artifact_prefix="$artifacts/" -print_final_stats=1 >"$log" 2>&1 || status=$?
  rm -rf "$scratch"
  local runs
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  local crashes
  crashes=$(find "$artifacts" -type f | wc -l)
  echo "$(date -u +%FT%TZ) $target $seconds ${runs:-0} $crashes" | tee -a "$build/fuzz-runs.txt"
  return $status
}

failed=0
pids=()
for target in "${targets[@]}"; do
  run_one "$target" &
  pids+=($!)
  if [ ${#pids[@]} -ge "$parallel" ]; then
    wait "${pids[0]}" || failed=1
    pids=("${pids[@]:1}")
  fi
done
for pid in "${pids[@]}"; do wait "$pid" || failed=1; done
exit $failed
