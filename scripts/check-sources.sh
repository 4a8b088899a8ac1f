#!/usr/bin/env bash
# Checks what the compiler does not: every C++ source is formatted as .clang-format
# says, and the program's layers use only those below them (cli -> update -> link ->
# platform). `scripts/check-sources.sh --fix` formats the sources in place instead.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=(--dry-run -Werror)
[ "${1:-}" = "--fix" ] && mode=(-i)
git ls-files -z -- '*.cpp' '*.h' | xargs -0 clang-format "${mode[@]}"

layers=(platform link update cli)
status=0
for ((i = 0; i < ${#layers[@]}; i++)); do
    above=$(IFS='|'; echo "${layers[*]:i+1}")
    [ -n "$above" ] || continue
    if grep -nE "#include +\"($above)/" src/"${layers[i]}"/*; then
        echo "error: src/${layers[i]} includes a layer above it (the order is ${layers[*]})" >&2
        status=1
    fi
done
exit "$status"
