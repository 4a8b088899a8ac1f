#!/usr/bin/env bash
# The Windows build, cross-compiled from Debian with MinGW-w64 into build-windows/:
# nexir-updater.exe, its zip, and the test suite run under Wine.
# Usage: scripts/windows.sh [cmake option...]   (e.g. -DNEXIR_WERROR=ON)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh g++-mingw-w64-x86-64-posix mingw-w64-tools wine wine64 googletest libz-mingw-w64-dev
jobs=$(nproc)
start=$SECONDS
cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-w64-x86_64.cmake \
      -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
cmake --build build-windows -j"$jobs"
echo "Windows build: $(( SECONDS - start )) s"

# The program imports system DLLs only: the runtimes are linked in, and FTD2XX.dll is
# loaded at run time, never imported.
imports=$(x86_64-w64-mingw32-objdump -p build-windows/nexir-updater.exe | sed -n 's/^\s*DLL Name: //p')
echo "nexir-updater.exe imports:" $imports
for dll in $imports; do
  case "${dll,,}" in
    kernel32.dll|msvcrt.dll|shell32.dll|winmm.dll|advapi32.dll) ;;
    *) echo "error: nexir-updater.exe imports $dll, which is no system DLL" >&2; exit 1 ;;
  esac
done

(cd build-windows && cpack -G ZIP >/dev/null)
echo "Zip:" build-windows/nexir-updater-*-win64.zip
(cd build-windows && cmake -E tar tf nexir-updater-*-win64.zip)

tests=$SECONDS
status=0
# The first program under Wine creates the build's prefix and starts its services.
build-windows/wine-run cmd /c exit

ctest --test-dir build-windows -j"$jobs" --output-on-failure || status=$?
# The Wine server of the build's own prefix was started for the tests; stop it.
WINEPREFIX="$PWD/build-windows/wine" wineserver -k 2>/dev/null || true
echo "Windows tests under Wine: $(( SECONDS - tests )) s; whole Windows part: $(( SECONDS - start )) s"
exit "$status"
