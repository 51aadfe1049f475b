#!/usr/bin/env bash
# The sanitizer pass of CI: everything built with clang under the address and
# undefined-behaviour sanitizers (any undefined behaviour stops the program) in
# build-sanitize, the unit and command-line tests run there (not the stub under Wine,
# nor the replays of every tree build of two real trees, which prove the fast build
# equal to the plain one and take half an hour under the sanitizers),
# then each fuzz target for a short fixed time on its seeds.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-sanitize
CC=clang CXX=clang++ cmake -S . -B $build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDADUVIVU_FUZZ=ON \
  -DDADUVIVU_BUILD_STUB=OFF > $build.log 2>&1 || { cat $build.log; exit 1; }
cmake --build $build -j"$(nproc)" >> $build.log 2>&1 || { tail -n 60 $build.log; exit 1; }
echo "sanitize: built (log in $build.log)"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir $build --output-on-failure -j"$(nproc)" -E '^e2e_|EveryBuildOfThePacked'
fuzz/run.sh "${FUZZ_SECONDS:-25}" $build
