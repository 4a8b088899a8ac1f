#!/usr/bin/env bash
# The strongest round trip of a recording: nexir-updater runs on FTDI's own D2XX library,
# with the recorder in front, over FT2232H cards that the card bench's USB face
# (cardbench-usb) shows at the usbfs level; then on the card bench that replays the
# recording. Both runs must print the same (the stage durations and the elapsed time
# aside) and exit alike: `log` of a two-card rack, and a 4 MiB update through a FIFO paced
# at 8 MB/s. FTDI's library never enters the project: the user names the copy they have.
#
# Usage: FTDI_D2XX_LIBRARY=PATH recorder/real-roundtrip.sh [OUT]
#   FTDI_D2XX_LIBRARY  FTDI's libftd2xx.so for Linux, from FTDI's D2XX driver release
#   OUT                where the recordings and outputs go (default: a new temporary folder)
# Needs a build in $BUILD_DIR (default build). Exit 0 when both round trips hold, 2 when
# something it needs is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
needs() { echo "real-roundtrip.sh: needs $*" >&2; exit 2; }
lib=${FTDI_D2XX_LIBRARY:-}
[ -n "$lib" ] && [ -f "$lib" ] ||
    needs "FTDI's D2XX library: set FTDI_D2XX_LIBRARY to the path of its libftd2xx.so (FTDI's driver" \
        "release for Linux; docs/hardware.md, \"The D2XX library from FTDI\")"
lib=$(cd "$(dirname "$lib")" && pwd)/$(basename "$lib")
out=${1:-$(mktemp -d)}
build=$(cd "${BUILD_DIR:-build}" && pwd)
for file in nexir-updater recorder/libftd2xx.so cardbench/libftd2xx.so cardbench/cardbench-usb; do
    [ -f "$build/$file" ] || needs "$build/$file; build the project first"
done
mkdir -p "$out"
head -c $((4 << 20)) /dev/urandom >"$out/image-4mib.bin"
# One card in slot 2 whose FIFO takes 8 MB/s, as the asynchronous 245 FIFO carries.
cat >"$out/paced.json" <<'SCENARIO'
{"devices": [{"description": "KRO_NX|2.1 A", "serial": "NX4711A", "card": "card", "channel": "fifo"},
             {"description": "KRO_NX|2.1 B", "serial": "NX4711B", "card": "card", "channel": "uart"}],
 "cards": {"card": {"slot": 1, "upgrade": {"rate_bytes_per_s": 8000000}}}}
SCENARIO

# What a run showed, with the times the program measured itself masked.
shown() {
    sed -E 's/>> [0-9.e+-]+ seconds\./>> <t> seconds./; s/Elapsed Time [0-9]+mins [0-9]+secs/Elapsed Time <t>/' \
        "$out/$1.out"
    echo "--- standard error"
    grep -v '^nexir-updater recorder: recording ' "$out/$1.err" || true
    echo "--- exit $(cat "$out/$1.rc")"
}

# NAME SCENARIO PROGRAM ARGUMENTS...: records on the real library, replays on the bench.
failed=0
roundtrip() {
    local name=$1 scenario=$2
    shift 2
    "$build/cardbench/cardbench-usb" --scenario "$scenario" -- \
        env LD_LIBRARY_PATH="$build/recorder" NEXIR_DRIVER=d2xx NEXIR_RECORD_D2XX="$lib" NEXIR_RECORD="$out/$name.jsonl" \
        "$build/nexir-updater" "$@" >"$out/$name.real.out" 2>"$out/$name.real.err" && rc=0 || rc=$?
    echo "$rc" >"$out/$name.real.rc"
    LD_LIBRARY_PATH="$build/cardbench" CARDBENCH_SCENARIO="$out/$name.jsonl" \
        CARDBENCH_CALL_LOG="$out/$name.replay-calls.jsonl" \
        "$build/nexir-updater" "$@" >"$out/$name.replay.out" 2>"$out/$name.replay.err" && rc=0 || rc=$?
    echo "$rc" >"$out/$name.replay.rc"
    if [ "$(cat "$out/$name.real.rc")" != 0 ]; then
        echo "FAIL $name: the run on FTDI's library itself failed:"; shown "$name.real"; failed=1
    elif ! diff <(shown "$name.real") <(shown "$name.replay") >"$out/$name.diff"; then
        echo "FAIL $name: the replay differs from the recorded run (real < > replay):"; cat "$out/$name.diff"; failed=1
    else
        echo "PASS $name: replayed alike ($(wc -l <"$out/$name.jsonl") recorded lines, $(wc -c <"$out/$name.jsonl")" \
            "bytes): $(grep -m 1 -E 'serial:|Successful' "$out/$name.real.out")"
    fi
}

roundtrip log cardbench/scenarios/rack.json log -b 115200
roundtrip update "$out/paced.json" update -b 115200 -t FPGA -w STD -f "$out/image-4mib.bin" -s 2
echo "recordings and outputs in $out"
exit "$failed"
