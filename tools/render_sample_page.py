#!/usr/bin/python3
"""Renders the shipped sample input: a plain passport data page whose MRZ is
the ICAO 9303 specimen TD3, in OCR-B at the size a 1600-pixel-wide page gives."""
import sys
from PIL import Image, ImageDraw, ImageFont

FONT = "/usr/share/fonts/opentype/ocr-b/OCRB.otf"
LINES = ["P<UTOERIKSSON<<ANNA<MARIA<<<<<<<<<<<<<<<<<<<",
         "L898902C36UTO7408122F1204159ZE184226B<<<<<10"]


def main(out):
    w, h = 1600, 1120
    img = Image.new("RGB", (w, h), (236, 232, 222))
    d = ImageDraw.Draw(img)
    font = ImageFont.truetype(FONT, 44)
    d.rectangle([60, 120, 420, 600], fill=(190, 180, 170))  # photo area
    label = ImageFont.truetype(FONT, 30)
    for i, t in enumerate(["PASSPORT", "UTOPIA", "ERIKSSON", "ANNA MARIA", "12 AUG 74", "15 APR 12"]):
        d.text((480, 130 + i * 70), t, fill=(40, 40, 60), font=label)
    y = 880
    for line in LINES:
        d.text((70, y), line, fill=(20, 20, 20), font=font)
        y += 90
    img.save(out)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "samples/passport_sample.png")
