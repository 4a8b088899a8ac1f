#!/usr/bin/env bash
# Builds nexir-updater and the virtual card bench, then rehearses an update of the
# bundled FPGA image on the card in slot 3 of a virtual two-card rack, and lists the rack.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
echo "building nexir-updater and the card bench in build/ (a few minutes the first time)..."
# Only the program and the bench are built; the tests stay configured, so that a later
# build of everything (scripts/test.sh, or the READMEs' commands) builds them too.
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DNEXIR_BUILD_TESTS=ON >/dev/null
cmake --build build -j"$(nproc)" --target nexir-updater cardbench >/dev/null
export LD_LIBRARY_PATH="$PWD/build/cardbench" CARDBENCH_SCENARIO="$PWD/cardbench/scenarios/rack.json"
build/nexir-updater update -b 115200 -t FPGA -w STD -f cardbench/images/nexir-fpga-demo.bin -s 3
build/nexir-updater log -b 115200
