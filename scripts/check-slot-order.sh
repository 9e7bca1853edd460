#!/usr/bin/env bash
# scripts/check-slot-order.sh [CXX]
# Dumps the class layouts of the library's headers with the compiler
# (g++ -fdump-lang-class) and compares the virtual slot order of each class
# listed in .ci/slot-order.expected with that list. Exit status 1 and a diff
# when a slot moved, appeared or went missing.
set -euo pipefail
cd "$(dirname "$0")/.."
cxx=${1:-g++}
expected=.ci/slot-order.expected
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$work" && "$cxx" -std=c++17 -fsyntax-only -fdump-lang-class -I"$OLDPWD" \
  "$OLDPWD/.ci/slot_probe.cpp")
dump=$(ls "$work"/*.class)

# One line per class of the expected list: its table's function entries,
# offset-to-top and type-info skipped, names without their class.
actual=$work/actual
grep -v '^#' "$expected" | sed 's/: .*//' | while read -r class; do
  awk -v want="Vtable for $class" '
    $0 == want { inside = 1; getline; next }
    inside && NF == 0 { exit }
    inside {
      entry = $0
      sub(/^[0-9]+ +\(int \(\*\)\(\.\.\.\)\)/, "", entry)
      if (entry == "0" || entry ~ /^\(& _ZTI/) next
      n = split(entry, part, "::")
      name = part[n]
      if (name ~ /^~/) name = "~"
      slots = slots " " name
    }
    END { print slots }
  ' "$dump" | sed "s/^/$class:/" >>"$actual"
done

if diff -u <(grep -v '^#' "$expected") "$actual"; then
  echo "slot order: $(wc -l <"$actual") classes as expected"
else
  echo "slot order differs from $expected (- expected, + compiler)" >&2
  exit 1
fi
