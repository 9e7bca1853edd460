#!/usr/bin/env bash
# scripts/test.sh [BUILD_DIR]
# Builds the native tree if needed and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
scripts/build.sh "$dir"
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)"
