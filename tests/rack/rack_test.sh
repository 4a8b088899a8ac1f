#!/usr/bin/env bash
# A bench rack updated side by side by scripts/update-rack.sh and by the Ansible role: each slot's result, the exit
# status or play recap; what the script says of each slot when interrupted. Usage:
# rack_test.sh script|interrupted|shared|ansible_update|ansible_current|ansible_failure PROGRAM SOURCE_DIR BENCH_DIR.
# PROGRAM may be a command of several words (the Windows program under Wine); `shared` runs the processes on benches
# that share their opens, as the devices of one machine are shared.
set -uo pipefail; src=$3 tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
export LD_LIBRARY_PATH=$4 CARDBENCH_SCENARIO=$src/cardbench/scenarios/rack_four_mixed.json NEXIR_UPDATER=$tmp/nexir-updater
image=$src/cardbench/images/nexir-fpga-demo.bin fails=$tmp/fails.json
sed '/"c": {"slot": 2/{n;s/"upgrade": {/&"fail_at_stage": 3, /}' "$CARDBENCH_SCENARIO" >"$fails"
# An update waits for $SIDE_BY_SIDE updates to start, so that updates run one after another fail.
# shellcheck disable=SC2016
printf '#!/bin/sh\nup() { [ $(ls %s | grep -c ^started) -ge "$SIDE_BY_SIDE" ]; }\n[ "$1" != update ] || { : >%s/started.$$
  for _ in $(seq 600); do up && break; sleep 0.1; done; up || exit 99; }\nexec %s "$@"\n' "$tmp" "$tmp" "$2" | install /dev/stdin "$NEXIR_UPDATER"
expect() {  # STATUS 'GLOB|...' COMMAND...: the command's exit status, each glob in its output, no retry noise
    IFS='|' read -ra globs <<<"$2"; rm -rf "$tmp"/started* "$tmp/logs"; out=$("${@:3}" 2>&1); status=$?
    for glob in "${globs[@]}"; do [[ $out == *$glob* ]] || status="$status, no '$glob'"; done
    [[ $out != *"FAILED - RETRYING"* ]] || status="$status, a retry shown as FAILED"
    [ "$status" = "$1" ] || { tr '\r' '\n' <<<"$out"; echo "FAIL: ${*:3}: exit $status (expected $1)"; exit 1; }; }
rack() { SIDE_BY_SIDE=$1 "$src/scripts/update-rack.sh" -l "$tmp/logs" "${@:2}"; }
twice() {  # two racks update slot 1 at once, each log shown: succeeds when exactly one of them did
    rack 2 -l "$tmp/logs.a" "$image" FPGA STD 1 >/dev/null & a=$!
    rack 2 -l "$tmp/logs.b" "$image" FPGA STD 1 >/dev/null & b=$!
    wait $a; first=$?; wait $b; second=$?; cat "$tmp"/logs.?/slot1.log; [ $((first + second)) -eq 1 ]; }
playbook() {  # SCENARIO [VARIABLES]: the bench inventory's host with this build, and no Ansible collection
    printf '{"nexir_rack_program": "%s", "nexir_rack_log_dir": "%s", "nexir_rack_environment": {"LD_LIBRARY_PATH": "%s",
      "CARDBENCH_SCENARIO": "%s", "SIDE_BY_SIDE": "2"}%s}' "$NEXIR_UPDATER" "$tmp/logs" "$LD_LIBRARY_PATH" "$1" "${2:+, $2}" >"$tmp/vars.json"
    ANSIBLE_NOCOLOR=1 ANSIBLE_COLLECTIONS_SCAN_SYS_PATH=false ANSIBLE_COLLECTIONS_PATH=$tmp ANSIBLE_LOCAL_TEMP=$tmp/a \
        ANSIBLE_ASYNC_DIR=$tmp/a ansible-playbook -i "$src/ansible/inventory/bench.yml" "$src/ansible/site.yml" -e "@$tmp/vars.json"; }
case $1 in
script) expect 0 'slot 1: ok|slot 2: ok|slot 3: ok|slot 4: ok' rack 4 "$image" FPGA STD 1 2 3 4
        CARDBENCH_SCENARIO=$fails expect 1 "slot 3: FAILED (exit 1), log $tmp/logs/slot3.log|slot 4: ok" rack 2 "$image" SW STD 3 4 ;;
interrupted)  # slot 3 still uploading (16 s) while slot 4 writes its flash (20 s): each Ctrl-C is told at once
    sed '/"c": {"slot": 2/{n;s/"upgrade": {/&"rate_bytes_per_s": 50000, /}; /"d": {"slot": 3/{n;s/\[200, 300, 200\]/[200, 20000, 200]/}' \
        "$CARDBENCH_SCENARIO" >"$tmp/slow.json"
    set -m  # else the shell starts it with SIGINT ignored, which no trap can undo
    CARDBENCH_SCENARIO=$tmp/slow.json SIDE_BY_SIDE=2 "$src/scripts/update-rack.sh" -l "$tmp/logs" "$image" FPGA STD 3 4 \
        >"$tmp/out" 2>&1 & rack=$!
    said() { for _ in $(seq 300); do grep -q "$1" "$2" 2>/dev/null && return; sleep 0.1; done
             kill "$rack"; cat "$tmp/out"; echo "FAIL: no '$1' in $2"; exit 1; }
    said "step 3 of" "$tmp/logs/slot4.log"
    kill -INT "$rack"; said "slot 3: told to abort" "$tmp/out"; said "slot 4: finishing its flash write" "$tmp/out"
    kill -INT "$rack"; said "slot 4: told to abort" "$tmp/out"
    wait "$rack"; status=$?
    [ "$status" = 1 ] && grep -q "slot 3: FAILED (exit 130)" "$tmp/out" && grep -q "slot 4: FAILED (exit 130)" "$tmp/out" ||
        { cat "$tmp/out"; echo "FAIL: interrupted rack: exit $status"; exit 1; } ;;
shared) export CARDBENCH_SHARED_DIR=$tmp/shared
        expect 0 'slot 1: ok|slot 2: ok|slot 3: ok|slot 4: ok' rack 4 "$image" FPGA STD 1 2 3 4
        expect 0 'Update Successful|error: no cards found in specified slot' twice ;;
ansible_update) expect 0 "FPGA already at 2.1.0|SW already at 1.4.2|slot 3 (NX0003A): FPGA updated from 1.0.9 to 2.1.0, log \
$tmp/logs/slot3.log|slot 4 (NX0004A): SW updated from 1.3.0 to 1.4.2|changed=1 *failed=0" playbook "$CARDBENCH_SCENARIO" ;;
ansible_current) expect 0 'FPGA already at 1.0.9|SW already at 1.3.0|changed=0 *failed=0' playbook "$CARDBENCH_SCENARIO" \
    '"nexir_rack_slots": {"3": {"type": "FPGA", "version": "1.0.9", "image": "/none"}, "4": {"type": "SW", "version": "1.3.0", "image": "/none"}}' ;;
ansible_failure) expect 2 "slot 3 (NX0003A): FPGA update from 1.0.9 to 2.1.0 FAILED (exit 1)|Upgrade failed|slot 4 (NX0004A): SW \
updated from 1.3.0 to 1.4.2|changed=1 *failed=1" playbook "$fails" ;;
esac && echo "$1: passed"
