#!/usr/bin/env bash
# Sets up the machine, builds everything and runs the whole test suite: the native unit
# and round-trip tests and the stub's end-to-end tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
# The Wine prefix of the stub's end-to-end tests (they would make it on first use too).
tests/e2e/setup_wine.sh "$PWD/build/e2e-wineprefix"
scripts/build.sh
ctest --test-dir build --output-on-failure -j"$(nproc)"
