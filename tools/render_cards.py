#!/usr/bin/python3
"""Renders permit card scenes for the card path: camera frames 1600 pixels
wide holding one travel permit for Hong Kong/Macau residents (document code
CR), for Taiwan residents (CT) or an APEC business travel card (CP), photo
side or back side, with a truth file per scene.

  render_cards.py OUTDIR [--count N] [--seed S] [--camera new|old|both]
                  [--side front|back|both] [--doc CR|CT|CP|any]
                  [--size F] [--quality Q] [--clean]

Cards (drawn at 10 px/mm on an ID-1 texture, 856 x 540):
  photo side: title line (Chinese for the permits, Latin for the APEC card)
    across the top, the holder's photograph on the left (a real face from
    tests/data/real_face), printed fields right of it and the card number;
  back side: printed notes in the upper half and, at the bottom, three
    OCR-B lines of 30 characters at a 2.54 mm pitch: for CR and CT the two
    MRZ lines the permit reader reads (card number, expiry, sex and birth
    date with ICAO check digits; the Chinese name as letter-coded GBK and the
    century letter) and a third line with the Latin name; for CP the card's
    three lines (issuing state, number and check digit; birth date, sex,
    expiry with check digits and nationality; the Latin name).
Frames: the card is pasted with perspective and a small rotation, upside
down in 30 % of the scenes, on the cluttered backgrounds of the card
detector's training (card_scene.py, shared with train_card.py), with shadow
and the camera degradations (light ramp, cast, glare, blur, noise, JPEG).
The card's long side in the frame: new camera 850-960 px, old camera
965-1085 px (the sizes at which each generation's card path takes the card
and its back lines), times --size (e.g. 0.7 for a card too small).

Each scene is <name>.jpg with <name>.txt ("key:value" lines): side, camera,
doc, upside_down, corners (the card's own top-left, top-right,
bottom-right, bottom-left in frame pixels), title_box and photo_box (front)
or mrz1..mrz3 with mrzK_box (back), boxes as x0 y0 x1 y1 fractions of the
upright card, and the fields the back's MRZ encodes under the names of the
result record (cert_type, id, name, name_en, birthday, sex, valid_to,
issue_country, nationality).

Seeds: test fixtures 7,000,000 (tests/data/cards); held-out measurements
8,000,000; nothing else uses seeds of this renderer.
"""
import argparse
import math
import os
import sys

import numpy as np
import cv2
from PIL import Image, ImageDraw, ImageFont

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from card_scene import (DEJAVU, OCRB, background, drop_shadow, gradient, guilloche, paste,  # noqa: E402
                        photometrics, rounded_mask)

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CJK = "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc"
FACES = os.path.join(ROOT, "tests", "data", "real_face")

PX_MM = 10.0
TW, TH = 856, 540  # ID-1, 85.6 x 54 mm
FRAME_W = 1600
CARD_LONG = {"new": (850, 960), "old": (965, 1085)}

MRZ_PITCH_MM = 2.54
MRZ_X_MM = 4.6
MRZ_LINE_Y_MM = (40.6, 45.2, 49.8)  # centres of the three OCR-B lines
OCRB_ADVANCE = 0.723  # advance of an OCR-B glyph per em

CERT = {"CR": 3, "CT": 4, "CP": 11}
TITLE = {"CR": "港澳居民来往内地通行证", "CT": "台湾居民来往大陆通行证", "CP": "APEC BUSINESS TRAVEL CARD"}
SURNAMES = [("张", "ZHANG"), ("王", "WANG"), ("李", "LI"), ("陈", "CHEN"), ("刘", "LIU"), ("黄", "HUANG"),
            ("林", "LIN"), ("吴", "WU"), ("何", "HE"), ("梁", "LIANG"), ("郭", "GUO"), ("周", "ZHOU")]
GIVEN = [("伟", "WEI"), ("芳", "FANG"), ("明", "MING"), ("丽", "LI"), ("强", "QIANG"), ("敏", "MIN"),
         ("静", "JING"), ("杰", "JIE"), ("小", "XIAO"), ("文", "WEN"), ("华", "HUA"), ("玲", "LING"),
         ("三", "SAN"), ("大", "DA"), ("国", "GUO"), ("家", "JIA")]
LATIN_SURNAMES = ["SMITH", "TANAKA", "NGUYEN", "KIM", "TAN", "LEE", "BROWN", "GARCIA", "WONG", "PATEL"]
LATIN_GIVEN = ["JOHN", "MARY", "HIROSHI", "ANNA", "MIN", "DAVID", "SARAH", "WEI", "LUCAS", "EMMA"]
APEC_STATES = ["CHN", "HKG", "AUS", "JPN", "KOR", "SGP", "USA", "CAN", "NZL", "THA", "MYS", "PHL"]
NOTES_CN = ["持证人须知", "本证件是持证人往来内地的旅行证件", "请妥善保管，不得涂改、转让、故意损毁",
            "如有遗失应及时报告", "签发机关：公安部出入境管理局", "本证有效期内可多次使用"]
NOTES_EN = ["This card is valid for multiple journeys", "Keep this card in a safe place",
            "Issued by the National Immigration Administration", "Not transferable",
            "The holder must present this card on entry", "Report loss or theft at once"]

_fonts = {}


def font(path, size):
    key = (path, size)
    if key not in _fonts:
        _fonts[key] = ImageFont.truetype(path, size)
    return _fonts[key]


# ---------------------------------------------------------------- check digits and MRZ lines
def char_value(c):
    if c.isdigit():
        return ord(c) - 48
    if "A" <= c <= "Z":
        return ord(c) - 55
    return 0


def check_digit(s):
    return str(sum(char_value(c) * (7, 3, 1)[i % 3] for i, c in enumerate(s)) % 10)


def pad(s, n):
    return (s + "<" * n)[:n]


def gbk_letters(name):
    """The Chinese name as letters: 'A' + nibble, high nibble first."""
    return "".join(chr(65 + (b >> 4)) + chr(65 + (b & 15)) for b in name.encode("gbk"))


def random_date(rng, y0, y1):
    y = int(rng.integers(y0, y1 + 1))
    m = int(rng.integers(1, 13))
    d = int(rng.integers(1, 29))
    return y, "%02d%02d%02d" % (y % 100, m, d)


def permit_fields(rng, doc):
    """Lines and result fields of a CR or CT permit."""
    sur = SURNAMES[int(rng.integers(len(SURNAMES)))]
    given = [GIVEN[int(i)] for i in rng.integers(0, len(GIVEN), int(rng.integers(1, 3)))]
    name = sur[0] + "".join(g[0] for g in given)
    name_en = sur[1] + "<<" + "".join(g[1] for g in given)
    if doc == "CR":
        letter = "H" if rng.random() < 0.6 else "M"
        digits = "".join(str(int(d)) for d in rng.integers(0, 10, 8))
        number = letter + digits if rng.random() < 0.75 else letter + digits[:7] + "<"
    else:
        number = "".join(str(int(d)) for d in rng.integers(0, 10, 8)) + "<"
    by, birth = random_date(rng, 1935, 2012)
    _, expiry = random_date(rng, 2025, 2036)
    sex = "M" if rng.random() < 0.5 else "F"
    century = "A" if by < 1900 else ("B" if by < 2000 else "C")
    l1 = "C" + doc[1] + number + check_digit(number) + "000" + expiry + check_digit(expiry) + sex + birth + \
        check_digit(birth)
    l2 = pad(gbk_letters(name), 18) + century + "<" + "0" * 10
    l3 = pad(name_en, 30)
    assert len(l1) == 30 and len(l2) == 30
    fields = {"cert_type": CERT[doc], "id": number.rstrip("<"), "name": name, "name_en": name_en.replace("<", " "),
              "birthday": str(by // 100) + birth, "sex": "男" if sex == "M" else "女", "valid_to": expiry}
    return [l1, l2, l3], fields


def apec_fields(rng):
    state = APEC_STATES[int(rng.integers(len(APEC_STATES)))]
    nationality = APEC_STATES[int(rng.integers(len(APEC_STATES)))]
    digits = "".join(str(int(d)) for d in rng.integers(0, 10, 9))
    number = digits if rng.random() < 0.7 else digits[:8] + "<"
    _, birth = random_date(rng, 1940, 2005)
    _, expiry = random_date(rng, 2025, 2031)
    sex = "M" if rng.random() < 0.5 else "F"
    sur = LATIN_SURNAMES[int(rng.integers(len(LATIN_SURNAMES)))]
    given = LATIN_GIVEN[int(rng.integers(len(LATIN_GIVEN)))]
    l1 = pad("CP" + state + number + check_digit(number) + "000", 30)
    l2 = birth + check_digit(birth) + sex + expiry + check_digit(expiry) + nationality + "0" * 12
    l3 = pad(sur + "<<" + given, 30)
    assert len(l1) == 30 and len(l2) == 30
    fields = {"cert_type": 11, "id": number.rstrip("<"), "name_en": sur + "  " + given, "birthday": birth,
              "sex": "男" if sex == "M" else "女", "valid_to": expiry, "issue_country": state,
              "nationality": nationality}
    return [l1, l2, l3], fields


# ---------------------------------------------------------------- card textures
def mm(v):
    return int(round(v * PX_MM))


def card_ground(rng, clear_from_mm=None):
    """Pale card ground with guilloche in pale colours, so that print stands
    out; below clear_from_mm the pattern fades almost away, as in the clear
    zone an MRZ is printed on."""
    base = np.array([rng.uniform(200, 245), rng.uniform(215, 250), rng.uniform(200, 245)])
    c0 = tuple(float(v) for v in base)
    c1 = tuple(float(v) for v in np.clip(base + rng.uniform(-25, 10, 3), 170, 255))
    img = gradient(rng, TW, TH, c0, c1).astype(np.uint8)
    layer = img.copy()
    guilloche(rng, layer)
    # guilloche in its own colours, then faded towards the ground
    w = np.full((TH, 1, 1), 0.45, np.float32)
    if clear_from_mm is not None:
        w[mm(clear_from_mm):] = 0.08
    return (img * (1 - w) + layer * w).astype(np.uint8)


def ink(rng):
    return tuple(int(v) for v in rng.integers(10, 70, 3))


def portrait(rng):
    """A head-and-shoulders crop of one of the face fixtures (BGR)."""
    faces = {}
    with open(os.path.join(FACES, "faces.txt")) as f:
        for line in f:
            p = line.split()
            if len(p) == 5 and p[0].startswith("photo_"):
                faces[p[0]] = [int(v) for v in p[1:]]
    names = sorted(faces)
    name = names[int(rng.integers(len(names)))]
    img = cv2.imread(os.path.join(FACES, name))
    x, y, w, h = faces[name]
    cx, cy = x + w / 2, y + h / 2
    pw = w * rng.uniform(1.7, 1.9)  # the face fills most of the photograph, as on a permit
    ph = pw * 4 / 3
    x0 = int(max(0, cx - pw / 2))
    y0 = int(max(0, cy - ph * 0.42))
    x1 = int(min(img.shape[1], x0 + pw))
    y1 = int(min(img.shape[0], y0 + ph))
    return img[y0:y1, x0:x1]


def text_box(d, xy, text, f):
    b = d.textbbox(xy, text, font=f)
    return [b[0] / TW, b[1] / TH, b[2] / TW, b[3] / TH]


def draw_front(rng, doc, fields):
    img = card_ground(rng)
    px0, py0, px1, py1 = mm(5), mm(13), mm(29), mm(45)
    photo = portrait(rng)
    bgc = np.array([rng.uniform(200, 250)] * 3)
    img[py0:py1, px0:px1] = bgc
    ph = cv2.resize(photo, (px1 - px0, py1 - py0), interpolation=cv2.INTER_AREA)
    img[py0:py1, px0:px1] = ph
    pil = Image.fromarray(img)
    d = ImageDraw.Draw(pil)
    truth = {"photo_box": [px0 / TW, py0 / TH, px1 / TW, py1 / TH]}
    tcol = (int(rng.integers(110, 170)), int(rng.integers(10, 50)), int(rng.integers(10, 50)))  # dark red print
    if doc == "CP":
        f = font(DEJAVU + "DejaVuSansCondensed-Bold.ttf", mm(rng.uniform(4.2, 4.5)))
        title_xy = (mm(rng.uniform(6, 9)), mm(rng.uniform(2.0, 3.0)))
    else:
        f = font(CJK, mm(rng.uniform(4.0, 4.4)))
        title_xy = (mm(rng.uniform(26, 30)), mm(rng.uniform(2.0, 3.2)))
    d.text(title_xy, TITLE[doc], fill=tcol, font=f)
    truth["title_box"] = text_box(d, title_xy, TITLE[doc], f)
    col = ink(rng)
    lab = font(CJK, mm(2.0))
    val = font(DEJAVU + "DejaVuSans.ttf", mm(2.6))
    cjk_val = font(CJK, mm(2.9))
    y = 14.0
    rows = [("姓名 Name", fields.get("name", ""), fields["name_en"]),
            ("出生日期 Date of birth", fields["birthday"], ""),
            ("性别 Sex", fields["sex"], ""),
            ("有效期限 Date of expiry", fields["valid_to"], "")]
    for label, v, extra in rows:
        d.text((mm(33), mm(y)), label, fill=col, font=lab)
        if v:
            d.text((mm(33), mm(y + 2.6)), v, fill=col, font=cjk_val if not v.isascii() else val)
        if extra:
            d.text((mm(50), mm(y + 2.8)), extra, fill=col, font=val)
        y += 7.5
    num_f = font(DEJAVU + "DejaVuSans-Bold.ttf", mm(3.2))
    d.text((mm(rng.uniform(52, 58)), mm(47.5)), fields["id"], fill=(40, 30, 160), font=num_f)
    return np.asarray(pil).copy(), truth


def draw_back(rng, lines, doc):
    img = card_ground(rng, MRZ_LINE_Y_MM[0] - 4.0)
    pil = Image.fromarray(img)
    d = ImageDraw.Draw(pil)
    col = ink(rng)
    # printed notes in the upper half, none of them as wide as the OCR-B lines
    y = rng.uniform(3.5, 6.0)
    cn = font(CJK, mm(rng.uniform(2.4, 3.0)))
    en = font(DEJAVU + "DejaVuSans.ttf", mm(rng.uniform(2.0, 2.4)))
    order = rng.permutation(len(NOTES_CN))
    for k in order[:int(rng.integers(2, 5))]:
        if y > 27:
            break
        if doc != "CP":  # the APEC card's notes are in English only
            d.text((mm(rng.uniform(5, 9)), mm(y)), NOTES_CN[k], fill=col, font=cn)
            y += 3.8
        if rng.random() < 0.7 and y <= 27:
            d.text((mm(rng.uniform(5, 9)), mm(y)), NOTES_EN[k], fill=col, font=en)
            y += 3.4
    f = font(OCRB, int(round(MRZ_PITCH_MM * PX_MM / OCRB_ADVANCE)))
    pitch = MRZ_PITCH_MM * PX_MM
    boxes = []
    x0 = (MRZ_X_MM + rng.uniform(-0.4, 0.4)) * PX_MM
    dy = rng.uniform(-0.5, 0.5)
    mrz_ink = tuple(int(v) for v in rng.integers(0, 40, 3))
    for k, line in enumerate(lines):
        cy = (MRZ_LINE_Y_MM[k] + dy) * PX_MM
        bx0 = by0 = 1e9
        bx1 = by1 = -1e9
        for i, c in enumerate(line):
            xy = (x0 + i * pitch, cy)
            d.text(xy, c, fill=mrz_ink, font=f, anchor="lm")
            b = d.textbbox(xy, c, font=f, anchor="lm")
            bx0, by0, bx1, by1 = min(bx0, b[0]), min(by0, b[1]), max(bx1, b[2]), max(by1, b[3])
        boxes.append([bx0 / TW, by0 / TH, bx1 / TW, by1 / TH])
    return np.asarray(pil).copy(), {"mrz%d_box" % (k + 1): b for k, b in enumerate(boxes)}


# ---------------------------------------------------------------- scenes
def scene(seed, camera, side, doc, size=1.0, clean=False):
    rng = np.random.default_rng(seed)
    if doc == "any":
        doc = ["CR", "CT", "CP"][int(rng.integers(3))]
    lines, fields = apec_fields(rng) if doc == "CP" else permit_fields(rng, doc)
    if side == "front":
        tex, truth = draw_front(rng, doc, fields)
    else:
        tex, truth = draw_back(rng, lines, doc)
    H = 1200 if rng.random() < 0.8 else int(rng.integers(900, 1200))
    # background at the detector's working scale, enlarged to the frame
    bg = background(rng, FRAME_W // 4, H // 4)
    frame = cv2.resize(bg, (FRAME_W, H), interpolation=cv2.INTER_CUBIC)
    lo, hi = CARD_LONG[camera]
    L = rng.uniform(lo, hi) * size
    S = L * TH / TW
    ang = rng.normal(0, 2.0)
    upside = rng.random() < 0.3
    if upside:
        ang += 180.0
    a = math.radians(ang)
    c, s = math.cos(a), math.sin(a)
    base = np.array([[-L / 2, -S / 2], [L / 2, -S / 2], [L / 2, S / 2], [-L / 2, S / 2]], np.float64)
    quad = base @ np.array([[c, s], [-s, c]]) + rng.normal(0, 0.008 * L, (4, 2))
    span_lo = -quad.min(0) + 8
    span_hi = np.array([FRAME_W - 8, H - 8]) - quad.max(0)
    centre = np.array([FRAME_W / 2, H / 2]) + rng.normal(0, [60, 40])
    centre = np.clip(centre, span_lo, np.maximum(span_lo, span_hi))
    quad = (quad + centre).astype(np.float32)
    src = np.array([[0, 0], [TW, 0], [TW, TH], [0, TH]], np.float32) - 0.5
    M = cv2.getPerspectiveTransform(src, quad)
    if rng.random() < 0.6:
        drop_shadow(rng, frame, quad, 12, (6, 25), (0.2, 0.55))
    paste(frame, tex, rounded_mask(TW, TH, 3.18 * PX_MM), M)
    if not clean:
        frame = photometrics(rng, frame)
    truth.update({"side": side, "camera": camera, "doc": doc, "upside_down": int(upside),
                  "frame": [FRAME_W, H], "corners": quad.reshape(-1).tolist(), "angle": ang})
    if size != 1.0:
        truth["size"] = size
    if side == "back":
        for k, line in enumerate(lines):
            truth["mrz%d" % (k + 1)] = line
        truth.update(fields)
    return frame, truth


def fmt(v):
    if isinstance(v, list):
        return " ".join(("%.4f" % x) if isinstance(x, float) else str(x) for x in v)
    if isinstance(v, float):
        return "%.3f" % v
    return str(v)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("out")
    ap.add_argument("--count", type=int, default=20)
    ap.add_argument("--seed", type=int, default=8_000_000)
    ap.add_argument("--camera", default="both", choices=["new", "old", "both"])
    ap.add_argument("--side", default="both", choices=["front", "back", "both"])
    ap.add_argument("--doc", default="any", choices=["CR", "CT", "CP", "any"])
    ap.add_argument("--size", type=float, default=1.0, help="card size against the camera's range")
    ap.add_argument("--quality", type=int, default=88, help="JPEG quality of the written scene")
    ap.add_argument("--prefix", default="card", help="first part of the scene names")
    ap.add_argument("--clean", action="store_true", help="skip the camera degradations (for debugging)")
    a = ap.parse_args()
    os.makedirs(a.out, exist_ok=True)
    cv2.setNumThreads(2)
    for i in range(a.count):
        seed = a.seed + i
        camera = a.camera if a.camera != "both" else ("new", "old")[i % 2]
        side = a.side if a.side != "both" else ("front", "back")[(i // 2) % 2]
        frame, truth = scene(seed, camera, side, a.doc, a.size, a.clean)
        name = "%s_%d_%s_%s_%s" % (a.prefix, seed, camera, side, truth["doc"])
        cv2.imwrite(os.path.join(a.out, name + ".jpg"), frame, [cv2.IMWRITE_JPEG_QUALITY, a.quality])
        with open(os.path.join(a.out, name + ".txt"), "w") as f:
            f.write("seed:%d\n" % seed)
            for k, v in truth.items():
                f.write("%s:%s\n" % (k, fmt(v)))
        print(name)


if __name__ == "__main__":
    main()
