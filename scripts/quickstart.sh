#!/usr/bin/env bash
# Installs only what building and running `teds` needs, builds only `teds`
# (and the libraries it uses), and runs one TEDS query against the built-in
# simulated data-acquisition device. Arguments go to `teds query`.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
# A fresh tree is configured without the tests, whose packages may not be
# there yet; a tree that scripts/test.sh configured is kept as it is.
if [ ! -f build/build.ninja ]; then
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF
fi
cmake --build build -j "$(nproc)" --target teds
./build/bin/teds query "$@"
