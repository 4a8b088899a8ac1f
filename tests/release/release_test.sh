#!/usr/bin/env bash
# What a user of the installed program meets first: the manual page says what --help
# says, bash completes the command line, a missing D2XX library is explained, and the
# card bench refuses a scenario it cannot use, out loud and once.
# Usage: release_test.sh man_page|completion|first_contact|readme  PROGRAM SOURCE_DIR BUILD_DIR
set -euo pipefail
check=$1 program=$2 source_dir=$3 build_dir=$4
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
squeeze() { tr -s ' \n' '  '; }

# Every entry of every help text (an option or command with its text, which CLI11 may
# put on the next line) is in the rendered page, and every option the page lists is in
# some help text.
man_page() {
    local page helps="" entry command
    page=$(groff -man -Tascii -rLL=250n -rHY=0 -P-cbou "$build_dir/man/nexir-updater.1" | squeeze)
    for command in "" log update boot; do helps+=$("$program" $command --help)$'\n'; done
    while IFS= read -r entry; do
        [[ $page == *"$entry"* ]] || fail "not in the manual page: '$entry'"
    done < <(printf '%s' "$helps" | awk '/^  [^ ]/ { if (e) print e; e = $0; next }
                                         /^   +[^ ]/ { e = e " " $0; next }
                                         { if (e) print e; e = "" }' | squeeze_lines)
    while IFS= read -r entry; do
        [[ $(printf '%s' "$helps" | squeeze) == *"$entry"* ]] || fail "not in any --help: '$entry'"
    done < <(groff -man -Tascii -rLL=250n -P-cbou "$build_dir/man/nexir-updater.1" |
             sed -n 's/^ *\(-[a-z],--[a-z_]*\).*/\1/p')
}
squeeze_lines() { sed 's/  */ /g; s/^ //; s/ $//'; }

completes() {
    local expected=$1; shift
    COMP_WORDS=("$@") COMP_CWORD=$(($# - 1)) COMPREPLY=()
    _nexir_updater
    [[ "${COMPREPLY[*]}" == "$expected" ]] || fail "completing '$*': '${COMPREPLY[*]}', expected '$expected'"
}

completion() {
    source "$source_dir/packaging/bash-completion/nexir-updater"
    completes "log update boot -h --help --version" nexir-updater ""
    completes "update" nexir-updater up
    completes "SW FPGA" nexir-updater update -b 9600 -t ""
    completes "GOLD" nexir-updater update --which G
    completes "gold std" nexir-updater boot -i ""
    completes "--slot --skip_verify" nexir-updater update -r --s
    completes "--now" nexir-updater boot -b 1 -i std --n
    completes "$source_dir/cardbench/images/nexir-fpga-demo.bin" nexir-updater update -f "$source_dir/cardbench/images/nexir-"
}

# Runs `log` with the given environment; its output lands in $out and $err.
errors=$(mktemp); trap 'rm -f "$errors"' EXIT
run() { out=$(env -u CARDBENCH_SCENARIO "$@" "$program" log -b 9600 2>"$errors") || true; err=$(<"$errors"); }

first_contact() {
    local empty scenario; empty=$(mktemp -d); scenario=$empty/typo.json
    run LD_LIBRARY_PATH="$empty" NEXIR_DRIVER=d2xx
    [[ $out == "error: could not load FTDI D2XX library libftd2xx.so: "* ]] || fail "missing library: '$out'"
    [[ $err == 'info: '*'"The D2XX library from FTDI" in hardware.md in the documentation of nexir-updater describes' ]] ||
        fail "missing library hint: '$err'"
    # Without NEXIR_DRIVER, libftdi1 (installed with the build's dependencies) stands in, and says so.
    run LD_LIBRARY_PATH="$empty"
    [[ $err == "info: FTDI's D2XX library libftd2xx.so was not found; using libftdi1 (libftdi1.so.2) instead"* ]] ||
        fail "libftdi1 in place of the missing library: '$err'"

    run LD_LIBRARY_PATH="$build_dir/cardbench"
    [[ $err == "cardbench: "*"no scenario (CARDBENCH_SCENARIO is not set)"*"no devices" ]] || fail "unset scenario: '$err'"

    sed 's/"stage_ms"/"fail_at_stag": 3, "stage_ms"/' "$source_dir/cardbench/scenarios/rack.json" >"$scenario"
    run LD_LIBRARY_PATH="$build_dir/cardbench" CARDBENCH_SCENARIO="$scenario"
    [[ $err == "cardbench: $scenario: cards.slot1.upgrade.fail_at_stag: unknown key" ]] || fail "misspelled key: '$err'"
    [[ $out == "error: no FTDI devices detected"* ]] || fail "misspelled key, output: '$out'"
    rm -rf "$empty"
}

# The commands of the READMEs in the order a newcomer meets them, after the demo: each
# ctest finds tests, since no configure since the last to name the tests turned them off.
readme() {
    local tests=ON line
    while IFS= read -r line; do
        if [[ $line =~ NEXIR_BUILD_TESTS=(ON|OFF) ]]; then tests=${BASH_REMATCH[1]}; fi
        if [[ $line == *"ctest --test-dir build"* && $tests == OFF ]]; then fail "no test is built for: $line"; fi
    done < <(cat "$source_dir/scripts/demo.sh"; sed -n '/^```sh/,/^```/p' "$source_dir/README.md" "$source_dir/cardbench/README.md")
}

"$check"
[ "$failures" -eq 0 ] && echo "$check: passed"
exit $((failures > 0))
