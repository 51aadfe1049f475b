#!/usr/bin/env python3
"""Makes the README's pictures from the demo archive under Wine: the stub's main window,
its progress window (caught while the overwrite question waits) and the completion box.

    readme_pictures.py [BUILD] [OUT_FOLDER]

BUILD defaults to build/ (daduvivu, sfx.exe and the test driver are taken from it),
OUT_FOLDER to docs/. The Wine prefix is BUILD/demo-wineprefix, as scripts/demo.sh makes it.
"""
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
from wine_session import Skip, WineSession, wine_path  # noqa: E402

OVERWRITE = "はすでに存在します。上書きしますか？"
FINISHED = "ファイルの解凍が終わりました。"


def crop(shot, rect, out):
    x, y, w, h = rect
    subprocess.run(["convert", shot, "-crop", f"{w}x{h}+{x}+{y}", "+repage", out], check=True)


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build"))
    out = os.path.abspath(sys.argv[2] if len(sys.argv) > 2 else os.path.join(ROOT, "docs"))
    daduvivu = os.path.join(build, "cli", "daduvivu")
    driver = os.path.join(build, "tests", "e2e", "driver.exe")
    for need in (daduvivu, driver):
        if not os.path.exists(need):
            print(f"readme_pictures: {need} is missing (build first, with the Wine tools installed)")
            return 1
    work = tempfile.mkdtemp(prefix="readme-pictures-")
    try:
        exe = os.path.join(work, "welcome.exe")
        subprocess.run([daduvivu, "pack", "-q", os.path.join(ROOT, "samples", "welcome"), "-o", exe,
                        "--message", os.path.join(ROOT, "samples", "welcome-message.txt"),
                        ], check=True)
        # C:\Sample reads as a user's folder would. A readme.txt already in it makes the
        # stub ask, with its progress window up, which holds it still for the picture.
        prefix = os.path.join(build, "demo-wineprefix")
        dest = os.path.join(prefix, "drive_c", "Sample")
        shutil.rmtree(dest, ignore_errors=True)
        os.makedirs(dest)
        with open(os.path.join(dest, "readme.txt"), "w") as f:
            f.write("older\n")
        script = [
            "start " + wine_path(exe), "wait-main", "type C:\\Sample", "dump-main", "sync shot-main",
            "click extract",
            "expect-box readme.txt" + OVERWRITE, "dump-progress", "move-box 0 560", "sync shot-progress",
            "press no",
            "expect-box " + FINISHED, "sync shot-finished", "press ok", "exit",
        ]
        artefacts = os.path.join(work, "artefacts")
        with WineSession(prefix, artefacts) as session:
            events = session.run(driver, script)
        problems = [e["what"] for e in events if e["event"] == "error"]
        if problems:
            print(f"readme_pictures: the run under Wine went wrong: {problems}")
            return 1
        windows = {e["name"]: e for e in events if e["event"] == "window"}
        boxes = [e for e in events if e["event"] == "box"]
        crop(os.path.join(artefacts, "main.png"), windows["main"]["rect"], os.path.join(out, "screenshot-main.png"))
        crop(os.path.join(artefacts, "progress.png"), windows["progress"]["rect"],
             os.path.join(out, "screenshot-progress.png"))
        crop(os.path.join(artefacts, "finished.png"), boxes[-1]["rect"], os.path.join(out, "screenshot-finished.png"))
        print(f"readme_pictures: screenshot-main.png, screenshot-progress.png, screenshot-finished.png in {out}")
        return 0
    except Skip as why:
        print(f"readme_pictures: Wine is not available: {why}")
        return 1
    finally:
        shutil.rmtree(work, ignore_errors=True)
        shutil.rmtree(os.path.join(build, "demo-wineprefix", "drive_c", "Sample"), ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
