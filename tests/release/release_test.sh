#!/usr/bin/env bash
# What a user of the installed program meets first: the manual page says what --help
# says, bash completes the command line, a missing D2XX library is explained, and the
# card bench refuses a scenario it cannot use, out loud and once.
# The udev rule touches NEXIR cards only, and not another FT2232H.
# Usage: release_test.sh man_page|completion|first_contact|recorder_wrapper|windows_zip|readme|udev_rule  PROGRAM
#        SOURCE_DIR BUILD_DIR
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
    [[ $page == *"nexir-updater-record(1)"* && $page == *"/usr/share/doc/nexir-updater/rack.md"* ]] ||
        fail "the manual page names neither the recorder's page nor rack.md"
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

    # A shared folder that cannot be made, or not written in (root writes anywhere, so
    # the program runs without that privilege): refused, and no device is shown.
    local bench=(LD_LIBRARY_PATH="$build_dir/cardbench" CARDBENCH_SCENARIO="$source_dir/cardbench/scenarios/rack.json")
    run "${bench[@]}" CARDBENCH_SHARED_DIR="$scenario/shared"
    [[ $err == "cardbench: cannot make the shared folder $scenario/shared" ]] || fail "impossible shared folder: '$err'"
    [[ $out == "error: no FTDI devices detected"* ]] || fail "impossible shared folder, output: '$out'"
    mkdir "$empty/read-only" && chmod 555 "$empty/read-only"
    run "${bench[@]}" CARDBENCH_SHARED_DIR="$empty/read-only" setpriv --bounding-set -dac_override
    [[ $err == "cardbench: cannot write in the shared folder $empty/read-only" ]] || fail "read-only shared folder: '$err'"
    [[ $out == "error: no FTDI devices detected"* ]] || fail "read-only shared folder, output: '$out'"
    rm -rf "$empty"
}

# The recorder's wrapper in the build tree runs as it does installed: as a program and
# through sh, with the program and the recorder of this build.
recorder_wrapper() {
    local wrapper=$build_dir/recorder/nexir-updater-record folder how
    [[ -x $wrapper ]] || fail "$wrapper is not executable"
    folder=$(mktemp -d)
    for how in "" sh; do
        out=$(cd "$folder" && env -u LD_LIBRARY_PATH NEXIR_RECORD_D2XX="$build_dir/cardbench/libftd2xx.so" \
            CARDBENCH_SCENARIO="$source_dir/cardbench/scenarios/rack.json" $how "$wrapper" log -b 115200 2>"$errors") ||
            fail "${how:-run} $wrapper: exit $?"
        err=$(<"$errors")
        [[ $out == "1 serial: NX21A0417A fpga:1.7.3 sw:3.2.0"* ]] || fail "${how:-run} $wrapper, output: '$out'"
        [[ $err == *"nexir-updater-record: the recording is in $folder/nexir-session-"*".jsonl; send it"* ]] ||
            fail "${how:-run} $wrapper, standard error: '$err'"
    done
    rm -rf "$folder"
}

# The Windows zip's own folder (installed as CPack stages it), under Wine: its README for
# Windows, and nexir-updater-record.cmd recording one command with the zip's recorder in
# front of the bench, passing the exit code on and leaving no FTD2XX.dll beside the program.
windows_zip() {
    local zip scenario status readme wine=$build_dir/wine-run
    zip=$(mktemp -d)
    windows_path() { WINEPREFIX=$build_dir/wine winepath -w "$1" 2>/dev/null; }
    cmake --install "$build_dir" --prefix "$zip" >/dev/null
    [[ -f $zip/README-Windows.txt && ! -e $zip/README.md ]] || fail "the zip's README: $(ls "$zip")"
    readme=$(tr -d '\r' <"$zip/README-Windows.txt")
    for part in "FTD2XX.dll" "System32" "nexir-updater.exe log -b 115200" "114 " "\$LASTEXITCODE" "Start-Process" \
        "nexir-updater-record.cmd update"; do
        [[ $readme == *"$part"* ]] || fail "README-Windows.txt lacks '$part'"
    done
    for scenario in rack.json:0 no_devices.json:1; do
        out=$(cd "$zip" && CARDBENCH_SCENARIO=$(windows_path "$source_dir/cardbench/scenarios/${scenario%:*}") \
            NEXIR_RECORD_D2XX=$(windows_path "$build_dir/cardbench/FTD2XX.dll") \
            "$wine" cmd /c "$(windows_path "$zip/nexir-updater-record.cmd")" log -b 115200 2>"$errors") && status=0 || status=$?
        err=$(tr -d '\r' <"$errors")
        [[ $status == "${scenario#*:}" ]] || fail "nexir-updater-record.cmd on $scenario: exit $status"
        [[ $scenario != rack.json* || $out == "1 serial: NX21A0417A"* ]] || fail "nexir-updater-record.cmd, output: '$out'"
        [[ $err == "nexir-updater recorder: recording this run's D2XX calls to "*"nexir-updater-record: the recording is in "*".jsonl; send it"* ]] ||
            fail "nexir-updater-record.cmd on $scenario, standard error: '$err'"
    done
    [[ $(cat "$zip"/nexir-session-*.jsonl | grep -c '"format":"nexir-d2xx-recording"') == 2 ]] || fail "recordings: $(ls "$zip")"
    [[ ! -e $zip/FTD2XX.dll ]] || fail "nexir-updater-record.cmd left FTD2XX.dll beside the program"
    rm -rf "$zip"
}

# The commands of the READMEs in the order a newcomer meets them, after the demo: each
# ctest finds tests, since no configure since the last to name the tests turned them off.
readme() {
    local tests=ON line
    while IFS= read -r line; do
        if [[ $line =~ NEXIR_BUILD_TESTS=(ON|OFF) ]]; then tests=${BASH_REMATCH[1]}; fi
        if [[ $line == *"ctest --test-dir build"* && $tests == OFF ]]; then fail "no test is built for: $line"; fi
    done < <(cat "$source_dir/scripts/demo.sh"; sed -n '/^```sh/,/^```/p' "$source_dir/README.md" "$source_dir/cardbench/README.md")
    # Every exit code the program gives is listed wherever the exit codes are.
    local document code text
    for document in README.md docs/README.installed.md packaging/man/nexir-updater.h2m; do
        text=$(tr '\n' ' ' <"$source_dir/$document")
        for code in 104 105 106 109 114 "128 +"; do
            [[ $text == *"$code"* ]] || fail "$document does not list exit code $code"
        done
    done
}

# The rule in udevadm's own test run, on a NEXIR card beside a dual serial port and a
# product string that is a card's but for its bar. It needs root for its private mounts.
udev_rule() {
    [ "$(id -u)" -eq 0 ] || { echo "udev_rule: needs root for a private mount namespace"; exit 77; }
    for other in "Dual RS232-HS" "KRO_NX2.1"; do
        PRODUCT=$other "$source_dir/packaging/udev/simulate-rules.sh" >"$build_dir/udev-rule.out" 2>&1 ||
            { cat "$build_dir/udev-rule.out"; fail "the udev rule beside '$other'"; }
    done
}

"$check"
[ "$failures" -eq 0 ] && echo "$check: passed"
exit $((failures > 0))
