#!/usr/bin/python3
"""Renders the fixtures of the template-matching tests into this directory.

- MRZ lines in OCR-B, grey, anti-aliased, dark ink (30) on light paper (215),
  one glyph per cell at the font's own pitch: "<set>_<size>_l<n>.png", and
  "<set>_<size>.txt" with one cell box "x y w h" per character (line 1 first,
  each in its own line's frame).
- Single O and 0 glyphs cut with a 3-pixel margin round their ink, colour:
  "glyph_O_<size>.png" and "glyph_0_<size>.png".

Run with /usr/bin/python3 (Debian's PIL); the outputs are committed.
"""
import os

from PIL import Image, ImageDraw, ImageFont

FONT = "/usr/share/fonts/opentype/ocr-b/OCRB.otf"
HERE = os.path.dirname(os.path.abspath(__file__))
INK, PAPER = 30, 215
MARGIN = 12

TD3 = ["P<UTOERIKSSON<<ANNA<MARIA<<<<<<<<<<<<<<<<<<<",
       "L898902C36UTO7408122F1204159ZE184226B<<<<<10"]
TD2 = ["I<UTOERIKSSON<<ANNA<MARIA<<<<<<<<<<<",
       "D231458907UTO7408122F1204159<<<<<<<6"]
APEC3 = ["ERIKSSON<<ANNA<MARIA<<<<<<<<<<"]

# Each template sheet's own font size (31, 33, 36, 40, 42, 46), then other
# sizes whose pitch falls into the sheets' bands.
SETS = [("td3", TD3, s) for s in (31, 33, 36, 40, 42, 46, 32, 37, 39, 43, 44, 47, 48)] + \
       [("td2", TD2, 37), ("apec3", APEC3, 33)]


def render_line(text, size):
    font = ImageFont.truetype(FONT, size)
    pitch = font.getlength("0")
    rows = int(round(size * 1.6))
    xs = [MARGIN + int(round(i * pitch)) for i in range(len(text) + 1)]
    img = Image.new("L", (xs[-1] + MARGIN, rows), PAPER)
    draw = ImageDraw.Draw(img)
    for i, ch in enumerate(text):
        draw.text((xs[i], rows // 2), ch, font=font, fill=INK, anchor="lm")
    boxes = [(xs[i], 0, xs[i + 1] - xs[i], rows) for i in range(len(text))]
    return img, boxes


def render_glyph(ch, size):
    font = ImageFont.truetype(FONT, size)
    img = Image.new("L", (3 * size, 3 * size), PAPER)
    ImageDraw.Draw(img).text((size, size), ch, font=font, fill=INK)
    left, top, right, bottom = Image.eval(img, lambda v: 255 if v < 128 else 0).getbbox()
    m = 3
    return img.crop((left - m, top - m, right + m, bottom + m)).convert("RGB")


def main():
    for name, lines, size in SETS:
        boxes = []
        for n, text in enumerate(lines, 1):
            img, b = render_line(text, size)
            img.save(os.path.join(HERE, "%s_%d_l%d.png" % (name, size, n)), optimize=True)
            boxes += b
        with open(os.path.join(HERE, "%s_%d.txt" % (name, size)), "w") as f:
            for b in boxes:
                f.write("%d %d %d %d\n" % b)
    for size in range(24, 50, 4):
        for ch in "O0":
            render_glyph(ch, size).save(os.path.join(HERE, "glyph_%s_%d.png" % (ch, size)),
                                        optimize=True)


if __name__ == "__main__":
    main()
