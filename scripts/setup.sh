#!/usr/bin/env bash
# Installs what building and testing Daduvivu needs on Debian 12, only what is missing.
# Safe to run again. Needs root (or sudo) for the packages. `bench` adds the benchmarks' tools.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++ cmake make pkg-config libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev nlohmann-json3-dev
          zip unzip p7zip-full locales
          g++-mingw-w64-i686 wine wine32:i386 xvfb xdotool imagemagick fonts-ipafont-gothic python3
          clang libclang-rt-14-dev)
# `setup.sh bench` adds what only the benchmarks use (bench/decode_bench.sh).
[ "${1:-}" != bench ] || packages+=(libdeflate-tools valgrind time)

sudo_cmd=()
[ "$(id -u)" = 0 ] || sudo_cmd=(sudo)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  if printf '%s\n' "${missing[@]}" | grep -q ':i386'; then
    dpkg --print-foreign-architectures | grep -qx i386 || "${sudo_cmd[@]}" dpkg --add-architecture i386
  fi
  "${sudo_cmd[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q "${missing[@]}"
fi

# The stub's texts are code page 932; Wine takes its ANSI code page from a Japanese locale.
if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
  echo "setup: generating the ja_JP.UTF-8 locale"
  "${sudo_cmd[@]}" localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
fi
