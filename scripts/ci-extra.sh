#!/usr/bin/env bash
# scripts/ci-extra.sh [FUZZ_SECONDS]
# The CI's longer checks, run after the main build in build/ (configured with
# -DORVANE_TEDS_BENCHMARKS=ON):
#  - every libFuzzer target for FUZZ_SECONDS (default 60) under ASan+UBSan,
#  - valgrind memcheck of one end-to-end query: no leak, no invalid access,
#  - the benchmarks, briefly, to show they build and run, and the scan
#    benchmark at the real answer pause, which fails when eight channels take
#    more than 1.2 times as long as one,
#  - OWFS (owserver, ow-shell) reading the DS2430As of the emulated DS2480B
#    adapter, and the Windows tool querying it through a COM port under wine
#    (needs the Windows build in build-win/).
set -euo pipefail
cd "$(dirname "$0")/.."
fuzz_seconds=${1:-60}

section() { printf '\n---- %s ----\n' "$*"; }

section "fuzz targets, ${fuzz_seconds}s each"
scripts/fuzz.sh "$fuzz_seconds"

section "valgrind memcheck of one query"
valgrind --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite \
  build/bin/teds query --poll-ms 0 --quiet

section "benchmarks"
cmake --build build -j "$(nproc)" --target bench_teds_decode bench_relay_parse bench_query bench_scan
for bench in bench_teds_decode bench_relay_parse bench_query; do
  "build/bin/$bench" --benchmark_min_time=0.05
done
build/bin/bench_scan

section "OWFS against the emulated DS2480B adapter"
scripts/test-owfs.sh build

section "teds.exe on a COM port under wine"
scripts/test-wine-serial.sh build build-win
