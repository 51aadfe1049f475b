#!/usr/bin/env python3
"""Runs the console examples of README.md and writes their real output into it, or checks
that the README still shows what the commands print (a test does this, so that sizes
and listings never go stale).

    readme_console.py --write|--check [--daduvivu PATH] [--readme README.md]

Every ```console block holds commands ("$ " lines) and what they print. The commands run
one after the other in a scratch folder holding a copy of samples/, with fixed file times
and SOURCE_DATE_EPOCH, so that the output is the same on every machine.
"""
import argparse
import difflib
import os
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
EPOCH = 1796115600  # 2026-12-01 09:00:00 UTC: the samples' file times and the identity stamp
BLOCK = re.compile(r"^```console\n(.*?)^```\n", re.S | re.M)


def sandbox(daduvivu):
    work = tempfile.mkdtemp(prefix="readme-console-")
    shutil.copytree(os.path.join(ROOT, "samples"), os.path.join(work, "samples"), symlinks=True)
    for folder, dirs, files in os.walk(os.path.join(work, "samples")):
        for name in files + dirs:
            os.utime(os.path.join(folder, name), (EPOCH, EPOCH), follow_symlinks=False)
    bin_dir = os.path.join(work, ".bin")
    os.makedirs(bin_dir)
    os.symlink(os.path.abspath(daduvivu), os.path.join(bin_dir, "daduvivu"))
    env = dict(os.environ, PATH=bin_dir + os.pathsep + os.environ.get("PATH", ""), SOURCE_DATE_EPOCH=str(EPOCH),
               TZ="UTC", LC_ALL="C.UTF-8", TMPDIR=work)
    return work, env


def render(text, work, env):
    last_code = 0

    def run_block(match):
        nonlocal last_code
        lines = []
        for line in match.group(1).splitlines():
            if not line.startswith("$ "):
                continue
            command = line[2:]
            lines.append(line)
            if command == "echo $?":
                output = f"{last_code}\n"
            else:
                done = subprocess.run(["bash", "-c", command], cwd=work, env=env, stdout=subprocess.PIPE,
                                      stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
                last_code = done.returncode
                output = done.stdout.decode("utf-8", "replace")
            lines.extend(output.splitlines())
        return "```console\n" + "".join(line + "\n" for line in lines) + "```\n"

    return BLOCK.sub(run_block, text)


def main():
    parser = argparse.ArgumentParser()
    mode = parser.add_mutually_exclusive_group(required=True)
    mode.add_argument("--write", action="store_true")
    mode.add_argument("--check", action="store_true")
    parser.add_argument("--daduvivu", default=os.path.join(ROOT, "build", "cli", "daduvivu"))
    parser.add_argument("--readme", default=os.path.join(ROOT, "README.md"))
    args = parser.parse_args()
    with open(args.readme, encoding="utf-8") as f:
        text = f.read()
    work, env = sandbox(args.daduvivu)
    try:
        fresh = render(text, work, env)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    if args.write:
        with open(args.readme, "w", encoding="utf-8") as f:
            f.write(fresh)
        print(f"readme_console: {args.readme} written")
        return 0
    if fresh == text:
        print("readme_console: the README's examples are current")
        return 0
    sys.stdout.writelines(difflib.unified_diff(text.splitlines(True), fresh.splitlines(True), "README.md",
                                               "what the commands print now"))
    print("readme_console: the README's examples are stale; run scripts/readme_console.py --write")
    return 1


if __name__ == "__main__":
    sys.exit(main())
