#!/usr/bin/env bash
# scripts/test-wine-serial.sh [NATIVE_BUILD] [WINDOWS_BUILD] [COM]
# The Windows tool on a COM port: the native `teds serial-emulator` serves the
# built-in bench on a pseudo-terminal, wine maps COM5 (by default) to it, and
# `teds.exe query --serial COM5` must print what the native tool prints over
# the same terminal, at 9600 baud and switched to 115200 (the emulator takes
# only bytes sent at its rate, so the Windows port must really switch).
set -euo pipefail
cd "$(dirname "$0")/.."
native=${1:-build}
win=${2:-build-win}
com=${3:-COM5}

export WINEPREFIX="$PWD/$win/wineprefix"
export WINEDEBUG=-all
mkdir -p "$WINEPREFIX"
WINESERVER=/usr/lib/wine/wineserver64
cleanup_more() { "$WINESERVER" -k >/dev/null 2>&1 || true; }
. scripts/lib-emulator.sh
start_emulator "$native/bin/teds" "$work/emulator.out" "$work/emulator.err"

"$WINESERVER" -p >/dev/null 2>&1
/usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 || true
# Wine finds COM ports through the links in dosdevices.
device=$(echo "$com" | tr 'A-Z' 'a-z')
ln -sfn "$pty" "$WINEPREFIX/dosdevices/$device"

"$native/bin/teds" query --serial "$pty" --quiet > "$work/native.txt"
status=0
/usr/lib/wine/wine64 "$win/bin/teds.exe" query --serial "$com" --quiet > "$work/windows.txt" || status=$?
if [ "$status" -ne 0 ] || ! cmp -s "$work/native.txt" "$work/windows.txt"; then
  echo "FAIL: teds.exe query --serial $com (exit $status) differs from the native query:" >&2
  diff "$work/native.txt" "$work/windows.txt" >&2 || true
  exit 1
fi
grep -q '^Transducer:\[14 3A 7F 1B 05 00 00 B6\]' "$work/windows.txt"
status=0
/usr/lib/wine/wine64 "$win/bin/teds.exe" query --serial "$com" --baud 115200 \
  > "$work/fast.txt" 2> "$work/fast.err" || status=$?
if [ "$status" -ne 0 ] || ! cmp -s "$work/native.txt" "$work/fast.txt" || grep -q 'going on at 9600' "$work/fast.err"; then
  echo "FAIL: teds.exe query --serial $com --baud 115200 (exit $status):" >&2
  cat "$work/fast.err" >&2
  diff "$work/native.txt" "$work/fast.txt" >&2 || true
  exit 1
fi
echo "teds.exe read the sensor through $com -> $pty, at 9600 and at 115200 baud"
