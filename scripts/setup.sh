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
  # A mirror caught mid-sync fails the update now and then: try again, and if one index
  # still fails, go on with the rest (the install below says what it cannot find).
  for try in 1 2 3; do
    "${sudo_cmd[@]}" apt-get update -q -o Acquire::Retries=3 && break
    if [ "$try" = 3 ]; then
      echo "setup: apt-get update failed three times; going on with the indexes it has" >&2
    else
      sleep $((try * 10))
    fi
  done
  # The 32-bit packages (Wine's) go in on their own: when the mirror cannot give them, the
  # build and the native tests still go on, and the stub's tests under Wine skip, saying why.
  native=() foreign=()
  for p in "${missing[@]}"; do
    case "$p" in *:i386) foreign+=("$p") ;; *) native+=("$p") ;; esac
  done
  [ ${#native[@]} -eq 0 ] || DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q "${native[@]}"
  if [ ${#foreign[@]} -gt 0 ] &&
     ! DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q "${foreign[@]}"; then
    echo "setup: could not install ${foreign[*]}; the stub's tests under Wine will be skipped" >&2
  fi
fi

# The stub's texts are code page 932; Wine takes its ANSI code page from a Japanese locale.
if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
  echo "setup: generating the ja_JP.UTF-8 locale"
  "${sudo_cmd[@]}" localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
fi
