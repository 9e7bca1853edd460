#!/usr/bin/env bash
# scripts/fuzz.sh [SECONDS] [TARGET...]
# Builds the libFuzzer targets with clang (ASan+UBSan) and runs each one for
# SECONDS (default 60), starting from the seed corpus in fuzz/corpus/. New
# inputs go to a scratch folder, never into the repository.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
dir=build-fuzz
if [ ! -f "$dir/build.ninja" ]; then
  CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DORVANE_TEDS_FUZZ=ON -DBUILD_TESTING=OFF
fi
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  mapfile -t targets < <(sed -n 's/^orvane_add_fuzzer(\([a-z_0-9]*\).*/\1/p' fuzz/CMakeLists.txt)
fi
cmake --build "$dir" -j "$(nproc)" --target "${targets[@]}"
mkdir -p "$dir/artifacts"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for target in "${targets[@]}"; do
  corpus="fuzz/corpus/${target#fuzz_}"
  mkdir -p "$scratch/$target"
  [ -d "$corpus" ] && cp -r "$corpus/." "$scratch/$target/"
  echo "== $target for ${seconds}s"
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    "$dir/bin/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$dir/artifacts/$target-" "$scratch/$target" 2>&1 | tail -n 12
  [ "${PIPESTATUS[0]}" -eq 0 ] || { echo "$target failed"; exit 1; }
done
