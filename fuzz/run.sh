#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (build-fuzz/) and fuzzes each from its seeds
# (only read: fuzz/corpus/<target>/; the bench's readers start from the bundled scenarios
# and the field recordings of the tests) for the given seconds (default 30); new entries
# and crash inputs go to build-fuzz/fuzz/. Fails when a target crashes, hangs for 10 s on
# one input or breaks one of its properties. Usage: fuzz/run.sh [seconds-per-target]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30} build=build-fuzz
cxx=$(command -v clang++ || command -v clang++-14) ||
  { echo "fuzz/run.sh: clang++ not found (scripts/install-deps.sh clang libfuzzer-14-dev libclang-rt-14-dev)" >&2; exit 1; }
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$cxx" \
      -DNEXIR_BUILD_TESTS=OFF -DNEXIR_BUILD_FUZZERS=ON -DNEXIR_WERROR=ON >/dev/null
cmake --build "$build" --target nexir_fuzzers -j2
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
failed=()
seeds() {
  case $1 in
    scenario_loader) echo cardbench/scenarios ;;
    recording_reader) echo tests/e2e/recordings ;;
    *) echo fuzz/corpus/"$1" ;;
  esac
}
for target in answer_framing upgrade_events device_description scenario_loader recording_reader; do
  out=$build/fuzz; log=$out/$target.log
  mkdir -p "$out/corpus/$target" "$out/artifacts/$target"
  "$out/fuzz_$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$out/artifacts/$target/" "$out/corpus/$target" "$(seeds "$target")" >"$log" 2>&1 ||
    { tail -n 40 "$log"; failed+=("$target"); }
  echo "$target: $(sed -n 's/^stat::number_of_executed_units: *//p' "$log") executions"
done
[ ${#failed[@]} -eq 0 ] || { echo "fuzz/run.sh: failed: ${failed[*]} (logs in $build/fuzz/)" >&2; exit 1; }
