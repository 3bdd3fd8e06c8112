#!/usr/bin/python3
"""Renders synthetic passport and visa data pages for the scan tests.

Each page is a document photographed or scanned flat: a light page with a
header, a photo area, printed field labels and values, and the two OCR-B lines
of the machine-readable zone (MRZ) in the bottom band. The MRZ holds random but
valid data: known nationality codes, plausible dates and correct ICAO 9303
check digits. A page may be tilted by a few degrees, blurred, noised, darkened
or rendered at another width than the 1600 pixels the scanner works at.

For every page two files are written into the output directory:

  <name>.png   the page (RGB, or grey when the variant asks for it)
  <name>.txt   the expected fields, one "key:value" line each:
               kind       passport, visa_a (2 x 44), visa_b (2 x 36),
                          visa_chn (2 x 44, see below) or odd_lengths (no
                          MRZ, see below)
               mrz1, mrz2 the two MRZ lines
               cert_type  1 passport, 7 visa
               id         document number without its check digit and fillers
               name_en    the name as the reader gives it (fillers as blanks,
                          surname and given names two blanks apart)
               nationality, birthday (YYMMDD), sex (M or F), valid_to (YYMMDD),
               issue_country
               tilt, blur, noise, width, height: how the page was made

Usage (Debian's python with PIL and numpy):

  /usr/bin/python3 tools/render_pages.py tests/data/pages [--seed N]

The output is a function of the seed: the same seed gives the same pages.
Two pages of kind "odd_lengths" carry lines of 48 / 44 and 44 / 40
characters: no MRZ, they make the segmentation's retries run.

Held-out pages for measuring the readers (not committed):

  /usr/bin/python3 tools/render_pages.py /tmp/pages --count 300 --seed 11

renders 300 random pages instead of the committed set: passports (2 x 44),
visas of both layouts (2 x 44, 2 x 36) and residence permits (2 x 44, code R,
some issued by China with a visa number in the optional data), each with a
random mix of the committed set's degradations (tilt, blur, noise, low
contrast, a worn run, specks, another width or pitch, grey). Names are
r0000_<kind>.png ...; the .txt also gives cert_type 8 for permits and, for a
Chinese permit, add_id and category; for a visa issued by China, the category
its MRZ letter stands for.

Chinese visa data pages (kind "visa_chn", see draw_chn_visa): a 2 x 44 visa
issued by China with its visa number printed in red and its category, at the
places the reader looks for them relative to MRZ line 1, in either layout
(number just above the MRZ or high above it). The .txt adds add_id (the
printed number), category and layout. The committed set (tests/data/
visa_pages) and a held-out set of this kind only:

  /usr/bin/python3 tools/render_pages.py tests/data/visa_pages --chn
  /usr/bin/python3 tools/render_pages.py /tmp/visas --count 200 --seed 31 --kind visa_chn

Held-out Chinese visa pages get the degradations above except grey (the
number is found by its red print) and are stored without the 64-colour
palette, which can merge the red into the dark ink.
"""
import argparse
import os
import random

import numpy as np
from PIL import Image, ImageDraw, ImageFilter, ImageFont

OCRB = "/usr/share/fonts/opentype/ocr-b/OCRB.otf"
SANS = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"
SANS_BOLD = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"

SURNAMES = ["ERIKSSON", "MUELLER", "DUPONT", "ROSSI", "GARCIA", "NOWAK", "SILVA",
            "JOHANSSON", "PETROV", "TANAKA", "OKAFOR", "HANSEN", "MARTIN", "BERNARD",
            "FISCHER", "SCHMIDT", "NGUYEN", "LARSEN", "MORENO", "WANG", "LINDQVIST",
            "ANDERSEN", "HUBER", "BAUER", "MEYER", "JENSEN", "VARGA", "HORVAT"]
GIVEN = ["ANNA", "MARIA", "JOHN", "PETER", "LUCAS", "SOFIA", "ELENA", "DAVID", "LEA",
         "NOAH", "EMMA", "OLIVER", "MIA", "JONAS", "CLARA", "HUGO", "IRIS", "MILAN",
         "NORA", "PAUL", "SARA", "TOBIAS", "JULIA", "VERA"]
STATES = ["UTO", "GBR", "FRA", "DEU", "ITA", "ESP", "NLD", "SWE", "NOR", "POL", "CAN",
          "AUS", "NZL", "JPN", "KOR", "USA", "BRA", "ARG", "MEX", "CHE", "AUT", "IRL",
          "FIN", "DNK", "PRT", "BEL", "GRC", "HUN", "CZE", "ZAF"]
# Letters that stand for a visa type on Chinese visas.
CHN_VISA_TYPES = "LMFXZQSDGRC"
# Letters of document numbers: O and I are left out, as most issuers do.
DOC_LETTERS = "ABCDEFGHJKLMNPRSTUVWXYZ"

MRZ_VALUES = {c: i for i, c in enumerate("0123456789")}
MRZ_VALUES.update({c: 10 + i for i, c in enumerate("ABCDEFGHIJKLMNOPQRSTUVWXYZ")})
MRZ_VALUES["<"] = 0


def check_digit(text):
    weights = (7, 3, 1)
    return str(sum(MRZ_VALUES[c] * weights[i % 3] for i, c in enumerate(text)) % 10)


def random_date(rng, first_year, last_year):
    year = rng.randint(first_year, last_year)
    month = rng.randint(1, 12)
    day = rng.randint(1, 28)
    return "%02d%02d%02d" % (year % 100, month, day)


def doc_number(rng):
    letters = rng.randint(1, 2)
    n = "".join(rng.choice(DOC_LETTERS) for _ in range(letters))
    n += "".join(rng.choice("0123456789") for _ in range(9 - letters))
    if rng.random() < 0.25:  # a shorter number filled up with '<'
        n = n[:8] + "<"
    return n


def name_field(surname, given, width):
    field = surname + "<<" + "<".join(given)
    assert len(field) <= width - 4, field
    return field + "<" * (width - len(field))


def make_identity(rng, kind, issuer=None):
    """Random holder and document data; returns the MRZ lines and the fields."""
    surname = rng.choice(SURNAMES)
    given = rng.sample(GIVEN, rng.randint(1, 2))
    nationality = rng.choice(STATES)
    issuer = issuer or (nationality if rng.random() < 0.7 else rng.choice(STATES))
    birthday = random_date(rng, 1950, 2005)
    expiry = random_date(rng, 2026, 2035)
    sex = rng.choice("MF")
    number = doc_number(rng)
    if issuer == "CHN" and kind == "passport":
        # Chinese passport numbers start with E; an R or X there would make
        # the document an exit-entry permit.
        number = "E" + number[1:]

    if kind in ("passport", "permit"):
        code = "P<" if kind == "passport" else "R<"
        visa_no = None
        if kind == "permit" and issuer == "CHN":
            # A Chinese residence permit: five characters, then the number of
            # the visa it was issued on, nine digits and their check digit.
            head = rng.choice(["<<<<<", "".join(rng.choice("0123456789") for _ in range(5))])
            visa_no = "".join(rng.choice("0123456789") for _ in range(9))
            personal = head + visa_no
            personal_cd = check_digit(visa_no)
        else:
            if rng.random() < 0.4:
                personal = "".join(rng.choice("0123456789") for _ in range(rng.randint(6, 12)))
            else:
                personal = ""
            personal = personal + "<" * (14 - len(personal))
            personal_cd = check_digit(personal) if personal.strip("<") else "<"
        width = 44
        line2 = (number + check_digit(number) + nationality + birthday + check_digit(birthday) +
                 sex + expiry + check_digit(expiry) + personal + personal_cd)
        composite = (line2[0:10] + line2[13:20] + line2[21:43])
        line2 += check_digit(composite)
    else:
        code = "V" + (rng.choice(CHN_VISA_TYPES) if issuer == "CHN" else "<")
        width = 44 if kind == "visa_a" else 36
        line2 = (number + check_digit(number) + nationality + birthday + check_digit(birthday) +
                 sex + expiry + check_digit(expiry))
        line2 += "<" * (width - len(line2))
    line1 = code + issuer + name_field(surname, given, width - 5)
    assert len(line1) == width and len(line2) == width, (line1, line2)

    fields = {
        "kind": kind,
        "mrz1": line1,
        "mrz2": line2,
        "cert_type": {"passport": "1", "permit": "8"}.get(kind, "7"),
        "id": number.rstrip("<"),
        "name_en": surname + "  " + " ".join(given),
        "nationality": nationality,
        "birthday": birthday,
        "sex": sex,
        "valid_to": expiry,
        "issue_country": issuer,
    }
    if kind == "permit" and issuer == "CHN":
        fields["add_id"] = visa_no
        fields["category"] = "居留证"
    if kind in ("visa_a", "visa_b") and issuer == "CHN":
        # Nothing else is printed: the category is the one the MRZ's visa-type
        # letter stands for (for these letters the letter itself).
        fields["category"] = code[1]
    return fields


def pretty_date(yymmdd, century):
    months = ["JAN", "FEB", "MAR", "APR", "MAY", "JUN", "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"]
    return "%s %s %d%s" % (yymmdd[4:6], months[int(yymmdd[2:4]) - 1], century, yymmdd[0:2])


def draw_photo(img, box, rng):
    x0, y0, x1, y1 = box
    w, h = x1 - x0, y1 - y0
    photo = Image.new("RGB", (w, h), rng.choice([(200, 218, 232), (215, 220, 225), (190, 205, 225)]))
    d = ImageDraw.Draw(photo)
    cx = w // 2
    skin = rng.choice([(232, 196, 170), (198, 150, 118), (150, 104, 78), (240, 210, 185)])
    hair = rng.choice([(40, 30, 25), (90, 60, 30), (160, 130, 80), (30, 30, 30)])
    # shoulders, neck, hair, face, eyes, mouth
    d.ellipse([w * 0.1, h * 0.78, w * 0.9, h * 1.4], fill=(60, 70, 95))
    d.rectangle([cx - w * 0.09, h * 0.58, cx + w * 0.09, h * 0.82], fill=skin)
    d.ellipse([cx - w * 0.25, h * 0.12, cx + w * 0.25, h * 0.64], fill=hair)
    d.ellipse([cx - w * 0.21, h * 0.2, cx + w * 0.21, h * 0.66], fill=skin)
    for ex in (-0.09, 0.09):
        d.ellipse([cx + w * ex - 7, h * 0.38 - 4, cx + w * ex + 7, h * 0.38 + 4], fill=(50, 40, 40))
    d.line([cx - w * 0.07, h * 0.54, cx + w * 0.07, h * 0.54], fill=(150, 70, 70), width=4)
    img.paste(photo, (x0, y0))
    ImageDraw.Draw(img).rectangle(box, outline=(120, 120, 130), width=2)


def draw_pattern(draw, width, height, colour):
    # A faint wavy security print over the upper part of the page; the
    # machine-readable zone stays clear of it, as on real documents.
    for k in range(0, height, 22):
        pts = [(x, k + 6 * np.sin(x / 37.0 + k / 50.0)) for x in range(0, width, 8)]
        draw.line(pts, fill=colour, width=1)


def draw_data_fields(img, d, rng, fields, paper, ink, mrz_top):
    """The header, photo and printed fields of a passport, permit or visa page."""
    passport = fields["kind"] in ("passport", "odd_lengths", "permit")
    label_font = ImageFont.truetype(SANS, 19)
    value_font = ImageFont.truetype(SANS_BOLD, 28)
    head_font = ImageFont.truetype(SANS_BOLD, 40)
    label_colour = tuple(int(0.55 * c) for c in paper)
    title = "PASSPORT" if passport else "VISA"
    if fields["kind"] == "permit":
        title = "PERMIT"
    d.text((60, 40), title, fill=(70, 40, 90), font=head_font)
    d.text((60 + 60 * len(title), 52), "UTOPIA  REPUBLIC", fill=label_colour, font=label_font)

    draw_photo(img, (60, 150, 480, 690), rng)

    century_b = 19 if int(fields["birthday"][:2]) > 30 else 20
    rows = [("Type / Type", fields["mrz1"][0]),
            ("Code / Code", fields["issue_country"]),
            ("Document No. / No.", fields["id"]),
            ("Surname / Nom", fields["name_en"].split("  ")[0]),
            ("Given names / Prenoms", fields["name_en"].split("  ")[1]),
            ("Nationality / Nationalite", fields["nationality"]),
            ("Date of birth / Date de naissance", pretty_date(fields["birthday"], century_b)),
            ("Sex / Sexe", fields["sex"]),
            ("Date of expiry / Date d'expiration", pretty_date(fields["valid_to"], 20))]
    # Five rows in one column, then the rest in two columns.
    x, y = 540, 150
    for i, (label, value) in enumerate(rows):
        col = x if i < 5 or (i - 5) % 2 == 0 else x + 520
        d.text((col, y), label, fill=label_colour, font=label_font)
        d.text((col, y + 24), value, fill=ink, font=value_font)
        if i < 5 or (i - 5) % 2 == 1:
            y += 72
    # A signature-like stroke and a short remark line, both short and above
    # the zone.
    d.line([(560, mrz_top - 120), (700, mrz_top - 150), (760, mrz_top - 110), (880, mrz_top - 140)],
           fill=(40, 50, 120), width=3)
    d.text((980, mrz_top - 140), "Authority / Autorite  MFA", fill=label_colour, font=label_font)


def mrz_geometry(fields, variant, page_width):
    """Pitch, OCR-B size and left edge of the MRZ lines."""
    pitch = variant.get("pitch", 26 if len(fields["mrz1"]) == 44 else 30)
    size = variant.get("font_size", 38 if pitch <= 27 else 41)
    left = variant.get("mrz_left", (page_width - pitch * len(fields["mrz1"])) // 2)
    return pitch, size, left


# ---- the Chinese visa data page (kind "visa_chn") ---------------------------------
#
# A visa issued by China prints two items its MRZ (2 x 44, "V" + visa-type
# letter + "CHN") does not hold: the visa number in red and the visa category.
# Both stand at fixed places relative to MRZ line 1, counted in MRZ character
# pitches p from the left edge of character 1 (x) and up from the top of the
# line-1 characters (y); the reader looks for them in these regions:
#
#   layout "bottom": number in characters 36 .. 47, 1 .. 5 p above the line;
#                    category in characters 12 .. 16, 16 .. 19 p above;
#   layout "top":    number in characters 29 .. 51, 20 .. 26 p above;
#                    category in characters 5 .. 13, 17 .. 20 p above.
#
# The page draws each item in the middle of its region, with a little
# placement jitter, at print sizes a visa sticker carries at the MRZ's 10
# characters per inch: the number 2.5 to 3 mm high (about 1.0 to 1.15 p), the
# category about as high as the MRZ characters, narrowed when it has two
# characters as the category field of a sticker is. Nothing else is printed
# in the regions; field labels and values stand clear of them.

# (MRZ visa-type letter, printed category); the two-character categories
# whose digit only the printed item tells are listed twice.
CHN_CATEGORIES = [("C", "C"), ("D", "D"), ("F", "F"), ("G", "G"), ("J", "J1"), ("P", "J2"),
                  ("L", "L"), ("M", "M"), ("R", "R"), ("Z", "Z"),
                  ("Q", "Q1"), ("Q", "Q2"), ("S", "S1"), ("S", "S2"), ("X", "X1"), ("X", "X2")] + \
                 [("Q", "Q1"), ("Q", "Q2"), ("S", "S1"), ("S", "S2"), ("X", "X1"), ("X", "X2")]
# The category an MRZ visa-type letter stands for where it differs from the letter.
MRZ_CATEGORY = {"J": "J1", "P": "J2"}
SANS_MONO_BOLD = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono-Bold.ttf"
# Fonts of the numbering print: (file, horizontal squeeze).
CHN_NUMBER_FONTS = [(SANS_MONO_BOLD, 1.0), (SANS_BOLD, 0.82), (OCRB, 1.0)]
CITIES = ["LONDON", "PARIS", "BERLIN", "ROME", "MADRID", "OSLO", "OTTAWA", "TOKYO", "SEOUL",
          "CANBERRA", "VIENNA", "WARSAW", "LISBON", "DUBLIN", "PRAGUE", "BUDAPEST"]


def chn_visa_number(rng, layout):
    """A visa number: 2 letters or digits and 6 digits printed just above the
    MRZ, a letter and 7 digits printed high; sometimes nine digits."""
    digits = lambda n: "".join(rng.choice("0123456789") for _ in range(n))
    if rng.random() < 0.15:
        return digits(9)
    if layout == "top":
        return rng.choice(DOC_LETTERS) + digits(7)
    lead = rng.choice(DOC_LETTERS) + rng.choice(DOC_LETTERS if rng.random() < 0.8 else "0123456789")
    return lead + digits(6)


def make_chn_visa(rng, layout=None):
    """A Chinese visa: the MRZ of a 2 x 44 visa issued by China, its layout,
    printed number and category."""
    fields = make_identity(rng, "visa_a", "CHN")
    letter, category = rng.choice(CHN_CATEGORIES)
    fields["mrz1"] = "V" + letter + fields["mrz1"][2:]
    fields["kind"] = "visa_chn"
    fields["layout"] = layout or rng.choice(["bottom", "top"])
    fields["add_id"] = chn_visa_number(rng, fields["layout"])
    fields["category"] = category
    if len(fields["add_id"]) == 9:
        # The older print with a nine-digit number has no category field; the
        # category is then the one the MRZ letter stands for.
        fields["category"] = MRZ_CATEGORY.get(letter, letter)
    return fields


def ink_box(font, text):
    """The ink bounding box of text drawn at the origin on its baseline."""
    probe = Image.new("L", (int(font.getlength(text)) + 4 * font.size, 3 * font.size), 0)
    ImageDraw.Draw(probe).text((2 * font.size, 2 * font.size), text, font=font, fill=255, anchor="ls")
    x0, y0, x1, y1 = probe.getbbox()
    return x0 - 2 * font.size, y0 - 2 * font.size, x1 - 2 * font.size, y1 - 2 * font.size


def font_for_cap_height(path, cap):
    """The font of `path` whose capital letters are about `cap` pixels high."""
    size = max(6, int(round(cap / 0.73)))
    for _ in range(3):
        font = ImageFont.truetype(path, size)
        height = -ink_box(font, "E")[1]
        size = max(6, int(round(size * cap / float(height))))
    return ImageFont.truetype(path, size)


def draw_centred(img, text, centre, font, fill, squeeze=1.0, angle=0.0):
    """Draws text with its ink centred at `centre`, narrowed by `squeeze` and
    turned by `angle` degrees."""
    x0, y0, x1, y1 = ink_box(font, text)
    pad = 4
    mask = Image.new("L", (x1 - x0 + 2 * pad, y1 - y0 + 2 * pad), 0)
    ImageDraw.Draw(mask).text((pad - x0, pad - y0), text, font=font, fill=255, anchor="ls")
    if squeeze != 1.0:
        mask = mask.resize((max(1, int(round(mask.width * squeeze))), mask.height), Image.BICUBIC)
    if angle:
        mask = mask.rotate(angle, resample=Image.BICUBIC, expand=True)
    img.paste(Image.new("RGB", mask.size, fill),
              (int(round(centre[0] - mask.width / 2.0)), int(round(centre[1] - mask.height / 2.0))), mask)


def draw_chn_visa(img, d, rng, fields, variant, paper, ink, mrz_top):
    """The fields of a Chinese visa sticker, with its red number and category."""
    W = img.size[0]
    pitch, size, left = mrz_geometry(fields, variant, W)
    top = mrz_top + ink_box(ImageFont.truetype(OCRB, size), "A")[1]  # top of the line-1 characters
    at = lambda px, py: (left + px * pitch, top - py * pitch)
    jitter = lambda a: rng.uniform(-a, a) * pitch
    bottom = fields["layout"] == "bottom"

    label_font = ImageFont.truetype(SANS, 19)
    value_font = ImageFont.truetype(SANS_BOLD, 26)
    label_colour = tuple(int(0.55 * c) for c in paper)
    d.text((60, 40), "VISA", fill=(70, 40, 90), font=ImageFont.truetype(SANS_BOLD, 40))
    d.text((60 + 60 * 4, 52), "CHINA", fill=label_colour, font=label_font)

    # The photo on the left, beside the category (number above the MRZ) or
    # below it (number high).
    photo = (at(-0.5, 19.0), at(9.5, 5.0)) if bottom else (at(-0.5, 15.5), at(10.0, 2.0))
    draw_photo(img, (int(photo[0][0]), int(photo[0][1]), int(photo[1][0]), int(photo[1][1])), rng)

    # The category: label above its region, value in the middle of it.
    cx, cy = at(13.0, 17.5) if bottom else at(8.0, 18.5)
    cx += jitter(0.2)
    cy += jitter(0.2)
    if len(fields["add_id"]) != 9:
        d.text((cx - 1.5 * pitch, top - (19.5 if bottom else 20.5) * pitch), "Category", fill=label_colour,
               font=label_font, anchor="ls")
        cap_mrz = -ink_box(ImageFont.truetype(OCRB, size), "A")[1]
        cat_font = font_for_cap_height(SANS_BOLD, cap_mrz * rng.uniform(0.95, 1.15))
        x0, y0, x1, y1 = ink_box(cat_font, fields["category"])
        squeeze = min(1.0, 1.2 * (y1 - y0) / float(x1 - x0)) if len(fields["category"]) > 1 else 1.0
        draw_centred(img, fields["category"], (cx, cy), cat_font, ink, squeeze)

    # The other fields, in two columns right of the category, clear of both
    # number regions.
    century_b = 19 if int(fields["birthday"][:2]) > 30 else 20
    entries = rng.choice(["01", "02", "M"])
    rows = [("Entries", entries), ("Enter before", pretty_date(fields["valid_to"], 20)),
            ("Duration of each stay", "%03d" % rng.choice([30, 60, 90, 180])),
            ("Issue date", pretty_date(random_date(rng, 2023, 2025), 20)),
            ("Issued in", rng.choice(CITIES)), ("Passport No.", fields["id"]),
            ("Birth date", pretty_date(fields["birthday"], century_b)),
            ("Full name", fields["name_en"].replace("  ", " "))]
    fx = left + (17 if bottom else 14) * pitch
    for i, (label, value) in enumerate(rows):
        x = fx + (i // 4) * 13 * pitch
        y = top - 19.5 * pitch + (i % 4) * 2.7 * pitch
        d.text((x, y), label, fill=label_colour, font=label_font)
        d.text((x, y + 23), value, fill=ink, font=value_font)

    # The visa number in red, as a numbering machine prints it.
    nx, ny = at(41.0, 3.0) if bottom else at(39.0, 23.0)
    path, squeeze = rng.choice(CHN_NUMBER_FONTS)
    number_font = font_for_cap_height(path, pitch * rng.uniform(1.0, 1.15))
    red = (rng.randint(180, 215), rng.randint(20, 45), rng.randint(30, 55))
    draw_centred(img, fields["add_id"], (nx + jitter(0.25), ny + jitter(0.25)), number_font, red, squeeze,
                 rng.uniform(-0.8, 0.8))


def render_page(rng, fields, variant):
    W, H = 1600, variant.get("page_height", 1200)
    paper = variant.get("paper", (238, 234, 224))
    ink = variant.get("ink", (25, 25, 30))
    img = Image.new("RGB", (W, H), paper)
    d = ImageDraw.Draw(img)
    mrz_top = H - variant.get("mrz_bottom", 110) - variant.get("line_gap", 56)
    if variant.get("pattern", True):
        tint = tuple(max(0, c - 14) for c in paper)
        draw_pattern(d, W, mrz_top - 40, tint)

    if fields["kind"] == "visa_chn":
        draw_chn_visa(img, d, rng, fields, variant, paper, ink, mrz_top)
    else:
        draw_data_fields(img, d, rng, fields, paper, ink, mrz_top)

    # The machine-readable zone: OCR-B at a fixed pitch, characters centred
    # in their cells, starting at the same column on both lines.
    pitch, size, left = mrz_geometry(fields, variant, W)
    font = ImageFont.truetype(OCRB, size)
    mrz_ink = variant.get("mrz_ink", (20, 20, 24))
    faint = variant.get("faint")  # (line, first, count, grey): a worn run of characters
    specks = variant.get("specks")  # grey of faint dots printed between the characters
    for n, line in enumerate((fields["mrz1"], fields["mrz2"])):
        base = mrz_top + n * variant.get("line_gap", 56)
        for i, ch in enumerate(line):
            colour = mrz_ink
            if faint and faint[0] == n and faint[1] <= i < faint[1] + faint[2]:
                colour = (faint[3],) * 3
            d.text((left + i * pitch + pitch / 2.0, base), ch, font=font, fill=colour, anchor="ms")
            if specks is not None and i + 1 < len(line):
                x = left + (i + 1) * pitch - 3
                d.rectangle([x, base - 22, x + 5, base - 8], fill=(specks,) * 3)

    if variant.get("tilt", 0.0):
        # Rotating about the page centre: the uncovered corners show the desk.
        img = img.rotate(variant["tilt"], resample=Image.BICUBIC, expand=False,
                         fillcolor=variant.get("desk", (70, 72, 80)))
    if variant.get("blur", 0.0):
        img = img.filter(ImageFilter.GaussianBlur(variant["blur"]))
    if variant.get("noise", 0):
        a = np.asarray(img).astype(np.int16)
        noise = np.random.default_rng(variant["noise_seed"]).normal(0.0, variant["noise"], a.shape[:2])
        # One noise plane for all channels keeps the files small.
        a = np.clip(a + noise[:, :, None].round().astype(np.int16), 0, 255).astype(np.uint8)
        img = Image.fromarray(a)
    if variant.get("width", W) != W:
        w = variant["width"]
        img = img.resize((w, int(round(H * w / W))), Image.BILINEAR)
    if variant.get("grey", False):
        img = img.convert("L")
    return img


# The committed set: tilts, blur, noise, contrast and sizes, passports and visas.
PAGES = [
    ("p01_clean", "passport", {}),
    ("p02_tilt_p1", "passport", {"tilt": 1.0}),
    ("p03_tilt_m2", "passport", {"tilt": -2.0}),
    ("p04_tilt_p25", "passport", {"tilt": 2.5}),
    ("p05_blur", "passport", {"blur": 1.2}),
    ("p06_noise", "passport", {"noise": 6, "grey": True, "width": 1000}),
    ("p07_dark", "passport", {"paper": (150, 146, 140), "ink": (40, 40, 40), "mrz_ink": (35, 35, 35)}),
    ("p08_tilt_blur", "passport", {"tilt": -1.2, "blur": 1.0}),
    ("p09_wide", "passport", {"width": 2000}),
    ("p10_small", "passport", {"width": 1200}),
    ("p11_short", "passport", {"page_height": 1000, "pattern": False}),
    ("p12_pitch25", "passport", {"pitch": 25, "font_size": 37}),
    ("p13_pitch27", "passport", {"pitch": 27, "font_size": 39, "tilt": 0.6}),
    ("p14_chn", "passport", {"issuer": "CHN"}),
    ("v01_a_clean", "visa_a", {}),
    ("v02_a_tilt", "visa_a", {"tilt": 1.5}),
    ("v03_a_chn", "visa_a", {"issuer": "CHN"}),
    ("v04_a_chn_blur", "visa_a", {"issuer": "CHN", "blur": 1.0, "tilt": -0.8}),
    ("v05_b_clean", "visa_b", {}),
    ("v06_b_tilt", "visa_b", {"tilt": -1.5}),
    ("v07_b_noise", "visa_b", {"noise": 4, "grey": True, "width": 1100, "pattern": False}),
    ("v08_b_low", "visa_b", {"paper": (205, 210, 200), "mrz_ink": (70, 70, 75)}),
    ("v09_b_spaced", "visa_b", {"pitch": 36, "font_size": 38}),
    ("p15_tilt3", "passport", {"tilt": 2.9}),
    ("p16_specks", "passport", {"specks": 214, "pattern": False}),
    ("p17_worn", "passport", {"faint": (1, 20, 3, 224), "pattern": False}),
    ("x01_long_line", "odd_lengths", {"lengths": (48, 44), "pitch": 25, "font_size": 37, "pattern": False}),
    ("x02_short_line", "odd_lengths", {"lengths": (44, 40), "pattern": False}),
]


# The committed Chinese visa pages: both layouts, one- and two-character
# categories, a nine-digit number, and the degradations of the passport set.
CHN_PAGES = [
    ("c01_bottom_clean", {"layout": "bottom", "category": ("Q", "Q2")}),
    ("c02_top_clean", {"layout": "top", "category": ("X", "X1")}),
    ("c03_bottom_tilt_blur", {"layout": "bottom", "category": ("S", "S1"), "tilt": -1.5, "blur": 1.0}),
    ("c04_top_tilt_short", {"layout": "top", "category": ("L", "L"), "tilt": 2.0, "page_height": 1000}),
    ("c05_bottom_nine_digits", {"layout": "bottom", "category": ("Q", "Q"), "number": "046218395"}),
    ("c06_top_dark_small", {"layout": "top", "category": ("Q", "Q1"), "number": "K3820417", "width": 1200,
                            "paper": (150, 146, 140), "ink": (40, 40, 40), "mrz_ink": (35, 35, 35)}),
]


def render_chn_set(out_dir, seed):
    for index, (name, variant) in enumerate(CHN_PAGES):
        rng = random.Random(seed * 1000 + 500 + index)
        variant = dict(variant)
        variant.setdefault("noise_seed", seed + 500 + index)
        fields = make_chn_visa(rng, variant["layout"])
        letter, category = variant["category"]
        fields["mrz1"] = "V" + letter + fields["mrz1"][2:]
        fields["add_id"] = variant.get("number", fields["add_id"])
        fields["category"] = category if len(fields["add_id"]) != 9 else MRZ_CATEGORY.get(letter, letter)
        img = render_page(rng, fields, variant)
        stored = img.quantize(colors=64, method=Image.Quantize.MEDIANCUT) if img.mode == "RGB" else img
        stored.save(os.path.join(out_dir, name + ".png"), optimize=True)
        write_expected(os.path.join(out_dir, name + ".txt"), fields, variant, img)


def write_expected(path, fields, variant, img):
    keys = ["kind", "mrz1", "mrz2", "cert_type", "id", "name_en", "nationality", "birthday",
            "sex", "valid_to", "issue_country"]
    # Only permits have these; the committed pages' files stay as they were.
    keys += [k for k in ("add_id", "category", "layout") if k in fields]
    with open(path, "w", encoding="utf-8") as f:
        for k in keys:
            f.write("%s:%s\n" % (k, fields[k]))
        f.write("tilt:%s\nblur:%s\nnoise:%s\n" % (variant.get("tilt", 0), variant.get("blur", 0),
                                                variant.get("noise", 0)))
        f.write("width:%d\nheight:%d\n" % img.size)


def random_variant(rng, kind):
    """A random mix of the committed set's degradations for one held-out page."""
    v = {}
    if rng.random() < 0.25:
        v["issuer"] = "CHN"
    if rng.random() < 0.6:
        v["tilt"] = round(rng.uniform(-3.0, 3.0), 2)
    if rng.random() < 0.35:
        v["blur"] = round(rng.uniform(0.6, 1.3), 2)
    if rng.random() < 0.3:
        v["noise"] = rng.choice([3, 4, 5, 6, 8])
        v["grey"] = rng.random() < 0.7
    contrast = rng.random()
    if contrast < 0.12:
        v.update({"paper": (150, 146, 140), "ink": (40, 40, 40), "mrz_ink": (35, 35, 35)})
    elif contrast < 0.24:
        v.update({"paper": (205, 210, 200), "mrz_ink": (70, 70, 75)})
    width = 44 if kind != "visa_b" else 36
    if rng.random() < 0.1:
        # A worn run keeps a third to two thirds of the print's contrast on
        # this paper; fainter print is not a reading matter (the committed
        # p17_worn shows that limit).
        paper = sum(v.get("paper", (238, 234, 224))) / 3.0
        ink = sum(v.get("mrz_ink", (20, 20, 24))) / 3.0
        keep = rng.choice([0.35, 0.5, 0.65])
        v["faint"] = (rng.randint(0, 1), rng.randint(0, width - 4), rng.randint(1, 3),
                      int(round(paper - keep * (paper - ink))))
    if rng.random() < 0.1:
        v["specks"] = rng.choice([200, 214, 226])
    if rng.random() < 0.3:
        v["width"] = rng.choice([1000, 1100, 1200, 1400, 1800, 2000, 2400])
    if rng.random() < 0.2:
        v["page_height"] = rng.choice([1000, 1100, 1300])
    if rng.random() < 0.3:
        v["pattern"] = False
    if kind == "visa_b":
        if rng.random() < 0.2:
            v["pitch"], v["font_size"] = rng.choice([(28, 39), (32, 41), (36, 38)])
    elif rng.random() < 0.3:
        v["pitch"], v["font_size"] = rng.choice([(25, 37), (27, 39)])
    return v


def render_random(out_dir, seed, count, only_kind=None):
    """Held-out pages: `count` random documents with random degradations."""
    kinds = ["passport"] * 4 + ["visa_a"] * 2 + ["visa_b"] * 2 + ["permit"] * 2
    if only_kind:
        kinds = [only_kind]
    for index in range(count):
        rng = random.Random(seed * 1000003 + index)
        kind = rng.choice(kinds)
        variant = random_variant(rng, kind)
        variant["noise_seed"] = seed * 1000003 + index
        if kind == "visa_chn":
            # The red print is what finds the number; a grey copy has none.
            variant.pop("grey", None)
            fields = make_chn_visa(rng)
        else:
            fields = make_identity(rng, kind, variant.get("issuer"))
        img = render_page(rng, fields, variant)
        stored = img.quantize(colors=64, method=Image.Quantize.MEDIANCUT) if img.mode == "RGB" else img
        if kind == "visa_chn":
            # A 64-colour palette may merge the red print into the dark ink,
            # which no camera frame does.
            stored = img
        name = "r%04d_%s" % (index, kind)
        stored.save(os.path.join(out_dir, name + ".png"), optimize=False)
        write_expected(os.path.join(out_dir, name + ".txt"), fields, variant, img)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("out_dir")
    ap.add_argument("--seed", type=int, default=20240611)
    ap.add_argument("--count", type=int, default=0,
                    help="render this many random held-out pages instead of the committed set")
    ap.add_argument("--kind", choices=["passport", "visa_a", "visa_b", "permit", "visa_chn"],
                    help="held-out pages of this kind only")
    ap.add_argument("--chn", action="store_true",
                    help="render the committed Chinese visa pages (tests/data/visa_pages)")
    args = ap.parse_args()
    os.makedirs(args.out_dir, exist_ok=True)
    if args.count > 0:
        render_random(args.out_dir, args.seed, args.count, args.kind)
        return
    if args.chn:
        render_chn_set(args.out_dir, args.seed)
        return
    for index, (name, kind, variant) in enumerate(PAGES):
        rng = random.Random(args.seed * 1000 + index)
        variant = dict(variant)
        variant.setdefault("noise_seed", args.seed + index)
        fields = make_identity(rng, "passport" if kind == "odd_lengths" else kind, variant.get("issuer"))
        if kind == "odd_lengths":
            # Lines that are no MRZ: 48 and 40 characters, for the retries of
            # the segmentation.
            n1, n2 = variant["lengths"]
            fields["kind"] = kind
            fields["mrz1"] = (fields["mrz1"] + "<" * n1)[:n1]
            fields["mrz2"] = (fields["mrz2"] + "<" * n2)[:n2]
        img = render_page(rng, fields, variant)
        # Colour pages are stored with a palette of 64 colours, which keeps the
        # committed files small; the quantisation is one more degradation.
        stored = img.quantize(colors=64, method=Image.Quantize.MEDIANCUT) if img.mode == "RGB" else img
        stored.save(os.path.join(args.out_dir, name + ".png"), optimize=True)
        write_expected(os.path.join(args.out_dir, name + ".txt"), fields, variant, img)


if __name__ == "__main__":
    main()
