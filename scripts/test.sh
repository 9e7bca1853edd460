#!/usr/bin/env bash
# scripts/test.sh [BUILD_DIR]
# Installs what the tests need, configures the tree with the tests (also one
# that scripts/quickstart.sh configured without them), builds everything and
# runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
scripts/install-deps.sh --tests
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON
else
  cmake -S . -B "$dir" -DBUILD_TESTING=ON >/dev/null
fi
cmake --build "$dir" -j "$(nproc)"
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)"
