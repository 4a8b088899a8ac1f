#!/usr/bin/env bash
# How long `log` takes past process start-up with four virtual cards that answer at
# once: `log` against the bench, compared with `--help` (same start-up, no cards) in the
# same run. Usage: bench/log_four_cards.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
scenario=$(mktemp --suffix=.json)
trap 'rm -f "$scenario"' EXIT
sed 's/"fpga_version"/"latency_ms": 0, "fpga_version"/' cardbench/scenarios/four_cards.json > "$scenario"
export LD_LIBRARY_PATH="$PWD/$build/cardbench" CARDBENCH_SCENARIO="$scenario"
command -v hyperfine >/dev/null || scripts/install-deps.sh hyperfine
hyperfine -N --warmup 20 --runs 200 \
  "$build/nexir-updater --help" \
  "$build/nexir-updater log -b 115200"
