#!/usr/bin/env python3
"""The tool's dialogs as real windows: runs the x64 ui_gallery.exe under wine on a private Xvfb
display, captures each dialog to a PNG and checks it against the dialog templates: every control
where the template puts it (through the dialog's own base units), the button set shown, buttons
drawn, the message text drawn, the banner's gradient from black to the button face.

Exit 77 (skip) with a reason when wine, Xvfb, ImageMagick or the gallery are missing."""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "wine"))
import wineprefix  # noqa: E402

# Push buttons by id: 1 OK, 2 Cancel, then the tool's own.
MAIN_BUTTONS = {2, 1001, 1002, 1004, 1006, 1007}
DIALOGS = {
    # name: (template id, ids expected visible, ids expected hidden, push buttons)
    "msg0": (130, {1}, {1005, 1006, 1007, 1008}, {1, 1005, 1006, 1007, 1008}),
    "msg1": (130, {1007, 1008}, {1, 1005, 1006}, {1, 1005, 1006, 1007, 1008}),
    "msg4": (130, {1005, 1006}, {1, 1007, 1008}, {1, 1005, 1006, 1007, 1008}),
    "search": (134, {1010, 1001, 1012, 2}, set(), {2}),
    "banner": (102, {1000, 1005, 1001, 1002, 1004, 1006, 1007, 2}, {1003, 1008}, MAIN_BUTTONS),
    "main": (102, {1000, 1005, 1001, 1002, 1004, 1006, 1007, 2}, {1003, 1008}, MAIN_BUTTONS),
    # Printer configuration: the address fields, the port list and firmware; the baud rate
    # choice stays hidden.
    "config": (129, {1015, 1020, 1017, 1018, 1019, 1013, 1011, 1003, 1022, 1010, 1002, 2},
               {1021}, {1002, 2}),
    "ports": (133, {1004, 1024, 1025, 2}, set(), {1024, 1025, 2}),
}
# Controls that must show text or digits: (dialog, control id, what it shows, whether the
# control ends in a drop-down button, left out of the look).
SHOWS_TEXT = [
    ("config", 1015, "the printer's address", False),
    ("config", 1003, "the chosen port COM7", True),
    ("config", 1022, "the firmware version", False),
    ("ports", 1004, "the installed port COM7", False),
]
# A picture with fewer colours than this is blank or nearly so.
MIN_COLOURS = 8
# The port instance an install leaves behind: the printer configuration dialog offers installed
# ports only (and closes when there are none), the port management dialog lists them.
PORT_INSTANCE = r"HKLM\System\CurrentControlSet\Enum\Root\PORTS\0000"


def skip(reason):
    print("SKIP: " + reason)
    sys.exit(77)


def muldiv(a, b, c):
    p = a * b
    return (p + c // 2) // c if p >= 0 else -((-p + c // 2) // c)


def parse_templates(rc_path):
    """Controls of every dialog: id -> (x, y, cx, cy, visible, kind), from the script's text."""
    base = os.path.dirname(rc_path)
    defines = {"IDOK": 1, "IDCANCEL": 2, "IDC_STATIC": -1}
    with open(os.path.join(base, "resource.h")) as f:
        for m in re.finditer(r"#define\s+(\w+)\s+\(?(-?\d+)\)?", f.read()):
            defines[m.group(1)] = int(m.group(2))
    dialogs = {}
    current = None
    with open(rc_path) as f:
        for raw in f:
            line = raw.strip()
            m = re.match(r"(\w+)\s+DIALOGEX\s+", line)
            if m:
                current = {}
                dialogs[defines[m.group(1)]] = current
                continue
            if current is None:
                continue
            if line == "END":
                current = None
                continue
            m = re.match(r"(\w+)\s+(.*)$", line)
            if not m or m.group(1) in ("BEGIN", "STYLE", "CAPTION", "FONT"):
                continue
            kind, rest = m.group(1), m.group(2)
            parts = [p.strip() for p in re.split(r',(?=(?:[^"]*"[^"]*")*[^"]*$)', rest)]
            if kind == "CONTROL":
                ident, cls, style, nums = parts[1], parts[2].strip('"'), parts[3], parts[4:8]
            elif kind in ("EDITTEXT", "LISTBOX", "COMBOBOX"):
                ident, cls, nums = parts[0], kind, parts[1:5]
                style = parts[5] if len(parts) > 5 else ""
            else:
                ident, cls, nums = parts[1], kind, parts[2:6]
                style = parts[6] if len(parts) > 6 else ""
            cid = defines.get(ident, None)
            if cid is None:
                cid = int(ident)
            visible = "NOT WS_VISIBLE" not in style
            current.setdefault(cid, (tuple(int(n) for n in nums), visible, cls))
    return dialogs


def read_ppm(path):
    with open(path, "rb") as f:
        data = f.read()
    fields = []
    pos = 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        start = pos
        while not data[pos:pos + 1].isspace():
            pos += 1
        fields.append(data[start:pos])
    assert fields[0] == b"P6" and fields[3] == b"255", fields
    width, height = int(fields[1]), int(fields[2])
    pixels = data[pos + 1:]
    return width, height, pixels


class Image:
    def __init__(self, path):
        self.width, self.height, self.data = read_ppm(path)

    def at(self, x, y):
        i = (y * self.width + x) * 3
        return tuple(self.data[i:i + 3])


def near(a, b, tolerance=12):
    return all(abs(x - y) <= tolerance for x, y in zip(a, b))


def brightness(p):
    return sum(p) / 3


def check_dialog(name, image, geometry, template, failures):
    units_x, units_y = geometry["units"]
    ox, oy, cw, ch = geometry["client"]
    face = image.at(ox + cw - 3, oy + ch - 3)
    _, want_visible, want_hidden, push_buttons = DIALOGS[name]
    controls = geometry["controls"]

    def fail(message):
        failures.append("%s: %s" % (name, message))

    for cid, ((x, y, cx, cy), tmpl_visible, kind) in template.items():
        if cid == -1:
            continue
        if cid not in controls:
            fail("control %d missing" % cid)
            continue
        left, top, right, bottom, visible = controls[cid]
        want = (muldiv(x, units_x, 4), muldiv(y, units_y, 8),
                muldiv(x, units_x, 4) + muldiv(cx, units_x, 4),
                muldiv(y, units_y, 8) + muldiv(cy, units_y, 8))
        got = (left - ox, top - oy, right - ox, bottom - oy)
        if kind == "COMBOBOX":
            # The template's height is the dropped list's; the closed box is one line high.
            want, got = want[:3], got[:3]
        if cid != 1000 and any(abs(a - b) > 1 for a, b in zip(want, got)):
            fail("control %d at %s, template puts it at %s" % (cid, got, want))
        if cid in want_visible and not visible:
            fail("control %d hidden" % cid)
        if cid in want_hidden and visible:
            fail("control %d shown" % cid)

    shown_rects = [(l - ox, t - oy, r - ox, b - oy) for cid, (l, t, r, b, v) in controls.items() if v]
    for cid in want_visible & push_buttons:
        left, top, right, bottom, _ = controls[cid]
        row = [image.at(x, bottom - 1) for x in range(left + 2, right - 2)]
        dark = sum(1 for p in row if brightness(p) < brightness(face) - 40)
        if dark < len(row) // 2:
            fail("button %d has no drawn lower edge (%d of %d dark)" % (cid, dark, len(row)))
    for cid in want_hidden & push_buttons:
        left, top, right, bottom, _ = controls[cid]
        y = bottom - 1 - oy
        for x in range(left - ox, right - ox):
            if any(l <= x < r and t <= y < b for l, t, r, b in shown_rects):
                continue
            if not near(image.at(x + ox, y + oy), face):
                fail("hidden button %d drawn at column %d" % (cid, x))
                break

    if name.startswith("msg"):
        left, top, right, bottom, _ = controls[1009]
        dark = sum(1 for y in range(top + 3, bottom - 3) for x in range(left + 3, right - 3)
                   if brightness(image.at(x, y)) < 80)
        if dark < 100:
            fail("no message text in the text area (%d dark pixels)" % dark)
    if name in ("banner", "main"):
        left, top, right, bottom, _ = controls[1000]
        row = [image.at(x, top + 1) for x in range(left, right)]
        if brightness(row[0]) > 10:
            fail("banner does not start black: %s" % (row[0],))
        if not near(row[-3], face, 24):
            fail("banner does not end in the button face: %s vs %s" % (row[-3], face))
        values = [brightness(p) for p in row]
        if any(b + 1 < a for a, b in zip(values, values[1:])):
            fail("banner gradient is not monotonic")
    for dialog, cid, what, drop_button in SHOWS_TEXT:
        if dialog != name:
            continue
        # Ink: pixels far from the control's own background (its commonest colour), so that
        # light text on a selection counts as well as dark text on white.
        left, top, right, bottom, _ = controls[cid]
        if drop_button:
            right -= bottom - top
        pixels = [image.at(x, y) for y in range(top + 2, bottom - 2)
                  for x in range(left + 2, right - 2)]
        background = max(set(pixels), key=pixels.count) if pixels else (0, 0, 0)
        ink = sum(1 for p in pixels if abs(brightness(p) - brightness(background)) > 60)
        if ink < 10:
            fail("control %d does not show %s (%d pixels of ink)" % (cid, what, ink))
    if name == "search":
        left, top, right, bottom, _ = controls[1010]
        dark = sum(1 for y in range(top, bottom) for x in range(left, right)
                   if brightness(image.at(x, y)) < 80)
        if dark < 20:
            fail("no status text")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--gallery", required=True)
    ap.add_argument("--rc", required=True)
    ap.add_argument("--out", required=True)
    args = ap.parse_args()

    wine = wineprefix.find_wine64()[0]
    if not wine:
        skip("wine64 is not installed (scripts/bootstrap.sh installs wine64)")
    for tool, path in (("Xvfb", shutil.which("Xvfb")),
                       ("ImageMagick identify", shutil.which("identify")),
                       ("ImageMagick import", shutil.which("import")),
                       ("ImageMagick convert", shutil.which("convert"))):
        if not path:
            skip("%s is not installed (scripts/bootstrap.sh installs it)" % tool)
    if not os.path.exists(args.gallery):
        skip("%s is not built: build the win preset first" % args.gallery)

    templates = parse_templates(args.rc)
    os.makedirs(args.out, exist_ok=True)
    # The prefix beside the pictures, in the build tree; removed at the end.
    work = os.path.abspath(args.out) + ".work"
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    display = None
    xvfb = None
    try:
        for n in range(93, 140):
            if not os.path.exists("/tmp/.X%d-lock" % n):
                xvfb = subprocess.Popen(["Xvfb", ":%d" % n, "-screen", "0", "1024x768x24",
                                         "-nolisten", "tcp"],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                time.sleep(1.0)
                if xvfb.poll() is None:
                    display = ":%d" % n
                    break
        if not display:
            skip("no X display could be started")
        env = dict(os.environ, DISPLAY=display, WINEPREFIX=os.path.join(work, "prefix"),
                   WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=", WINEARCH="win64")
        # Every wine process in a network namespace of its own where one can be made: the X
        # server is reached through its socket file, the machine's interfaces not at all.
        isolate = wineprefix.isolated_prefix_command()
        boot = subprocess.run(isolate + [wine, "wineboot", "-i"], env=env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=150)
        if boot.returncode != 0:
            print("FAIL: wine could not create a prefix (wineboot exit %d)" % boot.returncode)
            return 1
        for value in (("HardwareID", "REG_MULTI_SZ", "morvik\\tarnel"),
                      ("Service", "REG_SZ", "TARNEL"),
                      ("FriendlyName", "REG_SZ", "Tarnel Virtual Serial Port (COM7)"),
                      ("Device Parameters", "PortName", "REG_SZ", "COM7")):
            key = PORT_INSTANCE if len(value) == 3 else PORT_INSTANCE + "\\" + value[0]
            name, kind, data = value[-3:]
            added = subprocess.run(isolate + [wine, "reg", "add", key, "/v", name, "/t", kind,
                                              "/d", data, "/f"], env=env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                   timeout=60)
            if added.returncode != 0:
                print("FAIL: reg add %s %s" % (key, name))
                return 1
        exchange = os.path.join(work, "x")
        os.makedirs(exchange)
        windows_dir = "Z:" + exchange.replace("/", "\\")
        failures = []
        for name in DIALOGS:
            proc = subprocess.Popen(isolate + [wine, args.gallery, name, windows_dir], env=env,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            ready = os.path.join(exchange, name + ".ready")
            deadline = time.time() + 60
            while not os.path.exists(ready) and time.time() < deadline and proc.poll() is None:
                time.sleep(0.2)
            if not os.path.exists(ready):
                proc.kill()
                failures.append("%s: the dialog did not open (exit %s)" % (name, proc.poll()))
                continue
            time.sleep(0.8)  # the first paint
            png = os.path.join(args.out, "wine_%s.png" % name)
            subprocess.run(["import", "-display", display, "-window", "root", png], check=True,
                           env=env, timeout=30)
            open(os.path.join(exchange, name + ".done"), "w").close()
            try:
                proc.wait(timeout=20)
            except subprocess.TimeoutExpired:
                proc.kill()
                failures.append("%s: the dialog did not close" % name)
            geometry = {"controls": {}}
            with open(os.path.join(exchange, name + ".txt")) as f:
                for line in f:
                    parts = line.split()
                    if parts[0] == "units":
                        geometry["units"] = (int(parts[1]), int(parts[2]))
                    elif parts[0] == "client":
                        geometry["client"] = tuple(int(p) for p in parts[1:5])
                    elif parts[0] == "control":
                        geometry["controls"][int(parts[1])] = tuple(int(p) for p in parts[2:7])
            ppm = os.path.join(work, name + ".ppm")
            subprocess.run(["convert", png, ppm], check=True, timeout=30)
            image = Image(ppm)
            ox, oy, cw, ch = geometry["client"]
            # The dialog alone, for a person to look at.
            client_png = os.path.join(args.out, "wine_%s_client.png" % name)
            subprocess.run(["convert", png, "-crop", "%dx%d+%d+%d" % (cw, ch, ox, oy), "+repage",
                            client_png], timeout=30)
            # Not blank: the dialog alone has more than a few colours.
            counted = subprocess.run(["identify", "-format", "%k", client_png],
                                     stdout=subprocess.PIPE, timeout=30)
            colours = int(counted.stdout or b"0") if counted.returncode == 0 else 0
            if os.path.getsize(client_png) == 0 or colours < MIN_COLOURS:
                failures.append("%s: %s is blank (%d colours)" % (name, client_png, colours))
            check_dialog(name, image, geometry, templates[DIALOGS[name][0]], failures)
            print("%s: captured %s (client %dx%d at %d,%d, %d colours)" %
                  (name, png, cw, ch, ox, oy, colours))
        for f in failures:
            print("FAIL: " + f)
        return 1 if failures else 0
    finally:
        if xvfb:
            xvfb.terminate()
            try:
                xvfb.wait(timeout=10)
            except subprocess.TimeoutExpired:
                xvfb.kill()
        subprocess.run(["wineserver", "-k"], env=dict(os.environ, WINEPREFIX=os.path.join(work, "prefix")),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
