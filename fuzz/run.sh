#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (build-fuzz/) and runs each in turn: first on
# its saved crash inputs (fuzz/regressions/<target>/), then fuzzing for the given time
# from its seed corpus (fuzz/corpus/<target>/). Prints the executions and coverage of
# each run, and fails when any target crashes or breaks one of its properties.
# Usage: fuzz/run.sh [seconds-per-target]   (default 30)
# New corpus entries go to build-fuzz/fuzz/corpus/<target>/, crash inputs to
# build-fuzz/fuzz/artifacts/<target>/; the committed folders are only read.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
build=build-fuzz
targets=(answer_framing slot_answer version_token upgrade_events device_description progress_bar)

cxx=$(command -v clang++ || command -v clang++-14 || true)
if [ -z "$cxx" ]; then
  echo "fuzz/run.sh: clang++ not found (scripts/install-deps.sh clang libfuzzer-14-dev libclang-rt-14-dev)" >&2
  exit 1
fi
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$cxx" \
      -DNEXIR_BUILD_TESTS=OFF -DNEXIR_BUILD_FUZZERS=ON -DNEXIR_WERROR=ON >/dev/null
cmake --build "$build" --target nexir_fuzzers -j2

export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=()
summary=()
for target in "${targets[@]}"; do
  fuzzer=$build/fuzz/fuzz_$target
  work=$build/fuzz/corpus/$target
  artifacts=$build/fuzz/artifacts/$target/
  log=$build/fuzz/$target.log
  mkdir -p "$work" "$artifacts"

  regressions=(fuzz/regressions/"$target"/*)
  if [ -e "${regressions[0]}" ]; then
    if ! "$fuzzer" "${regressions[@]}" >"$log" 2>&1; then
      echo "== $target: a saved regression input fails again"
      tail -n 40 "$log"
      failed+=("$target (regression)")
      continue
    fi
  fi

  seeds=(fuzz/corpus/"$target")
  [ -d fuzz/regressions/"$target" ] && seeds+=(fuzz/regressions/"$target")
  status=0
  "$fuzzer" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$artifacts" \
            "$work" "${seeds[@]}" >"$log" 2>&1 || status=$?
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 || true)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$done_line")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$done_line")
  corpus=$(sed -n 's/.* corp: \([0-9]*\/[0-9a-zA-Z]*\).*/\1/p' <<<"$done_line")
  line=$(printf '%-20s executions %-10s cov %-6s ft %-6s corpus %s' "$target" "${executions:-?}" \
         "${cov:-?}" "${ft:-?}" "${corpus:-?}")
  if [ "$status" -ne 0 ]; then
    echo "== $target: CRASHED (exit $status)"
    grep -E 'PROPERTY FAILED|ERROR: (AddressSanitizer|libFuzzer|LeakSanitizer)|runtime error' "$log" | head -n 5 || true
    tail -n 40 "$log"
    ls "$artifacts"
    failed+=("$target")
    line="$line   CRASHED"
  fi
  echo "$line"
  summary+=("$line")
done

echo
echo "Fuzzing, ${seconds} s per target:"
printf '  %s\n' "${summary[@]}"
echo "fuzz: $(( ${#targets[@]} - ${#failed[@]} )) passed, ${#failed[@]} failed"
if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz/run.sh: failed: ${failed[*]} (logs in $build/fuzz/)" >&2
  exit 1
fi
