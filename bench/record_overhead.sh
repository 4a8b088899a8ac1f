#!/usr/bin/env bash
# What the D2XX recorder costs the program: `log` of four cards that answer at once
# without and with the recorder in front of the bench (hyperfine), then the 64 MiB update
# of update_64mib.sh without and with it, in turns, and the size of each recording.
# Usage: bench/record_overhead.sh [build-dir] [rounds]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
rounds=${2:-3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
recording=$work/recording.jsonl

sed 's/"fpga_version"/"latency_ms": 0, "fpga_version"/' cardbench/scenarios/four_cards.json >"$work/four.json"
command -v hyperfine >/dev/null || scripts/install-deps.sh hyperfine
# Each run writes a new recording, as in use: replacing a file's contents makes ext4
# write it out at close, which alone costs milliseconds.
CARDBENCH_SCENARIO="$work/four.json" hyperfine -N --warmup 20 --runs 200 --prepare "rm -f $recording" \
  -n "log without the recorder" "env LD_LIBRARY_PATH=$build/cardbench $build/nexir-updater log -b 115200" \
  -n "log with the recorder" "env LD_LIBRARY_PATH=$build/recorder NEXIR_RECORD=$recording \
      NEXIR_RECORD_D2XX=$PWD/$build/cardbench/libftd2xx.so $build/nexir-updater log -b 115200"
echo "recording of one log: $(wc -c <"$recording") bytes"

for round in $(seq "$rounds"); do
  echo "round $round without the recorder:"
  bench/update_64mib.sh "$build"
  echo "round $round with the recorder:"
  RECORDING=$recording bench/update_64mib.sh "$build"
  echo "recording: $(wc -c <"$recording") bytes in $(wc -l <"$recording") lines," \
       "$(grep -c '"fn":"FT_GetStatus"' "$recording") of them polls for" \
       "$(sed -n 's/.*"calls":\([0-9]*\),.*/\1/p' "$recording" | tail -n 1) calls"
done
