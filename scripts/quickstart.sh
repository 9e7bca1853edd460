#!/usr/bin/env bash
# Installs what is missing, builds, and runs one TEDS query against the
# built-in simulated data-acquisition device.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build
./build/bin/teds query "$@"
