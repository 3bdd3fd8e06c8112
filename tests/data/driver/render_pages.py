#!/usr/bin/python3
"""Renders the passport data pages of the driver tests and their expected
results: plain pages with a photo area, some printed text and the two TD3 MRZ
lines in OCR-B, at the size a 1600-pixel-wide page gives.

    /usr/bin/python3 tests/data/driver/render_pages.py [OUT_DIR]

Writes OUT_DIR/pages/<name>.png and OUT_DIR/test_ocr_result.txt (LF line
ends), one record per page with the fields a passport scan fills. The data
is invented; check digits follow ICAO 9303.
"""
import os
import sys

from PIL import Image, ImageDraw, ImageFont

FONT = "/usr/share/fonts/opentype/ocr-b/OCRB.otf"

# name, document number, nationality, birth date, sex, expiry, surname, given names
PEOPLE = [
    ("p_chn", "E12345678", "CHN", "900115", "M", "300101", "ZHANG", "SAN"),
    ("p_gbr", "L898902C3", "GBR", "740812", "F", "320415", "ERIKSSON", "ANNA MARIA"),
    ("p_fra", "C01X00T47", "FRA", "640812", "M", "271031", "MUSTERMANN", "ERIK"),
]


def check_digit(text):
    weights = (7, 3, 1)
    total = 0
    for i, c in enumerate(text):
        if c.isdigit():
            v = int(c)
        elif c.isalpha():
            v = ord(c) - ord("A") + 10
        else:
            v = 0
        total += v * weights[i % 3]
    return str(total % 10)


def mrz_lines(doc, nat, birth, sex, expiry, surname, given):
    names = surname + "<<" + given.replace(" ", "<")
    line1 = ("P<" + nat + names + "<" * 44)[:44]
    optional = "<" * 14
    part = doc + check_digit(doc) + nat + birth + check_digit(birth) + sex + expiry + check_digit(expiry)
    part += optional + check_digit(optional)
    final = check_digit(doc + check_digit(doc) + birth + check_digit(birth) + expiry + check_digit(expiry)
                        + optional + check_digit(optional))
    line2 = part + final
    assert len(line1) == 44 and len(line2) == 44, (line1, line2)
    return line1, line2


def render(path, lines, texts):
    w, h = 1600, 1120
    img = Image.new("RGB", (w, h), (236, 232, 222))
    d = ImageDraw.Draw(img)
    d.rectangle([60, 120, 420, 600], fill=(190, 180, 170))  # photo area
    label = ImageFont.truetype(FONT, 30)
    for i, t in enumerate(texts):
        d.text((480, 130 + i * 70), t, fill=(40, 40, 60), font=label)
    font = ImageFont.truetype(FONT, 44)
    y = 880
    for line in lines:
        d.text((70, y), line, fill=(20, 20, 20), font=font)
        y += 90
    img.save(path, optimize=True)


def main(out):
    os.makedirs(os.path.join(out, "pages"), exist_ok=True)
    records = []
    for name, doc, nat, birth, sex, expiry, surname, given in PEOPLE:
        l1, l2 = mrz_lines(doc, nat, birth, sex, expiry, surname, given)
        render(os.path.join(out, "pages", name + ".png"), (l1, l2),
               ["PASSPORT", nat, surname, given, birth, expiry])
        records.append("\n".join([
            "item_start:",
            "certificate_name:护照",
            "id:" + doc.lower(),  # the loader upper-cases values
            "nationality:" + nat,
            "birthday:" + birth,
            "sex:" + ("男" if sex == "M" else "女"),
            "valid_to:" + expiry,
            "mrz:" + l1 + l2,
            "item_end.",
        ]) + "\n")
    with open(os.path.join(out, "test_ocr_result.txt"), "w", newline="\n") as f:
        f.write("\n".join(records))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__)))
