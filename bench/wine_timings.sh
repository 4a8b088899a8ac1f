#!/usr/bin/env bash
# Timings of the Windows program under Wine, after scripts/windows.sh: process start-up
# (`--help`), `log` on a rack without cards and on a silent card (whose slot query
# times out after 1000 empty polls), and the cost of 1000 one-millisecond sleeps with
# and without the raised timer resolution.
# Usage: bench/wine_timings.sh [runs]
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-10}
build=$PWD/build-windows
export WINEPREFIX=$build/wine WINEARCH=win64 WINEDEBUG=-all
wineserver -p </dev/null >/dev/null 2>&1 || true
trap 'wineserver -k 2>/dev/null || true' EXIT
program=$build/cardbench/nexir-updater.exe
wine "$program" --help >/dev/null   # warm-up: the prefix's services start once

# Mean wall time of `runs` runs of the command, in seconds.
mean() {
  local start end
  start=$(date +%s.%N)
  for _ in $(seq "$runs"); do "$@" >/dev/null 2>&1 || true; done
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" -v n="$runs" 'BEGIN { printf "%.3f", (b - a) / n }' 
}

echo "start-up (--help):          $(mean wine "$program" --help) s"
echo "log, no devices:            $(CARDBENCH_SCENARIO=$PWD/cardbench/scenarios/no_devices.json mean wine "$program" log -b 115200) s"
echo "log, one silent card:       $(CARDBENCH_SCENARIO=$PWD/cardbench/scenarios/silent_card.json mean wine "$program" log -b 115200) s"

sleeps=$build/poll_sleep_windows.exe
x86_64-w64-mingw32-g++-posix -O2 -std=c++17 -static -o "$sleeps" bench/poll_sleep_windows.cpp -lwinmm
wine "$sleeps"
