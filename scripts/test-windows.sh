#!/usr/bin/env bash
# scripts/test-windows.sh [BUILD_DIR]
# Cross-builds the Windows x86-64 DLLs, executables and tests with mingw-w64
# and runs the test suite under wine.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-win}
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" "${@:2}"
fi
cmake --build "$dir" -j "$(nproc)"

# One persistent wine server for the whole run; without it every test program
# waits for the server's idle time-out.
export WINEPREFIX="$PWD/$dir/wineprefix"
export WINEDEBUG=-all,err+module
mkdir -p "$WINEPREFIX"
WINESERVER=/usr/lib/wine/wineserver64
"$WINESERVER" -p
trap '"$WINESERVER" -k || true' EXIT
/usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 || true
# A test program that wine fails to start on a loaded machine ends at once
# with no output at all; such a program gets one more start. The native and
# sanitizer runs take no second try.
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)" --repeat until-pass:2
