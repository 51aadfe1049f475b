#!/bin/sh
# Compares `daduvivu pack` with the archivers people would otherwise use, on trees
# that every machine of ours has and nobody here wrote.
#
#   bench/pack_bench.sh [TREE...]
#
# DADUVIVU names the command (default: build-packer/cli/daduvivu, then build/cli/daduvivu,
# then the one on PATH); LEVELS the daduvivu levels to try besides the default
# (default: 9). Every daduvivu archive is checked with `daduvivu test` (not timed).
# Prints one table per tree: size in bytes, ratio to zip -9, wall-clock time.
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
if [ -z "${DADUVIVU:-}" ]; then
    for c in "$here/build-packer/cli/daduvivu" "$here/build/cli/daduvivu"; do
        if [ -x "$c" ]; then DADUVIVU=$c; break; fi
    done
fi
DADUVIVU=${DADUVIVU:-daduvivu}
LEVELS=${LEVELS:-9}
[ $# -gt 0 ] || set -- /usr/lib/python3.11 /usr/share/cmake-3.25

work=$(mktemp -d /tmp/pack-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT INT TERM

now() { date +%s.%N; }
# run NAME OUTPUT COMMAND...: times the command and records NAME, size and seconds.
run() {
    name=$1 out=$2
    shift 2
    start=$(now)
    "$@" >/dev/null 2>"$work/err" || { echo "$name failed:" >&2; cat "$work/err" >&2; exit 1; }
    end=$(now)
    size=$(stat -c %s "$out")
    echo "$name $size $(echo "$end - $start" | bc)" >>"$work/results"
}

for tree in "$@"; do
    parent=$(dirname "$tree")
    base=$(basename "$tree")
    : >"$work/results"
    rm -f "$work"/*.exe "$work"/*.DAT "$work"/t.*
    # Links count with what they point to: zip and daduvivu store the targets, and tar
    # (-h) and 7z (-l) are told to do the same, so that all store the same bytes.
    input=$(find -L "$tree" -type f -printf '%s\n' | awk '{s += $1} END {print s}')
    files=$(find -L "$tree" -type f | wc -l)

    run "daduvivu-default" "$work/d.exe" "$DADUVIVU" pack -q "$tree" -o "$work/d.exe"
    "$DADUVIVU" test -q "$work/d.exe" >/dev/null
    for level in $LEVELS; do
        run "daduvivu-$level" "$work/d$level.exe" "$DADUVIVU" pack -q "-$level" "$tree" -o "$work/d$level.exe"
        "$DADUVIVU" test -q "$work/d$level.exe" >/dev/null
    done
    run "zip-9" "$work/t.zip" sh -c "cd '$parent' && zip -9 -r -q '$work/t.zip' '$base'"
    run "tar-h+gzip-9" "$work/t.tar.gz" sh -c "cd '$parent' && tar -chf - '$base' | gzip -9 >'$work/t.tar.gz'"
    run "7z-mx9-l" "$work/t.7z" sh -c "cd '$parent' && 7z a -t7z -mx=9 -l '$work/t.7z' '$base'"

    zip=$(awk '$1 == "zip-9" {print $2}' "$work/results")
    echo
    echo "$tree: $files files, $input bytes"
    printf '%-18s %12s %9s %9s\n' tool bytes "vs zip-9" seconds
    awk -v zip="$zip" '{printf "%-18s %12d %9.3f %9.1f\n", $1, $2, $2 / zip, $3}' "$work/results"
done
echo
echo "daduvivu-default includes the 28,672-byte stub; the other archives have none."
