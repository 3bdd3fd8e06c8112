#!/usr/bin/python3
"""Renders the small OCR-B fixtures of tests/test_real_models.cpp into
tests/data/real_models/: one page and tight crops of its lines."""
import os
import sys

from PIL import Image, ImageDraw, ImageFont

FONT = "/usr/share/fonts/opentype/ocr-b/OCRB.otf"
LINES = [(30, "PASSPORT  REPUBLIC OF UTOPIA"),
         (100, "Surname: ERIKSSON   Given names: ANNA MARIA"),
         (170, "P<UTOERIKSSON<<ANNA<MARIA<<<<<<<<<<<<<<<<<<<"),
         (225, "L898902C36UTO7408122F1204159ZE184226B<<<<<10")]


def main():
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "tests", "data", "real_models")
    os.makedirs(out, exist_ok=True)
    font = ImageFont.truetype(FONT, 26)
    page = Image.new("RGB", (900, 330), (220, 232, 235))  # BGR (235, 232, 220) once read by OpenCV
    d = ImageDraw.Draw(page)
    boxes = []
    for y, text in LINES:
        d.text((30, y), text, font=font, fill=(30, 20, 20))
        boxes.append(d.textbbox((30, y), text, font=font))
    page.save(os.path.join(out, "page.png"))
    for i, (l, t, r, b) in enumerate(boxes):
        page.crop((l - 8, t - 6, r + 8, b + 6)).save(os.path.join(out, "line%d.png" % i))


if __name__ == "__main__":
    main()
