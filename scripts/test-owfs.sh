#!/usr/bin/env bash
# scripts/test-owfs.sh [BUILD_DIR]
# Interoperation with OWFS, an independent DS2480B driver: Debian's owserver
# runs against `teds serial-emulator` on a pseudo-terminal, and ow-shell reads
# every simulated DS2430A's memory, application register and status, which
# must equal the bench byte for byte. Then OWFS writes a new TEDS into the
# first sensor's memory with owwrite (write scratchpad, copy scratchpad), and
# `teds query --serial` must read it back once owserver has let go of the
# terminal. Last, `teds write --serial` writes a TEDS into that sensor and
# OWFS must read the new memory.
#
# OWFS 3.2p4 reads the DS2430A application register over the bus but hands
# its clients an empty reply; when the reply is empty, the bytes its driver
# read are taken from owserver's debug dump of that read.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
teds="$build/bin/teds"
command -v owserver >/dev/null || { echo "owserver missing: apt-get install owserver ow-shell" >&2; exit 1; }

. scripts/lib-emulator.sh

# Three sensors; the second ROM holds the byte E3, which travels escaped.
cat > "$work/bench.json" <<'JSON'
{
  "channels": [
    {
      "channel": 0,
      "devices": [
        {"rom": "14 3A 7F 1B 05 00 00 B6", "status": "FC",
         "application": "64 80 34 41 0C 40 E2 01",
         "memory": "6F 64 90 0F F8 64 06 29 1C FB 08 62 B4 45 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"},
        {"rom": "14 E3 01 00 00 00 00 B2", "status": "FD",
         "application": "01 02 03 04 05 06 07 08",
         "memory": "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D E3 E3"},
        {"rom": "14 00 00 00 00 00 01 51", "status": "00",
         "application": "FF FF FF FF FF FF FF FF",
         "memory": "E3 00 FF 00 E3 00 FF 00 E3 00 FF 00 E3 00 FF 00 E3 00 FF 00 E3 00 FF 00 E3 00 FF 00 E3 00 FF 00"}
      ]
    }
  ]
}
JSON

start_emulator "$teds" "$work/emulator.out" "$work/emulator.err" --bench "$work/bench.json"
echo "emulator on $pty"

port=$((20000 + RANDOM % 20000))
owserver -d "$pty" -p "$port" --foreground --error_level=9 > "$work/owserver.log" 2>&1 &
pids+=($!)

hex() { od -An -v -tx1 | tr -d ' \n' | tr 'a-f' 'A-F'; }
expect() {  # name expected actual
  if [ "$2" != "$3" ]; then
    echo "FAIL $1: expected $2, OWFS read $3" >&2
    exit 1
  fi
  echo "ok   $1 $3"
}

for _ in $(seq 100); do owdir -s "$port" / 2>/dev/null | grep -q '^/14\.' && break; sleep 0.1; done

count=0
while read -r rom status application memory; do
  id="14.${rom:2:12}"
  listed=$(owdir -s "$port" / | grep -c "^/$id\$" || true)
  expect "$id listed" 1 "$listed"
  expect "$id memory" "$memory" "$(owread -s "$port" "/uncached/$id/memory" | hex)"
  expect "$id status" "$((16#$status))" "$(owread -s "$port" "/uncached/$id/status" | tr -d ' ')"
  before=$(wc -l < "$work/owserver.log")
  got=$(owread -s "$port" "/uncached/$id/application" | hex)
  if [ -z "$got" ]; then
    sleep 0.2
    dump=$(tail -n +"$before" "$work/owserver.log" | grep -a -A1 'OneWireQuery buffer, length=8' | \
      grep -a -m1 -- '^--000:' || true)
    got=$(echo "${dump#--000:}" | tr -d ' ')
  fi
  expect "$id application" "$application" "$got"
  count=$((count + 1))
done < <(python3 - "$work/bench.json" <<'PY'
import json, sys
bench = json.load(open(sys.argv[1]))
for d in bench["channels"][0]["devices"]:
    h = lambda s: s.replace(" ", "").upper()
    print(h(d["rom"]), h(d["status"]), h(d["application"]), h(d["memory"]))
PY
)
expect "devices read" 3 "$count"
echo "OWFS read every DS2430A as the bench holds it"

# A new TEDS for the first sensor: its own, with other calibration initials.
first="14 3A 7F 1B 05 00 00 B6"
"$teds" query --bench "$work/bench.json" --json --quiet > "$work/before.json" || true
python3 - "$work/before.json" "$first" > "$work/sheet.json" <<'PY'
import json, sys
doc = json.load(open(sys.argv[1]))
print(json.dumps([t for t in doc["transducers"] if t["id"] == sys.argv[2]][0]))
PY
memory=$("$teds" encode --sheet "$work/sheet.json" --set calInitials=OWF | sed -n 's/^Memory: *//p' | tr -d ' ')
[ ${#memory} -eq 64 ] || { echo "FAIL: no memory image from teds encode" >&2; exit 1; }
id="14.3A7F1B050000"
owwrite --hex -s "$port" "/uncached/$id/memory" "$memory"
expect "$id memory written by OWFS" "$memory" "$(owread -s "$port" "/uncached/$id/memory" | hex)"

# One host at a time on the terminal: owserver goes first.
kill "${pids[1]}"
wait "${pids[1]}" 2>/dev/null || true
"$teds" query --serial "$pty" --quiet > "$work/after.txt"
grep -q '^Transducer:\[14 3A 7F 1B 05 00 00 B6\]' "$work/after.txt" ||
  { cat "$work/after.txt" >&2; echo "FAIL: teds query --serial did not report $first" >&2; exit 1; }
expect "$id read back by teds" "OWF" "$(sed -n 's/^ *%CalInitials: *//p' "$work/after.txt" | head -n 1)"
expect "$id checksum read back by teds" 1 "$(grep -c '^Compile: GOOD CHECKSUM' "$work/after.txt" || true)"
echo "teds read back the TEDS that OWFS wrote"

# And the other way: `teds write --serial` programs the sensor through the
# adapter (its register is locked with the same contents, so the memory
# only), and OWFS reads the new memory.
memory=$("$teds" encode --sheet "$work/sheet.json" --set calInitials=TWS | sed -n 's/^Memory: *//p' | tr -d ' ')
"$teds" write --serial "$pty" --rom "$first" --sheet "$work/sheet.json" --set calInitials=TWS \
  --lock-application-register --quiet > "$work/write.txt" ||
  { cat "$work/write.txt" >&2; echo "FAIL: teds write --serial" >&2; exit 1; }
grep -q '^Wrote \[14 3A 7F 1B 05 00 00 B6\]: memory programmed with the new contents' "$work/write.txt" ||
  { cat "$work/write.txt" >&2; echo "FAIL: teds write --serial did not write $first" >&2; exit 1; }
port=$((port + 1))
owserver -d "$pty" -p "$port" --foreground --error_level=9 > "$work/owserver2.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do owdir -s "$port" / 2>/dev/null | grep -q '^/14\.' && break; sleep 0.1; done
expect "$id memory written by teds" "$memory" "$(owread -s "$port" "/uncached/$id/memory" | hex)"
echo "OWFS read back the TEDS that teds wrote"
