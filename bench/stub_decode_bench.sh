#!/usr/bin/env bash
# The stub's decoding speed, before and after a change: the core of two git revisions
# compiled as the stub compiles it (i686 mingw, -Os, the compact core) into a small
# timer, run under Wine in interleaved rounds on archives packed from the trees; prints
# the median seconds of each.
#
#   bench/stub_decode_bench.sh [OLD_REV [NEW_REV]]   (default: main and the work tree)
#
# TREES="dir ..." (default /usr/share/cmake-3.25 /usr/lib/python3.11), ROUNDS=n (5),
# DADUVIVU=path packs the archives (default build/cli/daduvivu).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
old=${1:-main}
new=${2:-}
rounds=${ROUNDS:-5}
read -r -a trees <<<"${TREES:-/usr/share/cmake-3.25 /usr/lib/python3.11}"
daduvivu=${DADUVIVU:-$root/build/cli/daduvivu}
for tool in i686-w64-mingw32-g++ wine; do
  command -v "$tool" >/dev/null || { echo "stub_decode_bench: $tool is missing" >&2; exit 2; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export WINEPREFIX=$work/prefix WINEDEBUG=-all
unset DISPLAY

# The core and seam sources of a revision (empty: the work tree) into DIR.
checkout() {
  mkdir -p "$2"
  if [ -z "$1" ]; then
    (cd "$root" && tar -cf - container engine fsutil platform runtime ui) | tar -x -C "$2"
  else
    git -C "$root" archive "$1" container engine fsutil platform runtime ui | tar -x -C "$2"
  fi
}
compile() {
  local src=$1 out=$2
  i686-w64-mingw32-g++ -std=c++17 -Os -fno-exceptions -fno-rtti -DDADUVIVU_COMPACT_CORE -DWIN32_LEAN_AND_MEAN \
    -I"$src" "$root/bench/stub_decode/decode_timer.cpp" \
    "$src"/container/{archive,block_stream,fatal,volumes}.cpp "$src"/engine/{huffman,lz_decoder,extract}.cpp \
    "$src"/fsutil/folders.cpp "$src"/platform/win32/win32_platform.cpp "$src"/runtime/exit_path.cpp \
    -static -o "$out" -lkernel32 -luser32
}
checkout "$old" "$work/old"
checkout "$new" "$work/new"
compile "$work/old" "$work/old.exe"
compile "$work/new" "$work/new.exe"

median() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

echo "| tree | ${old} s | ${new:-work tree} s | new / old |"
echo "|---|---:|---:|---:|"
for tree in "${trees[@]}"; do
  name=$(basename "$tree")
  "$daduvivu" pack -q "$tree" -o "$work/$name.exe"
  winpath="Z:$(echo "$work/$name.exe" | tr / '\\')"
  t_old= t_new=
  for _ in $(seq "$rounds"); do
    t_old="$t_old $(wine "$work/old.exe" "$winpath" 2>/dev/null | tr -d '\r')"
    t_new="$t_new $(wine "$work/new.exe" "$winpath" 2>/dev/null | tr -d '\r')"
  done
  m_old=$(echo "$t_old" | median)
  m_new=$(echo "$t_new" | median)
  printf '| %s | %.3f | %.3f | %.2f |\n' "$name" "$m_old" "$m_new" "$(awk -v a="$m_new" -v b="$m_old" 'BEGIN { print a / b }')"
done
