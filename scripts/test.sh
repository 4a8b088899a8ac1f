#!/usr/bin/env bash
# Builds everything with the tests (whatever an earlier configure, such as the demo's,
# chose) and runs the whole test suite in parallel; fails when no test is found.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
echo "configuring build/ with the tests..."
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DNEXIR_BUILD_TESTS=ON "$@" >/dev/null
cmake --build build -j"$(nproc)"
echo "running the tests (a few minutes: some wait on the card's real time-outs)..."
ctest --test-dir build -j"$(nproc)" --output-on-failure --no-tests=error
