#!/usr/bin/env bash
# Sets up the machine, builds everything and runs the whole test suite: the native unit
# and round-trip tests and the stub's end-to-end tests under Wine, then the sanitizer
# build's tests and a short run of every fuzz target (scripts/sanitize.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
# The Wine prefix of the stub's end-to-end tests (they would make it on first use too).
tests/e2e/setup_wine.sh "$PWD/build/e2e-wineprefix"
scripts/build.sh
ctest --test-dir build --output-on-failure -j"$(nproc)"
# The same tests under the sanitizers, and a short run of every fuzz target.
scripts/sanitize.sh
