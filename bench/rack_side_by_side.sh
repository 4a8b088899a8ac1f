#!/usr/bin/env bash
# A rack's four slots updated side by side, against the same four updates in a row and
# one update alone, all in one run. The cards are the bench's cardbench/scenarios/
# rack_four.json, a real card's timeline: the FIFO takes 8 MB/s, then the CRC check, the
# flash write and the verification take 1.5, 4 and 1.5 s. The four processes' benches
# share their opens (CARDBENCH_SHARED_DIR), as processes on one machine do through the
# USB bus, and take turns finding the cards through the program's machine-wide lock.
# Usage: [SIZE=bytes] bench/rack_side_by_side.sh [build-dir]   (default: a 32 MiB image)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
size=${SIZE:-$((32 << 20))}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
head -c "$size" /dev/urandom >"$work/image.bin"
export LD_LIBRARY_PATH="$PWD/$build/cardbench" CARDBENCH_SCENARIO="$PWD/cardbench/scenarios/rack_four.json"
export CARDBENCH_SHARED_DIR="$work/shared"

update() {  # slot; fails, with the end of its log, unless the update succeeded
    if ! "$build/nexir-updater" update -b 115200 -t FPGA -w STD -f "$work/image.bin" -s "$1" \
        >"$work/slot$1.log" 2>&1; then
        echo "slot $1 failed:" >&2
        tr '\r' '\n' <"$work/slot$1.log" | tail -n 5 >&2
        return 1
    fi
}
now() { date +%s.%N; }
since() { awk -v start="$1" -v end="$(now)" 'BEGIN { printf "%.2f", end - start }'; }

start=$(now)
update 1
alone=$(since "$start")

start=$(now)
for slot in 1 2 3 4; do update "$slot"; done
row=$(since "$start")

start=$(now)
pids=()
for slot in 1 2 3 4; do
    update "$slot" &
    pids+=($!)
done
for pid in "${pids[@]}"; do wait "$pid"; done
side=$(since "$start")

awk -v size="$size" -v alone="$alone" -v row="$row" -v side="$side" 'BEGIN {
    timeline = (size + 32) / 8e6 + 1.5 + 4 + 1.5
    printf "image %d bytes; the card alone takes about %.1f s from the request on\n", size, timeline
    printf "one update alone:   %6.2f s\n", alone
    printf "four in a row:      %6.2f s (%.2fx one alone)\n", row, row / alone
    printf "four side by side:  %6.2f s (%.2fx one alone, %.2fx faster than in a row)\n", side, side / alone, row / side
}'
