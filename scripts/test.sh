#!/usr/bin/env bash
# Sets up the machine, builds everything and runs the whole test suite: the native unit
# and round-trip tests and the stub's end-to-end tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
ctest --test-dir build --output-on-failure -j"$(nproc)"
