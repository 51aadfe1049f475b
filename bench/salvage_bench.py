#!/usr/bin/env python3
"""Recovery shares of `daduvivu extract --salvage` on archives packed from a real tree
and damaged in several ways. Every file reported exact is compared with its source:
one that differs is a failure of the salvage (exit 1), never a lower share.

    bench/salvage_bench.py [TREE] [--daduvivu PATH] [--level N] [--points N]

Default tree /usr/share/cmake-3.25. Prints one Markdown table row per damage pattern:
how many files came back exact, unverified and lost, and the share exact.
"""
import argparse
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def pack(daduvivu, tree, out, level, volume_size=None):
    cmd = [daduvivu, "pack", tree, "-o", out, "-q"]
    if level:
        cmd.append(f"-{level}")
    if volume_size:
        cmd += ["--volume-size", volume_size]
    subprocess.run(cmd, check=True)


def block_offsets(path):
    """File offsets of the blocks of the program file (behind the header)."""
    data = open(path, "rb").read()
    at = 0x7000 + 4
    for i in range(3):
        at = data.index(b"\0", at) + 1
        if i == 0:
            at += 8
    at += 1
    return list(range(at, len(data), 4098))


def flip(path, offsets, seed):
    data = bytearray(open(path, "rb").read())
    rnd = random.Random(seed)
    for o in offsets:
        data[o] ^= rnd.randrange(1, 256)
    open(path, "wb").write(data)


def salvage(daduvivu, archive, dest, tree):
    report = dest + ".json"
    r = subprocess.run([daduvivu, "extract", "--salvage", "-q", "--report", report, archive, "-d", dest],
                       capture_output=True, text=True)
    rep = json.load(open(report))
    files = [e for e in rep["entries"] if e["type"] == "file"]
    counts = {"exact": 0, "unverified": 0, "lost": 0}
    wrong = []
    for e in files:
        counts[e["status"]] += 1
        if e["status"] == "exact":
            got = os.path.join(dest, e["name"])
            src = os.path.join(tree, e["name"])
            if not os.path.exists(src) or not os.path.exists(got) or open(got, "rb").read() != open(src, "rb").read():
                wrong.append(e["name"])
    return r.returncode, counts, wrong, rep


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("tree", nargs="?", default="/usr/share/cmake-3.25")
    ap.add_argument("--daduvivu", default=os.path.join(ROOT, "build/cli/daduvivu"))
    ap.add_argument("--level", type=int, default=0)
    ap.add_argument("--points", type=int, default=3, help="random single-flip trials besides the fixed patterns")
    args = ap.parse_args()
    tree = os.path.abspath(args.tree)
    total = sum(len(fs) for _, _, fs in os.walk(tree))
    work = tempfile.mkdtemp()
    failures = 0
    try:
        base = os.path.join(work, "base.exe")
        pack(args.daduvivu, tree, base, args.level)
        blocks = block_offsets(base)
        split = os.path.join(work, "split")
        os.mkdir(split)
        pack(args.daduvivu, tree, os.path.join(split, "a.exe"), args.level, "500k")
        other = os.path.join(work, "other")
        os.mkdir(other)
        pack(args.daduvivu, os.path.join(tree, "Help") if os.path.isdir(os.path.join(tree, "Help")) else tree,
             os.path.join(other, "a.exe"), args.level, "500k")

        def at(share):
            return blocks[int(len(blocks) * share)]

        patterns = [("none (sound archive)", lambda p: None)]
        patterns.append(("two flipped blocks (30%, 60%)", lambda p: flip(p, [at(0.3) + 1000, at(0.6) + 2000], 1)))
        rnd = random.Random(7)
        for i in range(args.points):
            a, b = sorted(rnd.sample(range(len(blocks)), 2))
            patterns.append((f"two flipped blocks ({a}, {b} of {len(blocks)})",
                             lambda p, a=a, b=b: flip(p, [blocks[a] + rnd.randrange(4098), blocks[b] + 17], i)))
        patterns.append(("run of 8 blocks at 50%", lambda p: flip(p, [at(0.5) + 4098 * k + 5 for k in range(8)], 3)))
        patterns.append(("cut at 70%", lambda p: os.truncate(p, at(0.7) + 1234)))
        patterns.append(("first block flipped", lambda p: flip(p, [blocks[0] + 300], 4)))

        print(f"{tree}: {total} files, archive {os.path.getsize(base)} bytes, {len(blocks)} blocks\n")
        print("| damage | exit | exact | unverified | lost | share exact |")
        print("|---|---|---|---|---|---|")

        def row(name, code, counts, wrong):
            nonlocal failures
            share = 100.0 * counts["exact"] / total
            print(f"| {name} | {code} | {counts['exact']} | {counts['unverified']} | {counts['lost']} | {share:.1f}% |")
            if wrong:
                failures += 1
                print(f"FAIL ({name}): {len(wrong)} files reported exact differ from their source: {wrong[:5]}", flush=True)

        for name, damage in patterns:
            p = os.path.join(work, "damaged.exe")
            shutil.copy(base, p)
            damage(p)
            dest = os.path.join(work, "out")
            shutil.rmtree(dest, ignore_errors=True)
            row(name, *salvage(args.daduvivu, p, dest, tree)[:3])

        def volumes(name, change):
            d = os.path.join(work, "vol")
            shutil.rmtree(d, ignore_errors=True)
            shutil.copytree(split, d)
            change(d)
            dest = os.path.join(work, "out")
            shutil.rmtree(dest, ignore_errors=True)
            row(name, *salvage(args.daduvivu, os.path.join(d, "a.exe"), dest, tree)[:3])

        nvol = len([f for f in os.listdir(split) if f.endswith(".DAT")]) + 1
        volumes(f"500k volumes ({nvol}), first .DAT missing", lambda d: os.remove(os.path.join(d, "a_2.DAT")))
        volumes("500k volumes, a_3.DAT from another archive",
                lambda d: shutil.copy(os.path.join(other, "a_3.DAT") if os.path.exists(os.path.join(other, "a_3.DAT"))
                                      else os.path.join(other, "a_2.DAT"), os.path.join(d, "a_3.DAT")))
    finally:
        shutil.rmtree(work)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
