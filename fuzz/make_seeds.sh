#!/usr/bin/env bash
# Makes the fuzz targets' seed inputs with our own packer: fuzz/make_seeds.sh DADUVIVU OUT
# writes OUT/archive, OUT/volumes and OUT/round_trip. DADUVIVU must come from the same
# build as the targets, so that its stub is the image the targets put in front.
set -euo pipefail
daduvivu=$(realpath "$1")
out=$2
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out/archive" "$out/volumes" "$out/round_trip"

# Trees: the bundled sample, a small one with similar files (references and prefixes),
# an empty file and an empty folder, and one of a single byte.
mkdir -p "$work/small/docs/deep" "$work/small/empty-folder" "$work/one"
for i in 1 2 3; do printf 'line %s of a config file\nkey=value\n' "$i" > "$work/small/docs/conf$i.ini"; done
head -c 3000 "$root/README.md" > "$work/small/readme.md"
head -c 2500 "$root/README.md" > "$work/small/docs/deep/readme-copy.md"
: > "$work/small/empty.txt"
printf 'A' > "$work/one/a"

pack() {
  "$daduvivu" pack "$@" > /dev/null 2> "$work/pack.err" || { cat "$work/pack.err" >&2; exit 1; }
}

# An input of the switch byte and the program file behind its image.
seed() {  # seed SWITCHES PROGRAM OUTPUT [VOLUME...]
  local switches=$1 program=$2 output=$3
  shift 3
  { printf "\\x$switches"; tail -c +28673 "$program"
    for v in "$@"; do printf '\xffVOL'; cat "$v"; done; } > "$output"
}

n=0
for tree in "$root/samples/welcome" "$work/small" "$work/one"; do
  for level in 1 5 9; do
    n=$((n + 1))
    pack "$tree" -o "$work/a$n.exe" -$level --message "$root/samples/welcome-message.txt" --run-after readme.txt
    seed 03 "$work/a$n.exe" "$out/archive/seed$n"
  done
done
# Volumes: the first small, the others whole blocks and a short last one.
for size in 29000 33000; do
  n=$((n + 1))
  mkdir -p "$work/v$n"
  pack "$root/samples/welcome" -o "$work/v$n/setup.exe" -1 --volume-size $size --volume-base disk
  volumes=()
  for i in $(seq 2 20); do [ -f "$work/v$n/disk_$i.DAT" ] && volumes+=("$work/v$n/disk_$i.DAT"); done
  seed 07 "$work/v$n/setup.exe" "$out/volumes/seed$n" "${volumes[@]}"
  seed 87 "$work/v$n/setup.exe" "$out/volumes/seed$n-removable" "${volumes[@]}"
done
cp "$out/archive/"* "$out/volumes/"

# Round trip: the switch byte (level, volumes), then records of a name byte, a length
# byte and the content (see fuzz_round_trip.cpp).
python3 - "$out/round_trip" "$root/README.md" <<'PY'
import sys
out, readme = sys.argv[1], open(sys.argv[2], 'rb').read()
def record(name, content): return bytes([name, len(content)]) + content
seeds = {
    'text': bytes([6]) + record(0, readme[:200]) + record(0x81, readme[200:300]) + record(9, readme[300:555]),
    'runs': bytes([8]) + record(0x41, b'ab') + record(0xC2, b'xyz') + record(17, b''),
    'volumes': bytes([0x30 | 2]) + b''.join(record(i * 9 % 40, readme[i * 200:i * 200 + 255]) for i in range(8)),
    'empty': bytes([0]),
}
for name, data in seeds.items(): open(f'{out}/{name}', 'wb').write(data)
PY
echo "make_seeds: $(ls "$out/archive" | wc -l) archive, $(ls "$out/volumes" | wc -l) volumes, $(ls "$out/round_trip" | wc -l) round-trip seeds in $out"
