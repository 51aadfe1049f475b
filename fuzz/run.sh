#!/usr/bin/env bash
# Runs every fuzz target for SECONDS on its seeds and its saved corpus:
#   fuzz/run.sh SECONDS [BUILD_DIR]
# BUILD_DIR (default build-fuzz) is configured with clang and -DDADUVIVU_FUZZ=ON and
# built when it has no targets yet. New inputs are kept in BUILD_DIR/fuzz-corpus/TARGET,
# so that a later run goes on from there; what crashes is saved in BUILD_DIR/fuzz-artifacts.
# Exits non-zero when a target finds a fault.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:?usage: fuzz/run.sh SECONDS [BUILD_DIR]}
build=${2:-build-fuzz}
targets=(archive volumes round_trip)

if [ ! -x "$build/fuzz/fuzz_archive" ]; then
  echo "fuzz: building the targets in $build"
  CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDADUVIVU_FUZZ=ON \
    -DDADUVIVU_BUILD_STUB=OFF -DBUILD_TESTING=OFF > "$build.log" 2>&1 || { cat "$build.log"; exit 1; }
  cmake --build "$build" -j"$(nproc)" --target daduvivu "${targets[@]/#/fuzz_}" >> "$build.log" 2>&1 ||
    { tail -n 60 "$build.log"; exit 1; }
fi
[ -d "$build/fuzz-seeds/archive" ] || fuzz/make_seeds.sh "$build/cli/daduvivu" "$build/fuzz-seeds"

failed=0
for t in "${targets[@]}"; do
  corpus="$build/fuzz-corpus/$t"
  mkdir -p "$corpus" "$build/fuzz-artifacts"
  log="$build/fuzz-$t.log"
  # -timeout: an input that takes longer than 25 s is a fault (a hang) like a crash.
  if "$build/fuzz/fuzz_$t" "$corpus" "$build/fuzz-seeds/$t" -max_total_time="$seconds" -timeout=25 \
       -print_final_stats=1 -artifact_prefix="$build/fuzz-artifacts/$t-" > "$log" 2>&1; then
    result=ok
  else
    result="FAILED (see $log and $build/fuzz-artifacts)"
    failed=1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1)
  echo "fuzz_$t: ${runs:-?} runs, ${rate:-?} exec/s, ${cov:-cov: ?}: $result"
done
exit $failed
