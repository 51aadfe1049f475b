"""Runs the test driver under Wine inside a private Xvfb and hands back its transcript.

One Wine prefix serves one test at a time (CTest serialises the end-to-end tests on a
resource lock); the wineserver is ended after every run so that nothing of one test
leaks into the next.
"""
import json
import os
import shutil
import signal
import subprocess
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def wine_path(path):
    """Wine path of a Linux path through drive Z:, which maps /.

    Converted here rather than with winepath, which would start Wine without our display.
    """
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Skip(Exception):
    """The machine lacks something the test needs; CTest reports the test as skipped."""


class WineSession:
    def __init__(self, prefix, artefacts):
        self.prefix = os.path.abspath(prefix)
        self.artefacts = artefacts
        self.xvfb = None
        self.display = None
        os.makedirs(artefacts, exist_ok=True)

    def env(self):
        env = dict(os.environ)
        env.update({
            "WINEPREFIX": self.prefix,
            "WINEDEBUG": "-all",
            "WINEARCH": "win32",
            "WINEDLLOVERRIDES": "mscoree,mshtml=",
            "LC_ALL": "ja_JP.UTF-8",
            "DISPLAY": self.display or "",
        })
        return env

    def __enter__(self):
        for tool in ("wine", "wineserver", "Xvfb"):
            if not shutil.which(tool):
                raise Skip(f"{tool} is not installed (run tests/e2e/setup_wine.sh)")
        runs = subprocess.run([os.path.join(HERE, "runs_win32.sh")], stdout=subprocess.PIPE, text=True)
        if runs.returncode != 0:
            raise Skip(runs.stdout.strip())
        # Quick when the prefix is up to date; makes or updates it otherwise.
        subprocess.run([os.path.join(HERE, "setup_wine.sh"), "--prefix-only", self.prefix],
                       check=True, stdout=subprocess.DEVNULL)
        fd_read, fd_write = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(fd_write), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=(fd_write,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(fd_write)
        number = b""
        with os.fdopen(fd_read, "rb") as f:
            number = f.readline().strip()
        if not number:
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + number.decode()
        return self

    def __exit__(self, *exc):
        subprocess.run(["wineserver", "-k"], env=self.env(), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        if self.xvfb:
            self.xvfb.send_signal(signal.SIGTERM)
            try:
                self.xvfb.wait(10)
            except subprocess.TimeoutExpired:
                self.xvfb.kill()

    def screenshot(self, name):
        out = os.path.join(self.artefacts, name + ".png")
        subprocess.run(["import", "-display", self.display, "-window", "root", out],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return out

    def run(self, driver, script_lines, on_sync=None, timeout=240):
        """Runs the driver with a script; on_sync(name) answers its 'sync' requests.

        Sync names starting with 'shot-' are screenshots, taken here without a callback.
        Returns the transcript as a list of dicts.
        """
        work = tempfile.mkdtemp(prefix="run-", dir=self.artefacts)
        script = os.path.join(work, "script.txt")
        transcript = os.path.join(work, "transcript.jsonl")
        with open(script, "w", encoding="utf-8") as f:
            f.write("\n".join(script_lines) + "\n")
        proc = subprocess.Popen(["wine", driver, wine_path(transcript), wine_path(script)],
                                env=self.env(), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        answered = set()
        deadline = time.monotonic() + timeout
        while proc.poll() is None:
            for entry in os.listdir(work):
                if entry.endswith(".req") and entry not in answered:
                    answered.add(entry)
                    name = entry[:-4]
                    if name.startswith("shot-"):
                        self.screenshot(name[5:])
                    elif on_sync:
                        on_sync(name)
                    open(os.path.join(work, name + ".done"), "w").close()
            if time.monotonic() > deadline:
                proc.kill()
                raise AssertionError(f"driver still running after {timeout} s; see {transcript}")
            time.sleep(0.02)
        events = []
        if os.path.exists(transcript):
            with open(transcript, encoding="utf-8") as f:
                events = [json.loads(line) for line in f if line.strip()]
        shutil.copy(transcript, os.path.join(self.artefacts, "transcript.jsonl"))
        return events
