#!/usr/bin/env bash
# Builds and tests under the sanitizers: the whole suite with AddressSanitizer and
# UndefinedBehaviorSanitizer, the update and transfer tests with ThreadSanitizer.
# Usage: scripts/sanitizers.sh [asan|tsan]...   (default: both)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)
export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

run_asan() {
  cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNEXIR_WERROR=ON \
        -DNEXIR_SANITIZE=address,undefined >/dev/null
  cmake --build build-asan -j"$jobs"
  ctest --test-dir build-asan -j"$jobs" --output-on-failure
}

# Only what runs two threads at once: the transfer task beside the event loop, the
# bench that serves both, and the recorder that records both.
run_tsan() {
  cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNEXIR_WERROR=ON \
        -DNEXIR_SANITIZE=thread >/dev/null
  local targets=(nexir-updater cardbench cardbench_tests unit_tests)
  for source in tests/e2e/update*_test.cpp tests/e2e/recorder_test.cpp; do
    targets+=("e2e_$(basename "$source" .cpp)")
  done
  cmake --build build-tsan -j"$jobs" --target "${targets[@]}"
  ctest --test-dir build-tsan -j"$jobs" --output-on-failure -R '^(Update|Recorder|ProgressBar|cardbench\.)'
}

for job in "${@:-asan tsan}"; do
  for one in $job; do "run_$one"; done
done
