#!/usr/bin/env bash
# Configures and builds everything into build/ (the stub too, where mingw-w64 is installed).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release > build.log 2>&1 || { cat build.log; exit 1; }
cmake --build build -j"$(nproc)" >> build.log 2>&1 || { tail -n 60 build.log; exit 1; }
echo "build: done (log in build.log)"
