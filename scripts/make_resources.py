#!/usr/bin/env python3
"""Draws the terminal's pictures into resources/Resources/.

Simple, legible artwork made with ImageMagick's `convert` and the Debian fonts
(fonts-dejavu-core, fonts-wqy-zenhei). Output is reproducible: no time stamps
are written into the files, so running the script again changes nothing.

    python3 scripts/make_resources.py [output-folder]
"""

import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LATIN = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"
CJK = "/usr/share/fonts/truetype/wqy/wqy-zenhei.ttc"

# Writes no creation/modification times, so the bytes depend on the drawing only.
STABLE = ["-strip", "-define", "png:exclude-chunks=date,time"]

ICON_BG = "#24324a"
ICON_FG = "#e8eef7"
RED = "#ff3c3c"
GREEN = "#00c800"


def convert(args, out):
    os.makedirs(os.path.dirname(out), exist_ok=True)
    subprocess.run(["convert"] + args + [out], check=True)


def canvas(size, bg="none"):
    w, h = size if isinstance(size, tuple) else (size, size)
    return ["-size", f"{w}x{h}", f"xc:{bg}"]


def text(label, font, pointsize, fill=ICON_FG, gravity="center", offset="+0+0"):
    return ["-font", font, "-pointsize", str(pointsize), "-fill", fill, "-stroke", "none", "-gravity", gravity,
            "-annotate", offset, label, "-gravity", "northwest"]


def draw(*primitives, fill=ICON_FG, stroke="none", width=1):
    args = ["-fill", fill, "-stroke", stroke, "-strokewidth", str(width)]
    for p in primitives:
        args += ["-draw", p]
    return args


def tool_icon(out, *layers):
    """A 32x32 tool-bar button face: dark rounded square, light glyph."""
    args = canvas(32) + draw("roundrectangle 0,0 31,31 6,6", fill=ICON_BG)
    for layer in layers:
        args += layer
    convert(args + STABLE, out)


def latin(label, size=15):
    return text(label, LATIN, size)


def cjk(label, size=20):
    return text(label, CJK, size)


def toolbar(dest):
    thin = dict(fill="none", stroke=ICON_FG, width=2)
    icons = {
        # back
        "003": [draw("polygon 6,16 16,7 16,12 26,12 26,20 16,20 16,25")],
        # quote
        "004": [cjk("报")],
        # time-sharing line
        "005": [draw("path 'M 5,22 L 10,16 14,19 19,10 23,14 27,8'", **thin),
                draw("line 5,26 27,26", fill="none", stroke="#8aa0c0", width=1)],
        # K-line: one rising and one falling candle
        "006": [draw("line 11,5 11,27", fill="none", stroke=RED, width=1),
                draw("rectangle 8,10 14,21", fill=RED),
                draw("line 21,7 21,26", fill="none", stroke=GREEN, width=1),
                draw("rectangle 18,12 24,22", fill=GREEN)],
        # order window
        "007": [cjk("单")],
        # order by drawing a line: a pencil over a line
        "008": [draw("line 5,26 27,26", fill="none", stroke="#8aa0c0", width=1),
                draw("polygon 8,22 22,8 25,11 11,25 7,26", fill=ICON_FG)],
        # save: a floppy disk
        "009": [draw("polygon 6,6 22,6 26,10 26,26 6,26"),
                draw("rectangle 10,6 20,12", fill=ICON_BG),
                draw("rectangle 10,17 22,24", fill=ICON_BG)],
        # refresh: an arc with an arrow head
        "010": [draw("arc 7,7 25,25 300,210", fill="none", stroke=ICON_FG, width=3),
                draw("polygon 20,4 27,10 19,12")],
        "011": [latin("1m")],
        "012": [latin("3m")],
        "013": [latin("5m")],
        "014": [latin("15m", 12)],
        "015": [latin("1H")],
        "016": [cjk("日")],
        "017": [cjk("周")],
        "018": [cjk("月")],
        # custom period
        "019": [cjk("自")],
        # widen: arrows outwards
        "020": [draw("line 9,16 23,16", fill="none", stroke=ICON_FG, width=2),
                draw("polygon 4,16 10,10 10,22", "polygon 28,16 22,10 22,22")],
        # narrow: arrows inwards
        "021": [draw("line 4,16 28,16", fill="none", stroke=ICON_FG, width=2),
                draw("polygon 14,16 8,10 8,22", "polygon 18,16 24,10 24,22"),
                draw("line 16,7 16,25", fill="none", stroke="#8aa0c0", width=1)],
        # page the chart left / right, the contract up / down
        "022": [draw("polygon 8,16 22,6 22,26")],
        "023": [draw("polygon 24,16 10,6 10,26")],
        "024": [draw("polygon 16,7 26,23 6,23")],
        "025": [draw("polygon 16,25 26,9 6,9")],
        # other
        "027": [draw("circle 9,16 11,16", "circle 16,16 18,16", "circle 23,16 25,16")],
    }
    for name, layers in icons.items():
        tool_icon(os.path.join(dest, f"{name}.png"), *layers)


def splash(dest):
    args = canvas((600, 360), "#0b1f4a")
    args += draw("rectangle 0,300 599,359", fill="#0f2a63")
    args += draw("path 'M 40,290 L 130,262 210,276 300,236 390,252 470,214 560,224'",
                 fill="none", stroke="#3c7de0", width=4)
    args += text("Brisvane", LATIN, 84, fill="#ffffff", offset="+0-60")
    args += text("行情终端", CJK, 30, fill="#b8c8e8", offset="+0+10")
    convert(args + STABLE, os.path.join(dest, "111.png"))


def logo(dest, tmp):
    png = os.path.join(tmp, "logo128.png")
    args = canvas(128) + draw("roundrectangle 0,0 127,127 24,24", fill="#0b1f4a")
    args += draw("path 'M 14,96 L 40,70 62,82 88,44 114,30'", fill="none", stroke="#3c7de0", width=8)
    args += text("B", LATIN, 72, fill="#ffffff", offset="+0+4")
    convert(args + STABLE, png)
    convert([png, "-define", "icon:auto-resize=128,64,48,32,16"], os.path.join(dest, "logo(128).ico"))

    tolmar = canvas(64) + draw("circle 32,32 32,2", fill="#1f6f43")
    tolmar += text("T", LATIN, 40, fill="#ffffff")
    convert(tolmar + STABLE, os.path.join(dest, "TolmarLOGO.png"))


def arrows(dest):
    convert(canvas(16) + draw("polygon 8,1 15,9 10,9 10,15 6,15 6,9 1,9", fill=RED) + STABLE,
            os.path.join(dest, "up.png"))
    convert(canvas(16) + draw("polygon 8,15 15,7 10,7 10,1 6,1 6,7 1,7", fill=GREEN) + STABLE,
            os.path.join(dest, "down.png"))


def status_bar(dest, tmp):
    # The market-data globe at the left of the status bar.
    globe = canvas(20) + draw("circle 10,10 10,1", fill="#2a78c8")
    globe += draw("ellipse 10,10 4,9 0,360", "line 1,10 19,10", "line 3,5 17,5", "line 3,15 17,15",
                  fill="none", stroke="#e8f2ff", width=1)
    convert(globe + STABLE, os.path.join(dest, "webStock.png"))

    # The connection plug at the right.
    plug = canvas(16) + draw("rectangle 3,5 12,11", fill="#d0d8e0")
    plug += draw("line 5,1 5,5", "line 10,1 10,5", "line 7,11 7,15", fill="none", stroke="#d0d8e0", width=2)
    convert(plug + STABLE, os.path.join(dest, "00005.png"))

    # Latency: 04 best (green, four bars) to 01 worst (red, one bar).
    levels = {"04": ("#00c800", 4), "03": ("#e0d000", 3), "02": ("#ff8c00", 2), "01": ("#ff2020", 1)}
    for name, (colour, lit) in levels.items():
        args = canvas(16)
        for i in range(4):
            x = 1 + i * 4
            top = 12 - i * 3
            fill = colour if i < lit else "#5a5a5a"
            args += draw(f"rectangle {x},{top} {x + 2},14", fill=fill)
        convert(args + STABLE, os.path.join(dest, "images", f"{name}.png"))

    # Busy spinner: eight dots, the bright one going round.
    import math
    frames = []
    for f in range(8):
        args = canvas(16, "white")
        for i in range(8):
            a = 2 * math.pi * i / 8
            x, y = 8 + 5.5 * math.sin(a), 8 - 5.5 * math.cos(a)
            shade = 40 + ((i - f) % 8) * 26
            args += draw(f"circle {x:.1f},{y:.1f} {x + 1.6:.1f},{y:.1f}",
                         fill=f"rgb({shade},{shade},{shade})")
        frame = os.path.join(tmp, f"spin{f}.png")
        convert(args + STABLE, frame)
        frames.append(frame)
    convert(["-delay", "10", "-loop", "0", "-dispose", "Background"] + frames, os.path.join(dest, "rotate.gif"))


def login_icons(dest):
    def face():
        return canvas(20) + draw("roundrectangle 0,0 19,19 4,4", fill="#5b8c3a")

    phone = draw("roundrectangle 6,2 13,17 2,2", fill="#ffffff") + draw("rectangle 7,4 12,13", fill="#5b8c3a")
    lock = draw("arc 6,2 14,12 180,360", fill="none", stroke="#ffffff", width=2) \
        + draw("rectangle 4,8 15,17", fill="#ffffff") + draw("rectangle 9,11 10,14", fill="#5b8c3a")
    code = draw("roundrectangle 2,4 17,15 2,2", fill="#ffffff") + draw("polygon 4,7 10,11 16,7", fill="#5b8c3a")
    icons = {
        "login_phone.png": phone,
        "login_password.png": lock,
        "register_phone.png": phone,
        "register_code.png": code,
        "register_password.png": lock,
    }
    for name, layer in icons.items():
        convert(face() + layer + STABLE, os.path.join(dest, name))


def main():
    dest = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "resources", "Resources")
    if shutil.which("convert") is None:
        sys.exit("make_resources: ImageMagick's convert is missing (scripts/setup.sh installs it)")
    for font in (LATIN, CJK):
        if not os.path.exists(font):
            sys.exit(f"make_resources: font {font} is missing (scripts/setup.sh installs it)")
    os.makedirs(dest, exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        splash(dest)
        toolbar(dest)
        logo(dest, tmp)
        arrows(dest)
        status_bar(dest, tmp)
        login_icons(dest)
    print(f"make_resources: pictures written to {dest}")


if __name__ == "__main__":
    main()
