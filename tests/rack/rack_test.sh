#!/usr/bin/env bash
# Updates the slots of a virtual four-card rack side by side, with scripts/update-rack.sh
# and with the Ansible role, and checks what each says per slot: the failed slot named,
# nothing updated and nothing changed when the cards already run the wanted versions.
# Usage: rack_test.sh script|ansible_update|ansible_current|ansible_failure PROGRAM SOURCE_DIR BENCH_DIR
# The checks are called through "$check":
# shellcheck disable=SC2317
set -uo pipefail
check=$1 program=$2 source_dir=$3 bench_dir=$4
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
has() { [[ $out == *"$1"* ]] || fail "no '$1' in:"$'\n'"$out"; }
image=$source_dir/cardbench/images/nexir-fpga-demo.bin mixed=$source_dir/cardbench/scenarios/rack_four_mixed.json
sed '/"c": {"slot": 2/{n;s/"upgrade": {/"upgrade": {"fail_at_stage": 3, /}' "$mixed" >"$tmp/slot3_fails.json"
sed 's/"stage_ms": \[200, 300, 200\]/"stage_ms": [1000, 5000, 1000]/' "$mixed" >"$tmp/slow.json"
export LD_LIBRARY_PATH=$bench_dir CARDBENCH_SCENARIO=$mixed NEXIR_UPDATER=$tmp/nexir-updater
# The program as the recipes start it: an update holds until $SIDE_BY_SIDE updates have
# started, so that updates run one after another give up (exit 99) instead of passing.
cat >"$tmp/nexir-updater" <<EOF
#!/bin/sh
[ "\$1" != update ] || { : >"$tmp/started.\$\$"; tries=0
  until [ "\$(ls "$tmp" | grep -c '^started')" -ge "\$SIDE_BY_SIDE" ]; do
    tries=\$((tries + 1)); [ \$tries -le 600 ] || { echo "not side by side"; exit 99; }; sleep 0.1; done; }
exec "$program" "\$@"
EOF
chmod +x "$tmp/nexir-updater"
rack() { rm -f "$tmp"/started*; out=$(SIDE_BY_SIDE=$1 "$source_dir/scripts/update-rack.sh" "${@:2}" 2>&1); status=$?; }
wait_for() { for _ in $(seq 600); do grep -qs "$1" "${@:2}" && return; sleep 0.1; done; fail "no '$1' in $*"; }

script() {
    rack 4 -l "$tmp/all" "$image" FPGA STD 1 2 3 4
    [ "$status" -eq 0 ] || fail "four good slots: exit $status"
    for slot in 1 2 3 4; do has "slot $slot: ok, log $tmp/all/slot$slot.log"; done
    grep -L "Update Successful" "$tmp"/all/slot*.log | grep . && fail "a log without the update's success"
    CARDBENCH_SCENARIO=$tmp/slot3_fails.json rack 2 -l "$tmp/one" "$image" SW STD 3 4
    [ "$status" -eq 1 ] || fail "a failing slot: exit $status"
    has "slot 3: FAILED (exit 1), log $tmp/one/slot3.log"; has "slot 4: ok"; has "1 of 2 slot(s) failed"
    rack 1 "$image" FPGA BAD 1; [ "$status" -eq 2 ] || fail "bad target: exit $status"; has "usage: update-rack.sh"
    rack 1 "$tmp/none.bin" FPGA STD 1; [ "$status" -eq 2 ] || fail "missing image: exit $status"; has "cannot read the image"
    # Ctrl-C reaches the script's process group only; each update must get it once, so that
    # it warns and still finishes (a second one would abort the card's flash write).
    rm -f "$tmp"/started*; set -m
    SIDE_BY_SIDE=2 CARDBENCH_SCENARIO=$tmp/slow.json "$source_dir/scripts/update-rack.sh" -l "$tmp/int" "$image" FPGA STD 1 2 \
        >"$tmp/int.out" 2>&1 & pid=$!
    set +m; wait_for "step 2 of 4" "$tmp/int/slot1.log"; wait_for "step 2 of 4" "$tmp/int/slot2.log"
    kill -INT -- -"$pid"; wait "$pid"; status=$?; out=$(cat "$tmp/int.out" "$tmp"/int/*.log)
    [ "$status" -eq 0 ] || fail "one Ctrl-C: exit $status"; has "slot 1: ok"; has "slot 2: ok"
    [ "$(grep -c nterrupt "$tmp"/int/*.log | grep -c ':1$')" -eq 2 ] || fail "each update warned once: $out"
}

# The role as the bench inventory sets it up, with this build, its own logs and the
# wanted slots given; only ansible.builtin may be used, hence no collection path.
playbook() {
    rm -f "$tmp"/started*
    printf '{"nexir_rack_program": "%s", "nexir_rack_log_dir": "%s", "nexir_rack_environment": {"LD_LIBRARY_PATH": "%s",
      "CARDBENCH_SCENARIO": "%s", "SIDE_BY_SIDE": "2"}%s}' "$NEXIR_UPDATER" "$tmp/logs" "$bench_dir" "$1" "${2:+, $2}" >"$tmp/vars.json"
    out=$(ANSIBLE_NOCOLOR=1 ANSIBLE_COLLECTIONS_SCAN_SYS_PATH=false ANSIBLE_COLLECTIONS_PATH=$tmp/none ANSIBLE_LOCAL_TEMP=$tmp/at \
          ANSIBLE_REMOTE_TEMP=$tmp/at ANSIBLE_ASYNC_DIR=$tmp/async ansible-playbook -i "$source_dir/ansible/inventory/bench.yml" \
          "$source_dir/ansible/site.yml" -e "@$tmp/vars.json" 2>&1); status=$?
    [[ $out =~ bench\ +:\ ok=[0-9]+\ +changed=$3\ +unreachable=0\ +failed=$4\  ]] || fail "recap: changed=$3 failed=$4 expected:"$'\n'"$out"
}

ansible_update() {
    playbook "$mixed" "" 1 0; [ "$status" -eq 0 ] || fail "exit $status"
    has "slot 1 (NX0001A): FPGA already at 2.1.0"; has "slot 2 (NX0002A): SW already at 1.4.2"
    has "slot 3 (NX0003A): FPGA updated from 1.0.9 to 2.1.0, log $tmp/logs/slot3.log"
    has "slot 4 (NX0004A): SW updated from 1.3.0 to 1.4.2, log $tmp/logs/slot4.log"
    [ "$(grep -l "Update Successful" "$tmp"/logs/*)" == "$tmp/logs/slot3.log"$'\n'"$tmp/logs/slot4.log" ] ||
        fail "logs: $(ls "$tmp/logs")"
}

ansible_current() {
    playbook "$mixed" '"nexir_rack_slots": {"3": {"type": "FPGA", "version": "1.0.9", "image": "/none"},
      "4": {"type": "SW", "version": "1.3.0", "image": "/none"}}' 0 0
    [ "$status" -eq 0 ] || fail "exit $status"; has "slot 3 (NX0003A): FPGA already at 1.0.9"; has "slot 4 (NX0004A): SW already at 1.3.0"
    if [ -e "$tmp/logs" ] || ls "$tmp"/started* 2>/dev/null; then fail "an update was started"; fi
}

ansible_failure() {
    playbook "$tmp/slot3_fails.json" "" 1 1; [ "$status" -eq 2 ] || fail "exit $status"
    has "slot 3 (NX0003A): FPGA update from 1.0.9 to 2.1.0 FAILED (exit 1), log $tmp/logs/slot3.log"
    has "Upgrade failed"; has "slot 4 (NX0004A): SW updated from 1.3.0 to 1.4.2"
}

"$check"
[ "$failures" -eq 0 ] && echo "$check: passed"
exit $((failures > 0))
