#!/usr/bin/env python3
"""Starts a self-extracting archive under Wine in a private Xvfb and extracts it through
its own dialog, as a user would: type the destination, click 解凍, agree to create the
folder, confirm the completion message. Leaves a screenshot of the main window.

    demo_wine.py ARCHIVE.exe DESTINATION SCREENSHOT.png DRIVER.exe PREFIX

Exits 77 when this machine cannot run the stub under Wine.
"""
import os
import shutil
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from wine_session import Skip, WineSession, wine_path  # noqa: E402


def main():
    archive, destination, screenshot, driver, prefix = sys.argv[1:6]
    artefacts = os.path.join(os.path.dirname(os.path.abspath(screenshot)), "wine-artefacts")
    script = [
        "start " + wine_path(archive),
        "wait-main",
        "sync shot-main",
        "type " + wine_path(destination),
        "click extract",
        "box yes 指定されたフォルダはありません。",
        "box ok ファイルの解凍が終わりました。",
        "exit",
    ]
    try:
        with WineSession(prefix, artefacts) as session:
            events = session.run(driver, script)
    except Skip as why:
        print(f"demo: the stub was not started under Wine: {why}")
        return 77
    problems = [e["what"] for e in events if e["event"] == "error"]
    codes = [e["code"] for e in events if e["event"] == "exit"]
    shot = os.path.join(artefacts, "main.png")
    if os.path.exists(shot):
        shutil.copy(shot, screenshot)
    if problems or codes != [0]:
        print(f"demo: the stub's run under Wine went wrong: {problems or codes}")
        return 1
    print(f"demo: the stub extracted into {destination} under Wine (exit code 0); window shot in {screenshot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
