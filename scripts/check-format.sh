#!/usr/bin/env bash
# Fails when a C++ source of the project differs from what clang-format makes of it
# (.clang-format); `scripts/check-format.sh --fix` formats them in place instead.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=(--dry-run -Werror)
[ "${1:-}" = "--fix" ] && mode=(-i)
git ls-files -z -- '*.cpp' '*.h' | xargs -0 clang-format "${mode[@]}"
