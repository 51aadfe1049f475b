"""End-to-end cases: the real sfx.exe under Wine, driven like a user, checked from Linux.

    cases.py --case NAME --sfx SFX --driver DRIVER --probe PROBE --work DIR --prefix PREFIX

Exit code 0 passes, 77 skips (something the machine lacks), anything else fails.
"""
import argparse
import os
import random
import shutil
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import archive_builder as A  # noqa: E402
from wine_session import Skip, WineSession, wine_path  # noqa: E402

BANNER = "Brisvale Daduvivu 32D Ver 1.58"
FINISHED = "ファイルの解凍が終わりました。"
STOPPED = "ファイルの解凍を中断しました。"
CORRUPT = "ファイルが壊れています。"
CREATE_ASK = "指定されたフォルダはありません。このフォルダを作りますか？"
CANNOT_MAKE = "フォルダが作れません。"
OVERWRITE = "はすでに存在します。上書きしますか？"
SMALLER = "ファイルのサイズが元々のファイルより小さいです。解凍できません。"
LARGER = ("ファイルのサイズが元々のファイルより大きいです。このファイルはウイルスに感染している"
          "可能性があります。解凍できません。")
HOUR = 36000000000  # in file-time units

CASES = {}


def case(fn):
    CASES[fn.__name__] = fn
    return fn


class Context:
    def __init__(self, args):
        self.args = args
        with open(args.sfx, "rb") as f:
            self.stub = f.read()
        self.work = os.path.abspath(args.work)
        self.artefacts = os.path.join(self.work, "artefacts")
        self.runs = 0

    def fresh(self, name):
        path = os.path.join(self.work, name)
        shutil.rmtree(path, ignore_errors=True)
        os.makedirs(path)
        return path

    def session(self):
        return WineSession(self.args.prefix, self.artefacts)

    def run(self, session, lines, on_sync=None):
        self.runs += 1
        events = session.run(self.args.driver, lines, on_sync)
        keep = os.path.join(self.artefacts, f"transcript-{self.runs}.jsonl")
        shutil.move(os.path.join(self.artefacts, "transcript.jsonl"), keep)
        print(f"--- run {self.runs}: {keep}")
        for e in events:
            if e["event"] in ("box", "error", "exit", "click", "terminated"):
                print("   ", {k: v for k, v in e.items() if k != "caption"})
        return events


def errors(events):
    return [e["what"] for e in events if e["event"] == "error"]


def boxes(events):
    return [e for e in events if e["event"] == "box"]


def exit_code(events):
    codes = [e["code"] for e in events if e["event"] == "exit"]
    return codes[-1] if codes else None


def expect(cond, message):
    if not cond:
        raise AssertionError(message)


# Icon colour and buttons of each box, by a text it contains, first match wins. Red is the
# stop icon (0x10), blue the information (0x40) or question (0x20) icon; together with the
# buttons that is the box's style.
BOX_STYLES = [
    ("ディスクが正しく挿入されていません。", "red", ["ok", "cancel"]),
    ("枚目のディスクを", "blue", ["ok", "cancel"]),
    (OVERWRITE, "blue", ["cancel", "yes", "no"]),
    (CREATE_ASK, "blue", ["yes", "no"]),
    (FINISHED, "blue", ["ok"]),
    (STOPPED, "blue", ["ok"]),
    ("", "red", ["ok"]),  # every error
]


def expect_box_styles(events):
    for b in boxes(events):
        expect(b["caption"].startswith(BANNER), f"box caption {b['caption']!r}")
        colour, buttons = next((c, k) for t, c, k in BOX_STYLES if t in b["text"])
        expect(b["icon"] == colour and b["buttons"] == buttons,
               f"box {b['text']!r}: {b['icon']} icon and {b['buttons']}, expected {colour} and {buttons}")


def expect_clean(events, code):
    expect(not errors(events), f"driver reported: {errors(events)}")
    expect(exit_code(events) == code, f"exit code {exit_code(events)}, expected {code}")
    expect_box_styles(events)


def box_texts(events):
    return [b["text"] for b in boxes(events)]


def window(events, name):
    found = [e for e in events if e["event"] == "window" and e["name"] == name]
    expect(found, f"no dump of the {name} window")
    return found[-1]


def child(win, ident):
    found = [c for c in win["children"] if c["id"] == ident]
    expect(len(found) == 1, f"{len(found)} children with id {ident} in {win['name']}")
    return found[0]


def trunc_div(a, b):
    return int(a / b) if b else 0


def read(path):
    with open(path, "rb") as f:
        return f.read()


def tree(root):
    """Every file and folder below root, relative, with '/' separators."""
    found = set()
    for folder, dirs, files in os.walk(root):
        rel = os.path.relpath(folder, root)
        for n in dirs + files:
            found.add(n if rel == "." else rel + "/" + n)
    return found


def expect_file(path, data, write_time):
    expect(os.path.isfile(path), f"{path} missing")
    got = read(path)
    expect(got == data, f"{path}: {len(got)} bytes differ from the {len(data)} stored")
    st = os.stat(path)
    expect(st.st_mtime_ns == A.unix_ns(write_time),
           f"{path}: last write {st.st_mtime_ns}, expected {A.unix_ns(write_time)}")


def start_lines(exe, dest=None):
    lines = ["start " + wine_path(exe), "wait-main"]
    if dest is not None:
        lines.append("type " + dest)
    return lines


def sample(seed, n):
    return random.Random(seed).randbytes(n)


# ---------------------------------------------------------------------------------------

@case
def extract_tree(ctx):
    """A tree with nested and double-byte folders, empty files and shared-prefix names."""
    base = ctx.fresh("extract_tree")
    t0 = A.DEFAULT_TIME
    files = [
        ("readme.txt", b"Daduvivu test archive\r\n" * 40, t0),
        # Both names hold a double-byte character whose second byte is a backslash (0x5C).
        ("docs\\manual\\表示.txt", "表示のテスト".encode("cp932") * 50, t0 + 1 * HOUR),
        ("docs\\manual\\ソフト.dat", bytes(range(256)) * 20, t0 + 2 * HOUR),
        ("docs\\empty.txt", b"", t0 + 3 * HOUR),
        ("空フォルダ\\中身なし.bin", b"", t0 + 4 * HOUR),
        ("data\\runs.bin", b"\0" * 70000 + b"xyz" * 1000 + b"\xff" * 5000, t0 + 5 * HOUR),
        ("data\\deep\\er\\leaf.txt", sample(1, 3000), t0 + 6 * HOUR),
    ]
    entries = [A.folder_entry("docs"), A.folder_entry("emptyfolder")]
    for i, (name, data, when) in enumerate(files):
        entry = A.file_entry(name, data, write_time=when, access_time=when + HOUR)
        if name == "docs\\manual\\ソフト.dat":
            # Shares "docs\manual\" (12 bytes) with the name before it: marker '*', count 12 - 2.
            entry = b"*\x0a" + entry[len("docs\\manual\\"):]
        entries.append(entry)
    exe = os.path.join(base, "setup.exe")
    with open(exe, "wb") as f:
        f.write(A.single_volume(ctx.stub, A.entry_stream(entries), message=A.cp932("テストです\r\n二行目")))
    dest = os.path.join(base, "新しい", "出力")
    with ctx.session() as s:
        ev = ctx.run(s, start_lines(exe, wine_path(dest)) + [
            "click extract", "box yes " + CREATE_ASK,
            "expect-box " + FINISHED, "dump-main", "dump-progress", "sync shot-finished-box", "press ok", "exit"])
        if boxes(ev):
            crop(s, "finished-box", "message-box", boxes(ev)[-1]["rect"])
    expect_clean(ev, 0)
    expect(box_texts(ev) == [CREATE_ASK, FINISHED], f"boxes {box_texts(ev)}")
    for b in boxes(ev):
        expect(b["owner"] == "main", f"box {b['text']} owned by {b['owner']}")
    expect(boxes(ev)[0]["buttons"] == ["yes", "no"], "the folder question has Yes and No")
    expect(boxes(ev)[1]["buttons"] == ["ok"], "the completion message has OK only")
    expect(not window(ev, "progress")["visible"], "the progress window still shows with the completion message")
    expect(not window(ev, "main")["enabled"], "the main window takes input again after the extraction")
    # Access times first: reading a file moves its access time on a relatime mount.
    for name, data, when in files:
        path = os.path.join(dest, *name.split("\\"))
        expect(os.path.isfile(path), f"{path} missing")
        expect(os.stat(path).st_atime_ns == A.unix_ns(when + HOUR), f"{path}: last access time")
    for name, data, when in files:
        expect_file(os.path.join(dest, *name.split("\\")), data, when)
    wanted = {"docs", "docs/manual", "docs/empty.txt", "docs/manual/表示.txt", "docs/manual/ソフト.dat",
              "emptyfolder", "readme.txt", "空フォルダ", "空フォルダ/中身なし.bin", "data", "data/runs.bin",
              "data/deep", "data/deep/er", "data/deep/er/leaf.txt"}
    expect(tree(dest) == wanted, f"extra or missing: {tree(dest) ^ wanted}")
    expect(set(os.listdir(base)) == {"setup.exe", "新しい"}, f"outside the destination: {os.listdir(base)}")


@case
def layout(ctx):
    """Main and progress window geometry from the units the driver measures itself."""
    ctx.fresh("layout")
    message = ("Daduvivu サンプル セットアップへようこそ。\r\n\r\n"
               "このプログラムは、書庫に収められたファイルを指定のフォルダに解凍します。"
               "解凍先フォルダを確かめてから「解凍」を押してください。"
               "別のフォルダを選ぶには「参照...」を押します。\r\n\r\n"
               + "\r\n".join(f"・収録ファイル {i}" for i in range(1, 21)))
    with ctx.session() as s:
        # On drive C: of the prefix (which exists from here on), so that the default
        # destination reads as it would on Windows.
        base = os.path.join(s.prefix, "drive_c", "Sample")
        shutil.rmtree(base, ignore_errors=True)
        os.makedirs(base)
        with open(os.path.join(base, "setup.exe"), "wb") as f:
            f.write(A.single_volume(ctx.stub, A.entry_stream([A.file_entry("a.txt", b"A")]),
                                    message=A.cp932(message)))
        ev = ctx.run(s, ["start C:\\Sample\\setup.exe", "wait-main", "dump-main", "dump-progress",
                         "sync shot-desktop-main", "no-box 500", "close-main", "exit"])
        shutil.rmtree(base, ignore_errors=True)
        main = window(ev, "main")
        crop(s, "desktop-main", "main-window", main["rect"])
        if ctx.args.docs_screenshot:
            shutil.copy(os.path.join(ctx.artefacts, "main-window.png"), ctx.args.docs_screenshot)
    expect_clean(ev, 0)
    expect(main["acp"] == 932, f"ANSI code page {main['acp']}: is LC_ALL=ja_JP.UTF-8 generated?")
    cw, lh = main["char_width"], main["line_height"]
    print(f"    CharWidth {cw}, LineHeight {lh}")
    expect(main["text"].startswith(BANNER), f"caption {main['text']!r}")
    expect(main["rect"][2:] == [70 * cw, 20 * lh], f"main window size {main['rect'][2:]}")
    style = main["style"]
    expect(style & 0x00CA0000 == 0x00CA0000, f"main window style {style:#x} lacks caption, system menu, minimise box")
    expect(style & 0x00050000 == 0, f"main window style {style:#x} has a maximise box or sizing border")
    ext = main["extents"]
    bw, bh = ext["browse"][0] + cw, trunc_div(3 * ext["browse"][1], 2)
    # id: (class, text, style, x, y, width, height). Wine's edit control reports WS_BORDER
    # dropped and ES_AUTOVSCROLL added to a multi-line field.
    table = {
        4: ("Static", "メッセージ", 0x50000000, 1, 1, *ext["message_label"]),
        6: ("Static", "解凍先フォルダ", 0x50000000, 1, 13 * lh, *ext["folder_label"]),
        3: ("Button", "解凍", 0x50000000, 60 * cw, 17 * lh - trunc_div(lh, 4), bw, bh),
        8: ("Button", "参照...", 0x50000000, 60 * cw, 14 * lh - trunc_div(lh, 4), bw, bh),
        1: ("Edit", message, 0x50A00804 & ~0x00800000 | 0x40, cw - 2, trunc_div(3 * lh, 2) - 2, 67 * cw, 11 * lh + 2),
        7: ("Edit", None, 0x50800080 & ~0x00800000, cw - 2, 14 * lh, 57 * cw + 4, lh + 2),
    }
    expect(len(main["children"]) == 6, f"{len(main['children'])} children in the main window")
    for ident, (cls, text, style, x, y, w, h) in table.items():
        c = child(main, ident)
        expect(c["class"].lower() == cls.lower(), f"control {ident} is a {c['class']}")
        if text is not None:
            expect(c["text"] == text, f"control {ident} reads {c['text']!r}")
        expect(c["style"] == style, f"control {ident} style {c['style']:#x}, expected {style:#x}")
        expect(c["pos"] == [x, y, w, h], f"control {ident} at {c['pos']}, expected {[x, y, w, h]}")
        expect(c["enabled"] and c["visible"], f"control {ident} not enabled and visible")
    # The default destination is the program's folder, as the command line writes it.
    expect(child(main, 7)["text"] == "C:\\Sample", f"default destination {child(main, 7)['text']!r}")

    prog = window(ev, "progress")
    desk = prog["desktop"]
    expect(not prog["visible"], "the progress window shows before any extraction")
    expect(prog["text"] == "ファイルの解凍中", f"progress title {prog['text']!r}")
    expect(prog["owner"] == "main", f"progress window owned by {prog['owner']}")
    expect(prog["style"] & 0x00CF0000 == 0x00C00000, f"progress window style {prog['style']:#x}")
    expected = [trunc_div(desk[0] + desk[2] - 70 * cw, 2), trunc_div(desk[1] + desk[3] - 8 * lh, 2), 70 * cw, 7 * lh]
    expect(prog["rect"] == expected, f"progress window at {prog['rect']}, expected {expected}")
    cx, cy = ext["cancel"]
    status, cancel = child(prog, 1), child(prog, 2)
    expect(status["class"].lower() == "static" and status["style"] == 0x50000000, "status line class and style")
    expect(status["pos"] == [2, lh, 70 * cw, lh], f"status line at {status['pos']}")
    expect(cancel["class"].lower() == "button" and cancel["style"] == 0x50000000, "Cancel button class and style")
    expect(cancel["text"] == "キャンセル", f"Cancel button reads {cancel['text']!r}")
    expect(cancel["pos"] == [30 * cw, 3 * lh, cx + cw, trunc_div(3 * cy, 2)], f"Cancel button at {cancel['pos']}")


def crop(session, shot, name, rect):
    src = os.path.join(session.artefacts, shot + ".png")
    out = os.path.join(session.artefacts, name + ".png")
    x, y, w, h = rect
    subprocess.run(["convert", src, "-crop", f"{w}x{h}+{x}+{y}", "+repage", out], check=False)
    return out


@case
def bare_stub(ctx):
    """The program without an archive: no message, ExtractButton disabled, closes with 0."""
    base = ctx.fresh("bare_stub")
    exe = os.path.join(base, "sfx.exe")
    shutil.copy(ctx.args.sfx, exe)
    with ctx.session() as s:
        ev = ctx.run(s, start_lines(exe) + ["dump-main", "no-box 1000", "close-main", "exit"])
    expect_clean(ev, 0)
    main = window(ev, "main")
    expect(not child(main, 3)["enabled"], "ExtractButton enabled on the bare stub")
    expect(child(main, 8)["enabled"], "BrowseButton disabled on the bare stub")
    expect(child(main, 1)["text"] == "", "message field not empty")
    expect(not boxes(ev), "a box on the bare stub")


@case
def overwrite(ctx):
    """The overwrite question answered Yes, No and Cancel in one run."""
    base = ctx.fresh("overwrite")
    dest = os.path.join(base, "dest")
    os.makedirs(dest)
    old = A.DEFAULT_TIME - 1000 * HOUR
    new = A.DEFAULT_TIME
    for n in "abc":
        with open(os.path.join(dest, n + ".txt"), "wb") as f:
            f.write(b"old " + n.encode())
        os.utime(os.path.join(dest, n + ".txt"), ns=(A.unix_ns(old), A.unix_ns(old)))
    entries = [A.file_entry(n + ".txt", b"new content of " + n.encode() * 100, write_time=new) for n in "abcd"]
    exe = os.path.join(base, "setup.exe")
    with open(exe, "wb") as f:
        f.write(A.single_volume(ctx.stub, A.entry_stream(entries)))
    target = wine_path(dest) + "\\"
    with ctx.session() as s:
        ev = ctx.run(s, start_lines(exe, wine_path(dest)) + [
            "click extract",
            "expect-box " + target + "a.txt" + OVERWRITE, "dump-progress",
            "move-box 40 520", "sync shot-overwrite-box", "press yes",
            "box no " + target + "b.txt" + OVERWRITE,
            "box cancel " + target + "c.txt" + OVERWRITE,
            "box ok " + STOPPED, "exit"])
        prog = window(ev, "progress")
        crop(s, "overwrite-box", "progress-window", prog["rect"])
    expect_clean(ev, 0)
    expect(box_texts(ev) == [target + n + ".txt" + OVERWRITE for n in "abc"] + [STOPPED], f"boxes {box_texts(ev)}")
    for b in boxes(ev)[:3]:
        expect(b["buttons"] == ["cancel", "yes", "no"] and b["owner"] == "main", f"overwrite box {b}")
    expect(boxes(ev)[3]["owner"] == "main" and boxes(ev)[3]["buttons"] == ["ok"], "stopped box")
    expect(prog["visible"], "the progress window is hidden during the question")
    expect(child(prog, 1)["text"] == "処理中:" + target + "a.txt", f"status {child(prog, 1)['text']!r}")
    expect_file(os.path.join(dest, "a.txt"), b"new content of " + b"a" * 100, new)
    expect_file(os.path.join(dest, "b.txt"), b"old b", old)
    expect_file(os.path.join(dest, "c.txt"), b"old c", old)
    expect(not os.path.exists(os.path.join(dest, "d.txt")), "d.txt extracted after Cancel")


BIG = 300 * 1024 * 1024


@case
def cancel_progress(ctx):
    """Cancel in the progress window while a large file is being written."""
    base = ctx.fresh("cancel_progress")
    dest = os.path.join(base, "dest")
    os.makedirs(dest)
    entries = [A.file_entry("first.txt", b"done before the big one"),
               A.file_entry("big.bin", bytes(BIG)),
               A.file_entry("after.txt", b"never reached")]
    exe = os.path.join(base, "setup.exe")
    with open(exe, "wb") as f:
        f.write(A.single_volume(ctx.stub, A.entry_stream(entries)))
    with ctx.session() as s:
        ev = ctx.run(s, start_lines(exe, wine_path(dest)) + [
            "click extract", "wait-progress", "wait-status 解凍中:" + wine_path(dest) + "\\big.bin",
            "click cancel 2",
            "box ok " + STOPPED, "exit"])
    expect(FINISHED not in box_texts(ev),
           "the large file was finished before Cancel was handled; make BIG larger for this machine")
    expect_clean(ev, 0)
    expect(box_texts(ev) == [STOPPED], f"boxes {box_texts(ev)}")
    expect_file(os.path.join(dest, "first.txt"), b"done before the big one", A.DEFAULT_TIME)
    expect(sorted(os.listdir(dest)) == ["first.txt"], f"left in the destination: {os.listdir(dest)}")


def volume_set(ctx, base, name="セット"):
    """Three volumes: a file in the program, one across both boundaries, one in the last volume."""
    files = [("one.txt", b"first file " * 20), ("two.bin", sample(2, 30000)), ("three.txt", b"last" * 500)]
    payload = A.entry_stream([A.file_entry(n, d) for n, d in files])
    program, volumes = A.split_volumes(ctx.stub, payload, 5000, 20000, A.cp932(name))
    expect(len(volumes) == 2, f"{len(volumes)} volume files")
    return files, program, volumes


def volume_name(base_name, n):
    return f"{base_name}_{n}.DAT"


@case
def volumes(ctx):
    """Volume files beside the program are opened without a question."""
    base = ctx.fresh("volumes")
    files, program, vols = volume_set(ctx, base)
    exe = os.path.join(base, "setup.exe")
    with open(exe, "wb") as f:
        f.write(program)
    for i, v in enumerate(vols):
        with open(os.path.join(base, volume_name("セット", i + 2)), "wb") as f:
            f.write(v)
    dest = os.path.join(base, "dest")
    os.makedirs(dest)
    with ctx.session() as s:
        ev = ctx.run(s, start_lines(exe, wine_path(dest)) + ["click extract", "box ok " + FINISHED, "exit"])
    expect_clean(ev, 0)
    expect(box_texts(ev) == [FINISHED], f"boxes {box_texts(ev)}")
    for n, d in files:
        expect_file(os.path.join(dest, n), d, A.DEFAULT_TIME)


@case
def volume_failures(ctx):
    """A missing, a foreign and a misnumbered volume 2, and a damaged block: message, exit 1."""
    base = ctx.fresh("volume_failures")
    files, program, vols = volume_set(ctx, base)
    stamp_off = struct.pack("<d", 45001.25) + vols[0][8:]
    number_off = vols[0][:8] + struct.pack("<i", 3) + vols[0][12:]
    runs = [
        ("missing", None, "セット_2.DATが見つかりませんでした。解凍を中断します。"),
        ("foreign", stamp_off, "セット_2.DATの内容が壊れています。解凍を中断します。"),
        ("misnumbered", number_off, "セット_2.DATの内容が壊れています。解凍を中断します。"),
        ("short", vols[0][:10], "セット_2.DATの内容が壊れています。解凍を中断します。"),
    ]
    with ctx.session() as s:
        for label, vol2, message in runs:
            folder = ctx.fresh(os.path.join("volume_failures", label))
            exe = os.path.join(folder, "setup.exe")
            with open(exe, "wb") as f:
                f.write(program)
            if vol2 is not None:
                with open(os.path.join(folder, volume_name("セット", 2)), "wb") as f:
                    f.write(vol2)
            dest = os.path.join(folder, "dest")
            os.makedirs(dest)
            ev = ctx.run(s, start_lines(exe, wine_path(dest)) + ["click extract", "box ok " + message, "exit"])
            expect_clean(ev, 1)
            expect(box_texts(ev) == [message], f"{label}: boxes {box_texts(ev)}")
            expect(boxes(ev)[0]["owner"] == "progress", f"{label}: box owned by {boxes(ev)[0]['owner']}")
            expect_file(os.path.join(dest, "one.txt"), files[0][1], A.DEFAULT_TIME)
            # two.bin was being written across the boundary: it must be gone.
            expect(sorted(os.listdir(dest)) == ["one.txt"], f"{label}: left {os.listdir(dest)}")

        # A damaged block in the middle of a large file, after the first chunk was written.
        folder = ctx.fresh(os.path.join("volume_failures", "damaged"))
        big = sample(3, 100000)
        payload = A.entry_stream([A.file_entry("ok.txt", b"intact"), A.file_entry("big.bin", big)])
        image = bytearray(A.single_volume(ctx.stub, payload))
        blocks_start = len(image) - len(A.blocks(payload))
        image[blocks_start + 20 * 4098 + 100] ^= 0x04
        exe = os.path.join(folder, "setup.exe")
        with open(exe, "wb") as f:
            f.write(image)
        dest = os.path.join(folder, "dest")
        os.makedirs(dest)
        ev = ctx.run(s, start_lines(exe, wine_path(dest)) + ["click extract", "box ok " + CORRUPT, "exit"])
        expect_clean(ev, 1)
        expect(box_texts(ev) == [CORRUPT] and boxes(ev)[0]["owner"] == "main", f"damaged: boxes {boxes(ev)}")
        expect(sorted(os.listdir(dest)) == ["ok.txt"], f"damaged: left {os.listdir(dest)}")


@case
def size_messages(ctx):
    """Recorded size one above and one below the file's: the two messages, no owner, exit 0."""
    base = ctx.fresh("size_messages")
    payload = A.entry_stream([A.file_entry("a.txt", b"A")])
    with ctx.session() as s:
        for delta, message in ((1, SMALLER), (-1, LARGER)):
            exe = os.path.join(base, f"setup{delta:+d}.exe")
            with open(exe, "wb") as f:
                f.write(A.single_volume(ctx.stub, payload, size_delta=delta))
            ev = ctx.run(s, ["start " + wine_path(exe), "expect-box " + message,
                             f"sync shot-size-box{delta:+d}", "press ok", "exit"])
            expect_clean(ev, 0)
            expect(box_texts(ev) == [message], f"boxes {box_texts(ev)}")
            expect(boxes(ev)[0]["owner"] == "none" and boxes(ev)[0]["buttons"] == ["ok"], f"box {boxes(ev)[0]}")
    expect(not os.path.exists(os.path.join(base, "a.txt")), "something was extracted")


def floppy(ctx):
    path = os.path.join(os.path.abspath(ctx.args.prefix), "floppy")
    expect(os.path.isdir(path), f"{path} missing: the prefix was not made by setup_wine.sh")
    for n in os.listdir(path):
        p = os.path.join(path, n)
        shutil.rmtree(p) if os.path.isdir(p) else os.remove(p)
    return path


@case
def removable(ctx):
    """Disk prompts when the program lies in the root of a drive Wine reports as removable."""
    letter = ctx.args.floppy_letter.upper()
    base = ctx.fresh("removable")
    files, program, vols = volume_set(ctx, base, "DISK")
    ask = lambda n: f"{n}枚目のディスクを{letter}ドライブに挿入してください。"  # noqa: E731
    retry = lambda n: f"ディスクが正しく挿入されていません。{n}枚目のディスクを正しく{letter}ドライブに挿入してください。"  # noqa: E731
    exe_win = f"{letter}:\\setup.exe"

    def insert(n):
        def act(name):
            if name == f"insert{n}":
                with open(os.path.join(disk, volume_name("DISK", n)), "wb") as f:
                    f.write(vols[n - 2])
        return act

    with ctx.session() as s:
        # Disk 2 is missing at first, so its question is followed by the retry question;
        # disk 3 is already there, and is asked for all the same.
        disk = floppy(ctx)
        with open(os.path.join(disk, "setup.exe"), "wb") as f:
            f.write(program)
        with open(os.path.join(disk, volume_name("DISK", 3)), "wb") as f:
            f.write(vols[1])
        dest = os.path.join(base, "dest")
        os.makedirs(dest)
        ev = ctx.run(s, [f"start {exe_win}|{exe_win}", "wait-main", "dump-main", "type " + wine_path(dest),
                         "click extract", "box ok " + ask(2), "expect-box " + retry(2), "sync insert2",
                         "press ok", "box ok " + ask(3), "box ok " + FINISHED, "exit"], on_sync=insert(2))
        expect_clean(ev, 0)
        expect(box_texts(ev) == [ask(2), retry(2), ask(3), FINISHED], f"boxes {box_texts(ev)}")
        owners = [b["owner"] for b in boxes(ev)]
        expect(owners == ["main", "progress", "main", "main"], f"owners {owners}")
        expect(boxes(ev)[0]["buttons"] == ["ok", "cancel"] and boxes(ev)[1]["buttons"] == ["ok", "cancel"],
               "disk questions have OK and Cancel")
        default = child(window(ev, "main"), 7)["text"]
        expect(len(default) == 3 and default[1:] == ":\\", f"default destination {default!r} is not a drive root")
        for n, d in files:
            expect_file(os.path.join(dest, n), d, A.DEFAULT_TIME)

        # Cancel to the disk question: the stopped message, then exit 1, the cut file deleted.
        floppy(ctx)
        with open(os.path.join(disk, "setup.exe"), "wb") as f:
            f.write(program)
        dest = ctx.fresh(os.path.join("removable", "dest2"))
        ev = ctx.run(s, [f"start {exe_win}|{exe_win}", "wait-main", "type " + wine_path(dest), "click extract",
                         "box cancel " + ask(2), "box ok " + STOPPED, "exit"])
        expect_clean(ev, 1)
        expect(box_texts(ev) == [ask(2), STOPPED], f"boxes {box_texts(ev)}")
        expect(sorted(os.listdir(dest)) == ["one.txt"], f"left {os.listdir(dest)}")

        # Cancel to the retry question ends at once, with no further message.
        dest = ctx.fresh(os.path.join("removable", "dest3"))
        ev = ctx.run(s, [f"start {exe_win}|{exe_win}", "wait-main", "type " + wine_path(dest), "click extract",
                         "box ok " + ask(2), "box cancel " + retry(2), "exit"])
        expect_clean(ev, 1)
        expect(box_texts(ev) == [ask(2), retry(2)], f"boxes {box_texts(ev)}")
        expect(sorted(os.listdir(dest)) == ["one.txt"], f"left {os.listdir(dest)}")
        floppy(ctx)


@case
def run_after(ctx):
    """RunAfter starts a program from the archive in the destination; a missing one has its message."""
    base = ctx.fresh("run_after")
    probe = read(ctx.args.probe)
    with ctx.session() as s:
        dest = os.path.join(base, "dest")
        os.makedirs(dest)
        exe = os.path.join(base, "setup.exe")
        payload = A.entry_stream([A.file_entry("bin\\probe.exe", probe)])
        with open(exe, "wb") as f:
            f.write(A.single_volume(ctx.stub, payload, run_after=b"bin\\probe.exe"))
        ev = ctx.run(s, start_lines(exe, wine_path(dest)) + ["click extract", "box ok " + FINISHED, "exit"])
        expect_clean(ev, 0)
        expect(box_texts(ev) == [FINISHED], f"boxes {box_texts(ev)}")
        marker = os.path.join(dest, "probe-ran.txt")
        deadline = time.monotonic() + 30
        while not os.path.exists(marker) and time.monotonic() < deadline:
            time.sleep(0.1)
        expect(os.path.exists(marker), "the program named by RunAfter did not run in the destination")
        time.sleep(0.3)
        ran_in = read(marker).decode("cp932").rstrip("\\")
        expect(ran_in.lower() == wine_path(dest).lower(), f"it ran in {ran_in!r}")

        dest = ctx.fresh(os.path.join("run_after", "dest2"))
        exe = os.path.join(base, "setup2.exe")
        with open(exe, "wb") as f:
            f.write(A.single_volume(ctx.stub, A.entry_stream([A.file_entry("x.txt", b"x")]),
                                    run_after=A.cp932("無い.exe")))
        ev = ctx.run(s, start_lines(exe, wine_path(dest)) + [
            "click extract", "box ok " + FINISHED, "box ok 無い.exeが実行できませんでした。", "exit"])
        expect_clean(ev, 0)
        expect(box_texts(ev) == [FINISHED, "無い.exeが実行できませんでした。"], f"boxes {box_texts(ev)}")
        expect(boxes(ev)[1]["owner"] == "main" and boxes(ev)[1]["buttons"] == ["ok"], f"box {boxes(ev)[1]}")


@case
def destination_checks(ctx):
    """A declined new folder and an existing file keep the dialog usable; then a good folder extracts."""
    base = ctx.fresh("destination_checks")
    taken = os.path.join(base, "taken.txt")
    with open(taken, "wb") as f:
        f.write(b"not a folder")
    good = os.path.join(base, "good")
    os.makedirs(good)
    exe = os.path.join(base, "setup.exe")
    with open(exe, "wb") as f:
        f.write(A.single_volume(ctx.stub, A.entry_stream([A.file_entry("a.txt", b"A")])))
    with ctx.session() as s:
        ev = ctx.run(s, start_lines(exe, wine_path(os.path.join(base, "missing", "deeper"))) + [
            "click extract", "box no " + CREATE_ASK,
            "type " + wine_path(taken), "click extract", "box ok " + CANNOT_MAKE,
            "type " + wine_path(taken) + "\\", "click extract", "box ok " + CANNOT_MAKE,
            "dump-main",
            "type " + wine_path(good) + "\\", "click extract", "box ok " + FINISHED, "exit"])
    expect_clean(ev, 0)
    expect(box_texts(ev) == [CREATE_ASK, CANNOT_MAKE, CANNOT_MAKE, FINISHED], f"boxes {box_texts(ev)}")
    main = window(ev, "main")
    expect(main["enabled"] and child(main, 3)["enabled"], "the dialog is not usable after the refusal")
    expect(not os.path.exists(os.path.join(base, "missing")), "the declined folder was made")
    expect(read(taken) == b"not a folder", "the file named as destination changed")
    expect_file(os.path.join(good, "a.txt"), b"A", A.DEFAULT_TIME)


@case
def parent_names(ctx):
    """Stored names that climb out of the destination are refused; nothing lands outside it."""
    base = ctx.fresh("parent_names")
    with ctx.session() as s:
        for i, bad in enumerate([b"..\\escape.txt", b"sub\\..\\..\\escape.txt", b"sub\\ .. \\..\\escape.txt"]):
            folder = ctx.fresh(os.path.join("parent_names", str(i)))
            dest = os.path.join(folder, "inner", "dest")
            os.makedirs(dest)
            exe = os.path.join(folder, "setup.exe")
            payload = A.entry_stream([A.file_entry("ok.txt", b"fine"), A.file_entry(bad, b"escaped!")])
            with open(exe, "wb") as f:
                f.write(A.single_volume(ctx.stub, payload))
            ev = ctx.run(s, start_lines(exe, wine_path(dest)) + ["click extract", "expect-box ", "press ok", "exit"])
            expect(not errors(ev), f"driver reported: {errors(ev)}")
            expect_box_styles(ev)
            expect(FINISHED not in box_texts(ev), f"{bad!r} was accepted")
            expect(exit_code(ev) == 1, f"{bad!r}: exit code {exit_code(ev)}")
            expect(tree(folder) == {"setup.exe", "inner", "inner/dest", "inner/dest/ok.txt"},
                   f"{bad!r}: written {tree(folder)}")


@case
def overrunning_bodies(ctx):
    """A body that decodes more than its record, or a prefix longer than the file, is damage."""
    base = ctx.fresh("overrunning_bodies")
    times = struct.pack("<QQQ", A.DEFAULT_TIME, A.DEFAULT_TIME, A.DEFAULT_TIME)
    overrun = b"long.txt\0" + times + struct.pack("<i", 5) + b"\0" + A.encode_body(b"a" * 1000)
    # Size 0 with 20,480 bytes of prefix from the stub.
    prefixed = b"long.txt\0" + times + struct.pack("<i", 0) + b"\1" + struct.pack("<H", 0x5000)
    with ctx.session() as s:
        for i, bad in enumerate([overrun, prefixed]):
            folder = ctx.fresh(os.path.join("overrunning_bodies", str(i)))
            dest = os.path.join(folder, "dest")
            os.makedirs(dest)
            exe = os.path.join(folder, "setup.exe")
            payload = A.file_entry("ok.txt", b"fine") + bad + b"\0"
            with open(exe, "wb") as f:
                f.write(A.single_volume(ctx.stub, payload))
            ev = ctx.run(s, start_lines(exe, wine_path(dest)) + ["click extract", "box ok " + CORRUPT, "exit"])
            expect_clean(ev, 1)
            expect(box_texts(ev) == [CORRUPT], f"case {i}: boxes {box_texts(ev)}")
            expect(tree(folder) == {"setup.exe", "dest", "dest/ok.txt"}, f"case {i}: written {tree(folder)}")


@case
def packed_tree(ctx):
    """What the project's packer makes, in one file and in volumes beside it, extracts exactly."""
    if not ctx.args.packer or not os.path.exists(ctx.args.packer):
        raise Skip("the packer is not part of this build")
    base = ctx.fresh("packed_tree")
    src = os.path.join(base, "src")
    text = "".join(f"{i}: 解凍のテスト行です。 line {i * i}\r\n" for i in range(3000)).encode("cp932")
    files = {
        "readme.txt": b"Read me first.\r\n" * 10,
        "docs/manual/表示.txt": text,
        "docs/manual/表示-copy.txt": text[:50000] + b"changed" + text[50000:],
        "docs/empty.txt": b"",
        "空フォルダ/ソフト.bin": sample(5, 60000),
        "data/zeros.bin": bytes(300000),
        "data/deep/er/leaf.txt": b"leaf",
    }
    for i, (name, data) in enumerate(sorted(files.items())):
        path = os.path.join(src, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        when = 1700000000 + i * 3600
        os.utime(path, (when, when))
    os.makedirs(os.path.join(src, "empty folder"))
    wanted = set(tree(src))
    with ctx.session() as s:
        for label, volume_size in (("single", 0), ("volumes", 50000)):
            folder = ctx.fresh(os.path.join("packed_tree", label))
            exe = os.path.join(folder, "setup.exe")
            made = subprocess.run([ctx.args.packer, ctx.args.sfx, exe, str(volume_size), "-", src],
                                  capture_output=True, text=True)
            if made.returncode != 0 and "not available" in made.stderr:
                raise Skip(made.stderr.strip())
            expect(made.returncode == 0, f"packer failed: {made.stderr}")
            volumes = made.stdout.split()
            expect((len(volumes) > 1) == (volume_size > 0), f"{label}: packed into {volumes}")
            dest = os.path.join(folder, "out")
            ev = ctx.run(s, start_lines(exe, wine_path(dest)) + [
                "click extract", "box yes " + CREATE_ASK, "box ok " + FINISHED, "exit"])
            expect_clean(ev, 0)
            expect(tree(dest) == wanted, f"{label}: extra or missing {tree(dest) ^ wanted}")
            for name, data in files.items():
                expect(read(os.path.join(dest, name)) == data, f"{label}: {name} differs")
                expect(os.stat(os.path.join(dest, name)).st_mtime_ns == os.stat(os.path.join(src, name)).st_mtime_ns,
                       f"{label}: {name} last write time")


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--case", required=True, choices=sorted(CASES))
    p.add_argument("--sfx", required=True)
    p.add_argument("--driver", required=True)
    p.add_argument("--probe", required=True)
    p.add_argument("--work", required=True)
    p.add_argument("--prefix", required=True)
    p.add_argument("--floppy-letter", default="r")
    p.add_argument("--packer", default="", help="the e2e_pack helper, when the packer is built")
    p.add_argument("--docs-screenshot", default="", help="also copy the main window picture here")
    args = p.parse_args()
    args.prefix = os.environ.get("E2E_WINEPREFIX", args.prefix)
    for path in (args.sfx, args.driver, args.probe):
        if not os.path.exists(path):
            print(f"SKIP: {path} was not built")
            return 77
    ctx = Context(args)
    shutil.rmtree(ctx.artefacts, ignore_errors=True)
    os.makedirs(ctx.work, exist_ok=True)
    started = time.monotonic()
    try:
        CASES[args.case](ctx)
    except Skip as e:
        print(f"SKIP: {e}")
        return 77
    except AssertionError as e:
        print(f"FAIL {args.case}: {e}\n(artefacts in {ctx.artefacts})")
        return 1
    print(f"PASS {args.case} in {time.monotonic() - started:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
