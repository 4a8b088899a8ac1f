#!/usr/bin/env bash
# A 64 MiB update against a virtual card whose own timeline takes T seconds from the
# upgrade request on: how long the program runs past T, and how much CPU it uses while
# it waits on the card. With RECORDING=file the D2XX recorder stands in front of the bench
# and writes its recording there.
# Usage: [RATE=bytes-per-second] [RECORDING=file] bench/update_64mib.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

size=$((64 << 20))
rate=${RATE:-40000000}        # bytes per second: the bench FIFO at five times a real one
interval_ms=20
head -c "$size" /dev/urandom > "$work/image.bin"
cat > "$work/scenario.json" <<JSON
{"devices": [
  {"description": "KRO_NX|2.1 A", "serial": "NX0001A", "card": "card", "channel": "fifo"},
  {"description": "KRO_NX|2.1 B", "serial": "NX0001B", "card": "card", "channel": "uart"}],
 "cards": {"card": {"slot": 0, "latency_ms": 1,
   "upgrade": {"rate_bytes_per_s": $rate, "event_interval_ms": $interval_ms,
               "stage_ms": [1000, 1500, 1000]}}}}
JSON
export LD_LIBRARY_PATH="$PWD/$build/cardbench" CARDBENCH_SCENARIO="$work/scenario.json"
if [ -n "${RECORDING:-}" ]; then
  export LD_LIBRARY_PATH="$PWD/$build/recorder" NEXIR_RECORD_D2XX="$PWD/$build/cardbench/libftd2xx.so" \
         NEXIR_RECORD="$RECORDING"
fi
python3 - "$build/nexir-updater" "$work/image.bin" "$size" "$rate" "$interval_ms" <<'PY'
import os, subprocess, sys, time
program, image, size, rate, interval_ms = sys.argv[1], sys.argv[2], *map(int, sys.argv[3:])
# The card's timeline after it answered the request: the upload at its rate, the three
# later stages, and at most one event interval of slack at each of the five stage ends.
T = (size + 32) / rate + 3.5 + 5 * interval_ms / 1000
tick = os.sysconf("SC_CLK_TCK")
def cpu_seconds(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / tick
child = subprocess.Popen([program, "update", "-b", "115200", "-t", "FPGA", "-w", "STD",
                          "-f", image, "-s", "1"], stdout=subprocess.PIPE)
seen = b""
while b"UART response: <" not in seen:
    seen += os.read(child.stdout.fileno(), 4096)
answered, cpu_at_answer = time.monotonic(), cpu_seconds(child.pid)
while True:
    chunk = os.read(child.stdout.fileno(), 65536)
    if not chunk:
        break
    seen += chunk
_, status, usage = os.wait4(child.pid, 0)
ended = time.monotonic()
assert b"Update Successful" in seen and status == 0, "the update did not succeed"
waited = ended - answered
cpu = usage.ru_utime + usage.ru_stime - cpu_at_answer
print(f"card timeline after the request T <= {T:.2f} s; program ran {waited:.2f} s after it "
      f"(past T: {waited - T:+.2f} s)")
print(f"CPU while waiting on the card: {cpu:.2f} s = {100 * cpu / waited:.1f} % of one core "
      "(the in-process bench's own work included)")
PY
