#!/usr/bin/env bash
# Updates the cards in several slots of a rack side by side: one `nexir-updater update`
# per slot, all started at once, each writing to its own log. Waits for every one, prints
# one line per slot and exits 0 only when every slot succeeded.
set -uo pipefail
me=${0##*/}
usage() {
    cat <<EOF
usage: $me [-b BAUD] [-l LOG_DIR] [-r] [-v] IMAGE SW|FPGA STD|GOLD SLOT...
Updates the cards in the given slots (1 to 4) side by side, one nexir-updater per slot.
  -b BAUD     the cards' UART baud rate (default 115200)
  -l LOG_DIR  folder for the logs, slot<N>.log (default ./nexir-rack-<date>-<time>)
  -r          restart each card after its update
  -v          skip the flash verification
NEXIR_UPDATER names the program (default: nexir-updater on PATH). A log holds the
progress bar as frames separated by carriage returns: tr '\r' '\n' <LOG | tail
Exits 0 when every slot succeeded, 1 when one did not, 2 for bad arguments.
EOF
}
refuse() { echo "$me: $*" >&2; usage >&2; exit 2; }

program=${NEXIR_UPDATER:-nexir-updater} baud=115200 log_dir=nexir-rack-$(date +%Y%m%d-%H%M%S) options=()
while getopts b:l:rvh option; do
    case $option in
        b) baud=$OPTARG ;;
        l) log_dir=$OPTARG ;;
        r | v) options+=("-$option") ;;
        h) usage; exit 0 ;;
        *) usage >&2; exit 2 ;;
    esac
done
shift $((OPTIND - 1))
[ $# -ge 4 ] || refuse "an image, a type, a target and at least one slot are needed"
image=$1 type=$2 target=$3 slots=("${@:4}")
[[ $baud =~ ^[1-9][0-9]*$ ]] || refuse "the baud rate must be a number: '$baud'"
[[ $type =~ ^(SW|FPGA)$ ]] || refuse "the type must be SW or FPGA: '$type'"
[[ $target =~ ^(STD|GOLD)$ ]] || refuse "the target must be STD or GOLD: '$target'"
seen=" "
for slot in "${slots[@]}"; do
    [[ $slot == [1-4] ]] || refuse "a slot is 1, 2, 3 or 4: '$slot'"
    [[ $seen == *" $slot "* ]] && refuse "slot $slot is given twice"
    seen+="$slot "
done
[[ -f $image && -r $image ]] || { echo "$me: cannot read the image $image" >&2; exit 2; }
command -v "$program" >/dev/null || { echo "$me: no program $program (set NEXIR_UPDATER)" >&2; exit 2; }
mkdir -p "$log_dir" || exit 2

# Each update runs in a process group of its own, out of reach of the terminal's Ctrl-C,
# which reaches this script only and is passed on once to every update: the first one
# makes an update stop while the image is still being sent and only warns once the card
# works on its own, a second one stops it there too. Each slot's fate is said at once,
# from the stage its log shows last, since the updates may take seconds to end.
set -m
pids=() interrupted=0 forwarded=()
fate() {  # SLOT_INDEX: what the update of that slot does with the signal just passed on
    local stage
    stage=$(tr '\r' '\n' <"$log_dir/slot${slots[$1]}.log" 2>/dev/null | sed -n 's/.*\] [0-9]*% step \([0-9]\) of .*/\1/p' |
        tail -n 1)
    if [ "${forwarded[$1]}" -gt 1 ] || [ "${stage:-1}" -lt 2 ]; then echo "told to abort"; return; fi
    case $stage in
        2) echo "finishing its CRC check" ;;
        3) echo "finishing its flash write" ;;
        *) echo "finishing its flash verification" ;;
    esac
}
forward() {  # runs while the loop below waits: its own index, not the loop's
    local j
    interrupted=1
    for j in "${!pids[@]}"; do
        # An update that has printed its stage table has ended, though not yet waited for.
        grep -q -- '--- Stage Durations ---' "$log_dir/slot${slots[j]}.log" 2>/dev/null && continue
        kill -s "$1" "${pids[j]}" 2>/dev/null || continue
        forwarded[j]=$((forwarded[j] + 1))
        echo "slot ${slots[j]}: $(fate "$j")"
    done
}
trap 'forward INT' INT; trap 'forward TERM' TERM; trap 'forward HUP' HUP
echo "updating slot(s) ${slots[*]} with $image ($type, $target); logs in $log_dir/"
for slot in "${slots[@]}"; do
    "$program" update -b "$baud" -t "$type" -w "$target" -f "$image" -s "$slot" "${options[@]}" \
        </dev/null >"$log_dir/slot$slot.log" 2>&1 &
    pids+=($!) forwarded+=(0)
done

failures=0
for i in "${!slots[@]}"; do
    # A signal ends `wait` early; the shell keeps the status, so waiting again is safe.
    until interrupted=0; wait "${pids[i]}"; status=$?; [ "$interrupted" -eq 0 ]; do :; done
    if [ "$status" -eq 0 ]; then result="ok"; else result="FAILED (exit $status)"; failures=$((failures + 1)); fi
    echo "slot ${slots[i]}: $result, log $log_dir/slot${slots[i]}.log"
done
[ "$failures" -eq 0 ] || { echo "$failures of ${#slots[@]} slot(s) failed" >&2; exit 1; }
