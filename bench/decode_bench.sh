#!/usr/bin/env bash
# Decode speed of `daduvivu test` (and of `daduvivu list`, which decodes everything too)
# beside gzip -dc of a .tar.gz, libdeflate-gzip -dc of the same file (when installed),
# unzip -t of a .zip and 7z t of a .7z of the same trees; `daduvivu extract` beside
# tar -xzf into a tmpfs; and the peak memory of `daduvivu extract`. Prints Markdown
# tables; MB/s counts the original data.
#
#   bench/decode_bench.sh [TREE...]     (default: /usr/lib/python3.11 /usr/share/cmake-3.25)
#
# Every tool gets the same bytes: links are followed by all of them (tar -h, zip's
# default, 7z -l, and daduvivu pack). Peers pack at their top levels (gzip -9, zip -9,
# 7z -mx=9); daduvivu at its default. The timings run in interleaved rounds (each round
# times every tool once, in turn) and the median of the rounds is shown, so that a
# shared machine's load falls on all tools alike.
#
# DADUVIVU=path picks the binary; otherwise the script builds one in build-bench/.
# ROUNDS=n rounds (default 7). CALLGRIND=1 adds instruction counts (valgrind) of
# daduvivu test, gzip -dc and libdeflate-gzip -dc, the figure that machine noise
# does not move. SHM=dir is the tmpfs for the extract rows (default /dev/shm).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
rounds=${ROUNDS:-7}
shm=${SHM:-/dev/shm}
trees=("$@")
[ ${#trees[@]} -gt 0 ] || trees=(/usr/lib/python3.11 /usr/share/cmake-3.25)

for tool in gzip tar zip unzip 7z /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "decode_bench: $tool is missing (bash scripts/setup.sh bench)" >&2; exit 2; }
done
libdeflate=$(command -v libdeflate-gzip || true)
if [ "${CALLGRIND:-0}" = 1 ] && ! command -v valgrind >/dev/null; then
  echo "decode_bench: CALLGRIND=1 needs valgrind (bash scripts/setup.sh bench)" >&2; exit 2
fi

daduvivu=${DADUVIVU:-}
if [ -z "$daduvivu" ]; then
  cmake -S "$root" -B "$root/build-bench" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$root/build-bench" --target daduvivu -j2 >/dev/null
  daduvivu=$root/build-bench/cli/daduvivu
fi

work=$(mktemp -d)
out=$(mktemp -d "$shm/decode_bench.XXXXXX")
trap 'rm -rf "$work" "$out"' EXIT

# Wall time of one run of a command, in seconds; a failure stops the bench.
seconds() {
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null 2>&1 || { echo "decode_bench: failed: $*" >&2; exit 1; }
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.4f", b - a }'
}
median() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
mbps() { awk -v n="$1" -v t="$2" 'BEGIN { printf "%.1f", n / 1e6 / t }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
instructions() {
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null |
    sed -n 's/.*Collected : \([0-9]*\).*/\1/p'
}

extract_dv() { rm -rf "$out/dv"; "$daduvivu" extract -q -y "$1" -d "$out/dv"; }
extract_tar() { rm -rf "$out/tar"; mkdir -p "$out/tar"; tar -xzf "$1" -C "$out/tar"; }

decode_rows=()
memory_rows=()
count_rows=()
for tree in "${trees[@]}"; do
  name=$(basename "$tree")
  parent=$(dirname "$tree")
  "$daduvivu" pack -q "$tree" -o "$work/$name.exe"
  # The original data: what daduvivu stored (links followed), the same for every row.
  original=$("$daduvivu" list --json "$work/$name.exe" | sed -n 's/^ *"bytes": \([0-9]*\).*/\1/p' | tail -1)
  files=$(find -L "$tree" -type f | wc -l)
  tar -C "$parent" -chf - "$name" | gzip -9 > "$work/$name.tar.gz"
  (cd "$parent" && zip -qr -9 "$work/$name.zip" "$name")
  (cd "$parent" && 7z a -bd -l -mx=9 "$work/$name.7z" "$name" >/dev/null)

  tools=("daduvivu test" "daduvivu list" "gzip -dc" "unzip -t" "7z t" "daduvivu extract" "tar -xzf")
  [ -z "$libdeflate" ] || tools+=("libdeflate-gzip -dc")
  declare -A times=()
  for _ in $(seq "$rounds"); do
    for tool in "${tools[@]}"; do
      case $tool in
        "daduvivu test") t=$(seconds "$daduvivu" test -q "$work/$name.exe") ;;
        "daduvivu list") t=$(seconds "$daduvivu" list "$work/$name.exe") ;;
        "gzip -dc") t=$(seconds gzip -dc "$work/$name.tar.gz") ;;
        "libdeflate-gzip -dc") t=$(seconds "$libdeflate" -dc "$work/$name.tar.gz") ;;
        "unzip -t") t=$(seconds unzip -tq "$work/$name.zip") ;;
        "7z t") t=$(seconds 7z t "$work/$name.7z") ;;
        "daduvivu extract") t=$(seconds extract_dv "$work/$name.exe") ;;
        "tar -xzf") t=$(seconds extract_tar "$work/$name.tar.gz") ;;
      esac
      times[$tool]="${times[$tool]:-} $t"
    done
  done
  declare -A med=()
  for tool in "${tools[@]}"; do med[$tool]=$(echo "${times[$tool]}" | median); done

  for tool in "daduvivu test" "daduvivu list" "gzip -dc" "libdeflate-gzip -dc" "unzip -t" "7z t"; do
    [ -n "${med[$tool]:-}" ] || continue
    case $tool in
      daduvivu*) file=$name.exe ;;
      gzip*|libdeflate*) file=$name.tar.gz ;;
      unzip*) file=$name.zip ;;
      7z*) file=$name.7z ;;
    esac
    decode_rows+=("$(printf '| %s | %s | %s | %.3f | %s | %s |' "$name" "$tool" "$(stat -c %s "$work/$file")" \
      "${med[$tool]}" "$(mbps "$original" "${med[$tool]}")" "$(ratio "${med[gzip -dc]}" "${med[$tool]}")")")
  done
  for tool in "daduvivu extract" "tar -xzf"; do
    decode_rows+=("$(printf '| %s | %s into tmpfs | | %.3f | %s | %s (x tar -xzf) |' "$name" "$tool" "${med[$tool]}" \
      "$(mbps "$original" "${med[$tool]}")" "$(ratio "${med[tar -xzf]}" "${med[$tool]}")")")
  done
  count_rows+=("| $name | $files | $original |")
  unset times med

  if [ "${CALLGRIND:-0}" = 1 ]; then
    i_dv=$(instructions "$daduvivu" test -q "$work/$name.exe")
    i_gz=$(instructions gzip -dc "$work/$name.tar.gz")
    i_ld=
    [ -z "$libdeflate" ] || i_ld=$(instructions "$libdeflate" -dc "$work/$name.tar.gz")
    memory_rows+=("CALLGRIND| $name | $i_dv | $i_gz | ${i_ld:--} |")
  fi

  # Peak memory, and the pages each extract touched for the first time (minor faults):
  # on a virtual machine a first touch costs microseconds.
  usage=$(/usr/bin/time -v "$daduvivu" extract -q -y "$work/$name.exe" -d "$out/mem" 2>&1 >/dev/null)
  peak=$(sed -n 's/.*Maximum resident set size (kbytes): //p' <<< "$usage")
  faults=$(sed -n 's/.*Minor (reclaiming a frame) page faults: //p' <<< "$usage")
  mkdir -p "$out/tarmem"
  tar_faults=$(/usr/bin/time -v tar -xzf "$work/$name.tar.gz" -C "$out/tarmem" 2>&1 >/dev/null |
               sed -n 's/.*Minor (reclaiming a frame) page faults: //p')
  rm -rf "$out/mem" "$out/tarmem" "$out/dv" "$out/tar"
  memory_rows+=("| $name | $peak | $faults | $tar_faults |")
done

echo "| tree | files | original bytes |"
echo "|---|---:|---:|"
printf '%s\n' "${count_rows[@]}"
echo
echo "Median of $rounds interleaved rounds; the last column is the speed relative to gzip -dc (to tar -xzf for the extract rows)."
echo
echo "| tree | tool | archive bytes | s | MB/s | x gzip -dc |"
echo "|---|---|---:|---:|---:|---:|"
printf '%s\n' "${decode_rows[@]}"
if [ "${CALLGRIND:-0}" = 1 ]; then
  echo
  echo "| tree | instructions: daduvivu test | gzip -dc | libdeflate-gzip -dc |"
  echo "|---|---:|---:|---:|"
  printf '%s\n' "${memory_rows[@]}" | sed -n 's/^CALLGRIND//p'
fi
echo
echo "| tree | peak memory of daduvivu extract (KiB) | its page faults | tar -xzf's page faults |"
echo "|---|---:|---:|---:|"
printf '%s\n' "${memory_rows[@]}" | grep -v '^CALLGRIND'
