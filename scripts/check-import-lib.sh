#!/usr/bin/env bash
# scripts/check-import-lib.sh [BUILD_DIR]
# Checks orvane_teds.lib, the import library for MSVC hosts, in a Windows
# build (default build-win):
#  - it imports exactly the functions capi/orvane_teds.h declares, and its
#    module definition cmake/orvane_teds.def lists exactly those;
#  - orvane_teds.dll exports every one of them;
#  - with clang and lld-link (the MSVC-compatible linker), a C host compiled
#    for the MSVC target links against it alone, and under wine it decodes an
#    image through the DLL.
# Exits non-zero and names the functions that differ when anything drifts.
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
dir="$(cd "${1:-build-win}" && pwd)"
lib="$dir/lib/orvane_teds.lib"
dll="$dir/bin/orvane_teds.dll"

tool() {  # the first of the given programs that exists
  for t in "$@"; do command -v "$t" >/dev/null 2>&1 && { echo "$t"; return; }; done
  echo "check-import-lib: none of $* found" >&2; exit 1
}
nm=$(tool llvm-nm llvm-nm-14 llvm-nm-15 llvm-nm-16)
objdump=$(tool x86_64-w64-mingw32-objdump llvm-objdump llvm-objdump-14)
[ -f "$lib" ] || { echo "check-import-lib: $lib is missing" >&2; exit 1; }
[ -f "$dll" ] || { echo "check-import-lib: $dll is missing" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The header's functions: every declaration that carries the export macro
# (a declaration may run over several lines); the macro's own definition is
# left out with the preprocessor lines.
grep -v '^[[:space:]]*#' "$src/capi/orvane_teds.h" | tr '\n' ' ' |
  grep -oE 'ORVANE_TEDS_C_API[^;(]*[(]' |
  sed -E 's/[[:space:]]*[(]$//; s/.*[^A-Za-z0-9_]//' | sort -u >"$work/header"
grep -vE '^[[:space:]]*(;|$|LIBRARY|EXPORTS)' "$src/cmake/orvane_teds.def" |
  awk '{print $1}' | sort -u >"$work/def"
"$nm" "$lib" | sed -nE 's/.* __imp_([A-Za-z0-9_]+)$/\1/p' | sort -u >"$work/lib"
# The DLL's export table: the name is the last field of each entry.
"$objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -nE 's/^[[:space:]]*\[[[:space:]]*[0-9]+\][[:space:]]+([A-Za-z0-9_]+)$/\1/p' |
  sort -u >"$work/dll"

status=0
if [ ! -s "$work/header" ]; then
  echo "check-import-lib: no function found in capi/orvane_teds.h" >&2; exit 1
fi
differ() {  # differ WHAT A B: reports the lines of A not in B
  local missing
  missing=$(comm -23 "$work/$2" "$work/$3")
  if [ -n "$missing" ]; then
    echo "check-import-lib: $1:" >&2
    sed 's/^/  /' <<<"$missing" >&2
    status=1
  fi
}
differ "declared in capi/orvane_teds.h but missing from cmake/orvane_teds.def" header def
differ "in cmake/orvane_teds.def but not declared in capi/orvane_teds.h" def header
differ "declared in capi/orvane_teds.h but not imported by orvane_teds.lib" header lib
differ "imported by orvane_teds.lib but not declared in capi/orvane_teds.h" lib header
differ "imported by orvane_teds.lib but not exported by orvane_teds.dll" lib dll
[ "$status" -eq 0 ] || exit "$status"
echo "orvane_teds.lib: $(wc -l <"$work/lib") functions, as capi/orvane_teds.h declares and the DLL exports"

# A host built the way MSVC builds one: an object for the MSVC target, linked
# by an MSVC-compatible linker against orvane_teds.lib, without mingw's
# libraries. It takes no C runtime, so it ends through kernel32 itself.
if ! command -v clang >/dev/null || ! command -v lld-link >/dev/null; then
  echo "check-import-lib: clang or lld-link missing; the MSVC-style link is skipped"
  exit 0
fi
dlltool=$(tool llvm-dlltool llvm-dlltool-14 llvm-dlltool-15 llvm-dlltool-16)
printf 'LIBRARY kernel32.dll\nEXPORTS\n  ExitProcess\n' >"$work/kernel32.def"
"$dlltool" -m i386:x86-64 -d "$work/kernel32.def" -l "$work/kernel32.lib"
cat >"$work/host.c" <<'HOST'
#include "orvane_teds.h"
__declspec(dllimport) void __stdcall ExitProcess(unsigned int code);
/* The worked example's image: parsed, manufacturer 100, serial 123456. */
static const uint8_t image[] = {0x64, 0x80, 0x34, 0x41, 0x0C, 0x40, 0xE2, 0x01,
                                0x64, 0x90, 0x0F, 0xF8, 0x64, 0x06, 0x29, 0x1C,
                                0xFB, 0x08, 0x62, 0xB4, 0x45, 0x01, 0x00};
void start(void) {
  orvane_teds_decode_result* result = 0;
  unsigned code = 10;
  if (orvane_teds_decode_image(image, sizeof image, &result) == ORVANE_TEDS_OK) {
    code = result->parsed && result->transducer->manufacturer_id == 100 &&
                   result->transducer->serial_number == 123456
               ? 0 : 11;
    if (orvane_teds_decode_result_free(result) != ORVANE_TEDS_OK) code = 12;
  }
  if (orvane_teds_decode_image(0, 1, &result) != ORVANE_TEDS_INVALID_ARGUMENT ||
      orvane_teds_last_error()[0] == '\0')
    code = 13;
  ExitProcess(code);
}
HOST
clang --target=x86_64-pc-windows-msvc -ffreestanding -fno-stack-protector -O1 \
  -I"$src/capi" -c "$work/host.c" -o "$work/host.obj"
lld-link -nologo -nodefaultlib -entry:start -subsystem:console -out:"$work/msvc_host.exe" \
  "$work/host.obj" "$lib" "$work/kernel32.lib"
echo "msvc_host.exe: linked against orvane_teds.lib by lld-link"
wine=${WINE:-/usr/lib/wine/wine64}
if [ ! -x "$wine" ]; then
  echo "check-import-lib: no wine; msvc_host.exe is not run"
  exit 0
fi
cp "$work/msvc_host.exe" "$dir/bin/msvc_host.exe"
set +e
(cd "$dir/bin" && WINEDEBUG=${WINEDEBUG:--all} "$wine" ./msvc_host.exe)
code=$?
set -e
rm -f "$dir/bin/msvc_host.exe"
if [ "$code" -ne 0 ]; then
  echo "check-import-lib: msvc_host.exe under wine ended with $code" >&2
  exit 1
fi
echo "msvc_host.exe: decoded the worked image through orvane_teds.dll under wine"
