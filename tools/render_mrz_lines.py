#!/usr/bin/python3
"""Renders the grey MRZ line images that the segmentation tests read.

Every line is drawn in OCR-B, one glyph per cell of a fixed pitch, dark (30)
on a light ground (215), at the size a page normalised to 1600 columns gives:
glyphs about 32 pixels high in a line of 50 rows. The images are small
8-bit grey PNGs; the tests derive the blurred, noisy and low-contrast variants
from them, so only the geometry lives here.

Usage: render_mrz_lines.py [output directory]   (default tests/data/segment)
"""
import os
import sys

from PIL import Image, ImageDraw, ImageFont

FONT = "/usr/share/fonts/opentype/ocr-b/OCRB.otf"
INK, PAPER = 30, 215

# ICAO 9303 specimen zones.
TD3 = ["P<UTOERIKSSON<<ANNA<MARIA<<<<<<<<<<<<<<<<<<<",
       "L898902C36UTO7408122F1204159ZE184226B<<<<<10"]
MRVB = ["V<UTOERIKSSON<<ANNA<MARIA<<<<<<<<<<<",
        "L8988901C4XXX4009078F9612109<<<<<<<<"]
TD1 = ["I<UTOD231458907<<<<<<<<<<<<<<<",
       "7408122F1204159UTO<<<<<<<<<<<6",
       "ERIKSSON<<ANNA<MARIA<<<<<<<<<<"]

# Glyphs pulled left by 6 pixels onto their left neighbour, so that the pair
# forms one run of ink.
TOUCHING = {3: 6, 12: 6, 20: 6, 30: 6, 38: 6}

# name, lines, font size, pitch, rows, left margin, shifted glyphs
SETS = [
    ("td3_p26", TD3, 42, 26, 50, 36, {}),
    ("td3_p24", TD3, 42, 24, 50, 36, {}),
    ("td3_p30", TD3, 42, 30, 50, 36, {}),
    ("mrvb_p26", MRVB, 42, 26, 50, 36, {}),
    ("td1_p25", TD1, 38, 25, 46, 36, {}),
    # five touching pairs per line on an otherwise clean pitch
    ("td3_touch", TD3, 42, 26, 50, 36, TOUCHING),
    # glyphs about 21 columns of ink on a 21 pitch: most neighbours touch
    ("td3_p21", TD3, 42, 21, 50, 36, {}),
]


def render_line(text, size, pitch, rows, margin, shifts):
    font = ImageFont.truetype(FONT, size)
    cols = 2 * margin + pitch * len(text)
    img = Image.new("L", (cols, rows), PAPER)
    draw = ImageDraw.Draw(img)
    # Centre the capital height in the line.
    top, bottom = font.getbbox("H")[1], font.getbbox("H")[3]
    y = (rows - (bottom - top)) // 2 - top
    for i, ch in enumerate(text):
        left, _, right, _ = font.getbbox(ch)
        x = margin + i * pitch + (pitch - (right - left)) // 2 - left - shifts.get(i, 0)
        draw.text((x, y), ch, font=font, fill=INK)
    return img


def main(out_dir):
    os.makedirs(out_dir, exist_ok=True)
    for name, lines, size, pitch, rows, margin, shifts in SETS:
        for n, text in enumerate(lines, start=1):
            path = os.path.join(out_dir, "%s_l%d.png" % (name, n))
            render_line(text, size, pitch, rows, margin, shifts).save(path, optimize=True)
            print(path)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "tests/data/segment")
