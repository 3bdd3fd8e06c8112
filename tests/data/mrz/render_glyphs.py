#!/usr/bin/python3
"""Renders the OCR-B glyph strips from which the MRZ reader tests compose their
machine-readable zones.

"glyphs_<size>.png": the 37 MRZ characters "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ<"
in this order, grey and anti-aliased, dark ink (30) on light paper (215), one
glyph per cell of a fixed width (the font's advance, rounded), vertically
centred in a line of round(1.6 * size) rows. A test puts cells side by side to
draw any MRZ line at that pitch; every glyph stays inside its own cell.

Run with Debian's python (PIL); the outputs are committed:
    /usr/bin/python3 tests/data/mrz/render_glyphs.py
"""
import os

from PIL import Image, ImageDraw, ImageFont

FONT = "/usr/share/fonts/opentype/ocr-b/OCRB.otf"
HERE = os.path.dirname(os.path.abspath(__file__))
GLYPHS = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ<"
INK, PAPER = 30, 215
SIZES = (36, 46)


def render(size):
    font = ImageFont.truetype(FONT, size)
    pitch = int(round(font.getlength("0")))
    rows = int(round(size * 1.6))
    strip = Image.new("L", (pitch * len(GLYPHS), rows), PAPER)
    for i, ch in enumerate(GLYPHS):
        cell = Image.new("L", (pitch, rows), PAPER)
        ImageDraw.Draw(cell).text((pitch / 2.0, rows // 2), ch, font=font, fill=INK, anchor="mm")
        # The whole glyph must lie inside its cell, with a column of paper on
        # both sides so that neighbours never touch.
        left, top, right, bottom = Image.eval(cell, lambda v: 255 if v < 200 else 0).getbbox()
        assert left >= 1 and right <= pitch - 1, (size, ch, left, right, pitch)
        strip.paste(cell, (i * pitch, 0))
    return strip, pitch


def main():
    for size in SIZES:
        strip, pitch = render(size)
        strip.save(os.path.join(HERE, "glyphs_%d.png" % size), optimize=True)
        print("glyphs_%d.png: pitch %d, %d rows" % (size, pitch, strip.size[1]))


if __name__ == "__main__":
    main()
