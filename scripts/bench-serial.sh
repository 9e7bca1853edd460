#!/usr/bin/env bash
# scripts/bench-serial.sh [BUILD_DIR] [SENSORS...]
# Real-time benchmark of the serial path: `teds serial-emulator --real-time`
# paces every byte at the adapter's baud rate and every 1-Wire reset, slot
# and byte at standard speed. For benches of 1, 5 and 20 DS2430A sensors (or
# the counts given) it times a whole `teds query --serial` at 9600 and at
# 115200 baud, and OWFS doing the same work (owserver started on the
# terminal, its search through owdir, then owread of every sensor's memory,
# application register and status, uncached), and prints the wall times side
# by side with the bytes each sent to the adapter (from the emulator's
# trace). A benchmark, not a test: it checks only that every run read every
# sensor.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
shift || true
counts=("$@")
[ ${#counts[@]} -gt 0 ] || counts=(1 5 20)
teds="$build/bin/teds"
command -v owserver >/dev/null || { echo "owserver missing: apt-get install owserver ow-shell" >&2; exit 1; }

. scripts/lib-emulator.sh

now() { date +%s.%N; }
seconds() { python3 -c "import sys; print(f'{float(sys.argv[2]) - float(sys.argv[1]):.2f}')" "$1" "$2"; }
# Bytes the host sent, from the emulator's trace ("in  C1 E1 ..." lines).
sent() { awk '$1 == "in" { n += NF - 1 } END { print n + 0 }' "$1"; }

# A bench of N copies of the built-in sensor, each with a ROM of its own.
make_bench() {
  "$teds" bench | python3 -c '
import json, sys
def crc8(data):
    crc = 0
    for byte in data:
        for _ in range(8):
            mix = (crc ^ byte) & 1
            crc >>= 1
            if mix:
                crc ^= 0x8C
            byte >>= 1
    return crc
bench = json.load(sys.stdin)
channel = bench["channels"][0]
model = channel["devices"][0]
devices = []
for i in range(int(sys.argv[1])):
    rom = [0x14, 0x10 + i, 0x7F, 0x1B, 0x05, 0x00, 0x00]
    rom.append(crc8(rom))
    device = dict(model)
    device["rom"] = " ".join(f"{b:02X}" for b in rom)
    devices.append(device)
channel["devices"] = devices
json.dump(bench, sys.stdout)
' "$1"
}

# Starts the paced emulator on the bench; sets $pty and $trace.
runs=0
serve() {
  runs=$((runs + 1))
  trace="$work/trace.$runs"
  start_emulator "$teds" "$work/emulator.$runs" "$trace" --bench "$1" --real-time --trace
}
stop_last() {
  local last=$((${#pids[@]} - 1))
  kill "${pids[$last]}" 2>/dev/null || true
  wait "${pids[$last]}" 2>/dev/null || true
  unset "pids[$last]"
  pids=("${pids[@]}")
}

# Each run sets $took (seconds) and $bytes (sent to the adapter).
teds_run() {  # bench baud sensors
  serve "$1"
  local start end
  start=$(now)
  "$teds" query --serial "$pty" --baud "$2" --quiet > "$work/query.out"
  end=$(now)
  stop_last
  local found
  found=$(grep -c '^Transducer:' "$work/query.out" || true)
  [ "$found" -eq "$3" ] || { echo "teds at $2 baud reported $found of $3 sensors" >&2; exit 1; }
  took=$(seconds "$start" "$end")
  bytes=$(sent "$trace")
}

owfs_run() {  # bench sensors
  serve "$1"
  local port=$((20000 + RANDOM % 20000)) start end ids
  start=$(now)
  owserver -d "$pty" -p "$port" --foreground > "$work/owserver.log" 2>&1 &
  pids+=($!)
  # The first directory listing that owserver answers runs the search.
  for _ in $(seq 200); do ids=$(owdir -s "$port" / 2>/dev/null) && break; sleep 0.05; done
  ids=$(echo "$ids" | grep '^/14\.' || true)
  for id in $ids; do
    for field in memory application status; do
      owread -s "$port" "/uncached$id/$field" > /dev/null
    done
  done
  end=$(now)
  stop_last  # owserver
  stop_last  # the emulator
  local found
  found=$(echo "$ids" | grep -c . || true)
  [ "$found" -eq "$2" ] || { echo "OWFS listed $found of $2 sensors" >&2; exit 1; }
  took=$(seconds "$start" "$end")
  bytes=$(sent "$trace")
}

echo "| Sensors | teds at 9600 baud | teds at 115200 baud | OWFS (9600 baud) | Bytes sent: teds | Bytes sent: OWFS |"
echo "|---|---|---|---|---|---|"
for n in "${counts[@]}"; do
  make_bench "$n" > "$work/bench$n.json"
  teds_run "$work/bench$n.json" 9600 "$n"
  slow=$took slowBytes=$bytes
  teds_run "$work/bench$n.json" 115200 "$n"
  fast=$took
  owfs_run "$work/bench$n.json" "$n"
  owfs=$took owfsBytes=$bytes
  echo "| $n | $slow s | $fast s | $owfs s | $slowBytes | $owfsBytes |"
done
