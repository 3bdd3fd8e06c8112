#!/usr/bin/python3
"""Renders the six OCR-B template sheets "ocrb_24.png" ... "ocrb_34.png".

Each sheet shows the 37 MRZ glyphs "0-9A-Z<" from left to right, white (255)
on black (0), without anti-aliasing, one glyph per cell. The matcher cuts a
sheet into templates of (widest glyph + 2) x (tallest glyph + 2) pixels,
centred on each glyph's ink, so every cell is twice that size: no template
box can reach a neighbour or the border.

The font size of a sheet is chosen so that its character pitch lies in the
middle of the pitch band the sheet serves (the pitch is the measured average
character width of a segmented line). OCR-B advances 0.723 em, so:

    sheet         pitch band   font px   pitch
    ocrb_24.png   below 23        31     22.4
    ocrb_26.png   23-24           33     23.9
    ocrb_28.png   25-27           36     26.0
    ocrb_30.png   28-29           40     28.9
    ocrb_32.png   30-31           42     30.4
    ocrb_34.png   32 and more     46     33.3

Usage: gen_ocrb_templates.py OUTPUT_DIR [FONT]
"""
import os
import sys

import numpy as np
from PIL import Image, ImageDraw, ImageFont

GLYPHS = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ<"
SHEETS = [("ocrb_24.png", 31), ("ocrb_26.png", 33), ("ocrb_28.png", 36),
          ("ocrb_30.png", 40), ("ocrb_32.png", 42), ("ocrb_34.png", 46)]
DEFAULT_FONT = "/usr/share/fonts/opentype/ocr-b/OCRB.otf"


def render_glyph(font, size, ch):
    """Binary ink of one glyph, cropped to its bounding box."""
    canvas = Image.new("L", (3 * size, 3 * size), 0)
    draw = ImageDraw.Draw(canvas)
    draw.fontmode = "1"  # no anti-aliasing: templates must not be bolder than the scans
    draw.text((size, size), ch, font=font, fill=255)
    ink = np.array(canvas) > 0
    ys, xs = np.nonzero(ink)
    if len(xs) == 0:
        raise RuntimeError("glyph %r renders no ink" % ch)
    return ink[ys.min():ys.max() + 1, xs.min():xs.max() + 1]


def count_regions(ink):
    """Number of 8-connected ink regions."""
    seen = np.zeros(ink.shape, bool)
    rows, cols = ink.shape
    regions = 0
    for y0, x0 in zip(*np.nonzero(ink)):
        if seen[y0, x0]:
            continue
        regions += 1
        stack = [(y0, x0)]
        seen[y0, x0] = True
        while stack:
            y, x = stack.pop()
            for dy in (-1, 0, 1):
                for dx in (-1, 0, 1):
                    ny, nx = y + dy, x + dx
                    if 0 <= ny < rows and 0 <= nx < cols and ink[ny, nx] and not seen[ny, nx]:
                        seen[ny, nx] = True
                        stack.append((ny, nx))
    return regions


def make_sheet(font_path, size):
    font = ImageFont.truetype(font_path, size)
    glyphs = [render_glyph(font, size, ch) for ch in GLYPHS]
    for ch, ink in zip(GLYPHS, glyphs):
        if count_regions(ink) != 1:
            raise RuntimeError("glyph %r at %d px is not one connected region" % (ch, size))
    tpl_w = max(g.shape[1] for g in glyphs) + 2
    tpl_h = max(g.shape[0] for g in glyphs) + 2
    cell_w, cell_h = 2 * tpl_w, 2 * tpl_h
    sheet = np.zeros((cell_h, cell_w * len(GLYPHS)), np.uint8)
    for i, ink in enumerate(glyphs):
        h, w = ink.shape
        x = i * cell_w + (cell_w - w) // 2
        y = (cell_h - h) // 2
        sheet[y:y + h, x:x + w][ink] = 255
        # The loader's template box of this glyph must stay inside the cell.
        bx, by = x - (tpl_w - w) // 2, y - (tpl_h - h) // 2
        if bx <= i * cell_w or bx + tpl_w >= (i + 1) * cell_w or by <= 0 or by + tpl_h >= cell_h:
            raise RuntimeError("template box of %r leaves its cell" % GLYPHS[i])
    return sheet, font.getlength("0")


def main(argv):
    if len(argv) < 2:
        sys.stderr.write(__doc__)
        return 2
    out_dir = argv[1]
    font_path = argv[2] if len(argv) > 2 else DEFAULT_FONT
    os.makedirs(out_dir, exist_ok=True)
    for name, size in SHEETS:
        sheet, pitch = make_sheet(font_path, size)
        Image.fromarray(sheet, "L").save(os.path.join(out_dir, name), optimize=True)
        print("%s: font %d px, pitch %.1f px, %dx%d" % (name, size, pitch, sheet.shape[1], sheet.shape[0]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
