#!/bin/sh
# Compares `daduvivu pack` with the archivers people would otherwise use, on trees
# that every machine of ours has and nobody here wrote.
#
#   bench/pack_bench.sh [TREE...]
#
# DADUVIVU names the command (default: build-packer/cli/daduvivu, then build/cli/daduvivu,
# then the one on PATH); LEVELS the daduvivu levels to try besides the default
# (default: 9); ROUNDS how often every tool runs (default: 3). The tools take turns,
# round after round, so that a busy machine slows them alike; the table shows the
# median CPU (user + system) and wall-clock seconds and the largest peak memory
# (/usr/bin/time). Every daduvivu archive is checked with `daduvivu test` (not timed).
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
if [ -z "${DADUVIVU:-}" ]; then
    for c in "$here/build-packer/cli/daduvivu" "$here/build/cli/daduvivu"; do
        if [ -x "$c" ]; then DADUVIVU=$c; break; fi
    done
fi
DADUVIVU=${DADUVIVU:-daduvivu}
LEVELS=${LEVELS:-9}
ROUNDS=${ROUNDS:-3}
[ $# -gt 0 ] || set -- /usr/share/cmake-3.25 /usr/lib/python3.11
[ -x /usr/bin/time ] || { echo "pack_bench.sh needs /usr/bin/time (package time)" >&2; exit 1; }

# A fixed identity stamp, so that the archives made with one thread and with all can
# be compared byte for byte.
export SOURCE_DATE_EPOCH="${SOURCE_DATE_EPOCH:-1700000000}"
work=$(mktemp -d /tmp/pack-bench-XXXXXX)
mkdir "$work/j1"
trap 'rm -rf "$work"' EXIT
trap 'exit 130' HUP INT PIPE TERM

# run NAME OUTPUT COMMAND: runs the shell command once (in the tree's parent folder)
# and records NAME, the output's size, CPU seconds, wall seconds and peak KB.
run() {
    name=$1 out=$2 command=$3
    rm -f "$out"
    if ! (cd "$parent" && /usr/bin/time -f "%U %S %e %M" -o "$work/time" sh -c "$command") >/dev/null 2>"$work/err"; then
        echo "$name failed:" >&2
        cat "$work/err" >&2
        exit 1
    fi
    read -r user system wall peak <"$work/time"
    echo "$name $(stat -c %s "$out") $(echo "$user + $system" | bc) $wall $peak" >>"$work/results"
}

for tree in "$@"; do
    parent=$(dirname "$tree")
    base=$(basename "$tree")
    : >"$work/results"
    # Links count with what they point to: zip and daduvivu store the targets, and tar
    # (-h) and 7z (-l) are told to do the same, so that all store the same bytes.
    input=$(find -L "$tree" -type f -printf '%s\n' | awk '{s += $1} END {print s}')
    files=$(find -L "$tree" -type f | wc -l)

    round=1
    while [ "$round" -le "$ROUNDS" ]; do
        run "daduvivu-default" "$work/d.exe" "'$DADUVIVU' pack -q '$base' -o '$work/d.exe'"
        # The same name in another folder: the archive header holds the base name.
        run "daduvivu-default-j1" "$work/j1/d.exe" "'$DADUVIVU' pack -q -j 1 '$base' -o '$work/j1/d.exe'"
        for level in $LEVELS; do
            run "daduvivu-$level" "$work/d$level.exe" "'$DADUVIVU' pack -q -$level '$base' -o '$work/d$level.exe'"
        done
        run "zip-9" "$work/t.zip" "zip -9 -r -q '$work/t.zip' '$base'"
        run "tar-h+gzip-9" "$work/t.tar.gz" "tar -chf - '$base' | gzip -9 >'$work/t.tar.gz'"
        if command -v libdeflate-gzip >/dev/null; then
            run "tar-h+libdeflate-12" "$work/t.tar.ldgz" "tar -chf - '$base' | libdeflate-gzip -12 -c >'$work/t.tar.ldgz'"
        fi
        run "7z-mx9-mmt1" "$work/t1.7z" "7z a -t7z -mx=9 -mmt=1 -l '$work/t1.7z' '$base'"
        run "7z-mx9" "$work/t.7z" "7z a -t7z -mx=9 -l '$work/t.7z' '$base'"
        round=$((round + 1))
    done
    "$DADUVIVU" test -q "$work/d.exe" >/dev/null
    cmp -s "$work/d.exe" "$work/j1/d.exe" || echo "warning: -j 1 and the default differ" >&2
    for level in $LEVELS; do "$DADUVIVU" test -q "$work/d$level.exe" >/dev/null; done

    echo
    echo "$tree: $files files, $input bytes; medians of $ROUNDS rounds"
    printf '%-20s %12s %8s %8s %8s %8s %8s\n' tool bytes "vs zip" "CPU s" "wall s" "vs zip" "peak MB"
    # Per tool: the size of the last round, the median CPU and wall time, the largest peak.
    awk '
        function median(list, n,   a, i, j, t) {
            split(list, a, " ")
            for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
            return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
        }
        {
            if (!($1 in count)) order[++tools] = $1
            count[$1]++; size[$1] = $2; cpu[$1] = cpu[$1] " " $3; wall[$1] = wall[$1] " " $4
            if ($5 > peak[$1]) peak[$1] = $5
        }
        END {
            zsize = size["zip-9"]; zwall = median(wall["zip-9"], count["zip-9"])
            for (k = 1; k <= tools; k++) {
                t = order[k]; w = median(wall[t], count[t])
                printf "%-20s %12d %8.3f %8.2f %8.2f %8.2f %8.1f\n", t, size[t], size[t] / zsize,
                       median(cpu[t], count[t]), w, w / zwall, peak[t] / 1024
            }
        }' "$work/results"
done
echo
echo "The daduvivu archives include the 28,672-byte stub; the other archives have none."
echo "The machine may be shared: wall times are medians of interleaved rounds, CPU times the steadier figure."
