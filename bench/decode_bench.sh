#!/usr/bin/env bash
# Decode speed of `daduvivu test` (and of `daduvivu list`, which must decode everything
# too) beside gzip -dc of a .tar.gz, unzip -t of a .zip and 7z t of a .7z of the same
# trees, all measured in one run; and the peak memory of `daduvivu extract`. Prints
# Markdown tables; MB/s counts the original data.
#
#   bench/decode_bench.sh [TREE...]     (default: /usr/lib/python3.11 /usr/share/cmake-3.25)
#
# DADUVIVU=path picks the binary; otherwise the script builds one in build-bench/.
# RUNS=n repeats every timing n times and keeps the fastest (default 3).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
runs=${RUNS:-3}
trees=("$@")
[ ${#trees[@]} -gt 0 ] || trees=(/usr/lib/python3.11 /usr/share/cmake-3.25)

for tool in gzip tar zip unzip 7z /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "decode_bench: $tool is missing (apt-get install zip unzip p7zip-full time)" >&2; exit 2; }
done

daduvivu=${DADUVIVU:-}
if [ -z "$daduvivu" ]; then
  cmake -S "$root" -B "$root/build-bench" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$root/build-bench" --target daduvivu -j2 >/dev/null
  daduvivu=$root/build-bench/cli/daduvivu
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Fastest wall time of `runs` runs of a command, in seconds.
fastest() {
  local best= start end t
  for _ in $(seq "$runs"); do
    start=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || { echo "decode_bench: failed: $*" >&2; exit 1; }
    end=$(date +%s.%N)
    t=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }')
    if [ -z "$best" ] || awk -v t="$t" -v b="$best" 'BEGIN { exit !(t < b) }'; then best=$t; fi
  done
  echo "$best"
}

mbps() { awk -v n="$1" -v t="$2" 'BEGIN { printf "%.1f", n / 1e6 / t }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

echo "| tree | original | tool | archive bytes | decode s | MB/s | x gzip -dc |"
echo "|---|---:|---|---:|---:|---:|---:|"
memory_rows=()
for tree in "${trees[@]}"; do
  name=$(basename "$tree")
  parent=$(dirname "$tree")
  "$daduvivu" pack -q "$tree" -o "$work/$name.exe"
  # The original data: what daduvivu stored (links followed), the same for every row.
  original=$("$daduvivu" list --json "$work/$name.exe" | sed -n 's/^ *"bytes": \([0-9]*\).*/\1/p' | tail -1)
  tar -C "$parent" -chf - "$name" | gzip -6 > "$work/$name.tar.gz"
  (cd "$parent" && zip -qr "$work/$name.zip" "$name")
  (cd "$parent" && 7z a -bd -l "$work/$name.7z" "$name" >/dev/null)

  t_gzip=$(fastest gzip -dc "$work/$name.tar.gz")
  t_dv=$(fastest "$daduvivu" test -q "$work/$name.exe")
  t_list=$(fastest "$daduvivu" list "$work/$name.exe")
  t_unzip=$(fastest unzip -tq "$work/$name.zip")
  t_7z=$(fastest 7z t "$work/$name.7z")

  for row in "daduvivu test:$name.exe:$t_dv" "daduvivu list:$name.exe:$t_list" "gzip -dc:$name.tar.gz:$t_gzip" \
             "unzip -t:$name.zip:$t_unzip" "7z t:$name.7z:$t_7z"; do
    IFS=: read -r tool file t <<<"$row"
    size=$(stat -c %s "$work/$file")
    printf '| %s | %s | %s | %s | %.2f | %s | %s |\n' "$name" "$original" "$tool" "$size" "$t" \
      "$(mbps "$original" "$t")" "$(ratio "$t_gzip" "$t")"
  done

  rm -rf "$work/out"
  peak=$(/usr/bin/time -v "$daduvivu" extract -q "$work/$name.exe" -d "$work/out" 2>&1 >/dev/null |
         sed -n 's/.*Maximum resident set size (kbytes): //p')
  memory_rows+=("| $name | $peak |")
  rm -rf "$work/out"
done

echo
echo "| tree | peak memory of daduvivu extract (KiB) |"
echo "|---|---:|"
printf '%s\n' "${memory_rows[@]}"
