#!/usr/bin/python3
"""Trains the MRZ line recogniser ("ocrv3_mrz.p") on synthetic OCR-B lines.

The network is a small conv-only CTC recogniser (about 0.5 M parameters):
input 1x3x48xW (BGR, (v - 127.5) / 127.5), output 1xTxKx1 softmax scores with
T = W / 4 time steps and K = 38 classes (blank, '0'-'9', '<', 'A'-'Z'), which
is the column layout of "ocrv3_mrz.txt". Conv-only so that OpenCV 4.6 runs the
ONNX export at any width with no graph edits.

Training data is generated on the fly: MRZ-like text rendered with the OCR-B
font of fonts-ocr-b on security-print backgrounds, neighbouring lines above and
below, loose crops, perspective, blur, noise, JPEG, uneven light, and the same
3x3 blur and bilinear scaling to height 48 that the library applies before a
recognition. Training also mixes in the print conditions of real zones
(CONDITIONS): binarised lines, tight and loose framing with uneven side
margins, small glyphs, ink spread and erosion, dot-like and broken strokes,
and field-structured lines (TD3, TD2, MRV-A/B, 2 x 30, 3 x 30) whose digit
runs are real dates and check digits; each has its own held-out set.

  train:   /usr/bin/python3 tools/train_mrz.py train --minutes 60
  export:  /usr/bin/python3 tools/train_mrz.py export
  measure: /usr/bin/python3 tools/train_mrz.py eval --harsh [--clipped] --count 1000

Checkpoints: tools/models/mrz_ckpt.pt (last) and tools/models/mrz_best.pt (best
validation); the export writes tools/models/ocrv3_mrz.onnx.
"""
import argparse
import io
import math
import os
import random
import sys
import time

import numpy as np
import cv2
from PIL import Image, ImageDraw, ImageFont

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from render_pages import check_digit, doc_number, random_date  # noqa: E402
MODELS = os.path.join(HERE, "models")
FONT = "/usr/share/fonts/opentype/ocr-b/OCRB.otf"
ALPHABET = "0123456789<ABCDEFGHIJKLMNOPQRSTUVWXYZ"  # class k+1 is ALPHABET[k]
NCLASS = len(ALPHABET) + 1
CHAR_TO_CLASS = {c: i + 1 for i, c in enumerate(ALPHABET)}
HEIGHT = 48
STRIDE = 4
TRAIN_FRAG = 0.25
TRAIN_RUNS = 0.0
TRAIN_MIX = False  # training draws the print conditions below; the older held-out sets stay as they were
DATA_VERSION = 6  # bump when the training data or the network changes, so the best-checkpoint mark resets

# OCR-B cap height and advance as fractions of the font size.
CAP_RATIO = 0.73
ADV_RATIO = 0.723

_fonts = {}


def font(size):
    f = _fonts.get(size)
    if f is None:
        f = ImageFont.truetype(FONT, size)
        _fonts[size] = f
    return f


# ---------------------------------------------------------------- text
LETTERS = "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
DIGITS = "0123456789"
COUNTRIES = ["UTO", "D<<", "GBR", "USA", "FRA", "CHN", "JPN", "NLD", "CAN", "AUS", "IND", "BRA",
             "RUS", "ITA", "ESP", "KOR", "SWE", "NOR", "CHE", "AUT", "POL", "TUR", "MEX", "ZAF"]


def _name(rng, lo=2, hi=10):
    return "".join(rng.choice(LETTERS) for _ in range(rng.randint(lo, hi)))


def _digits(rng, n):
    return "".join(rng.choice(DIGITS) for _ in range(n))


def _alnum(rng, n):
    return "".join(rng.choice(DIGITS + LETTERS + "<") for _ in range(n))


def _fill(s, n):
    return (s + "<" * n)[:n]


def _names_field(rng, n):
    parts = [_name(rng)]
    if rng.random() < 0.6:
        parts.append(_name(rng, 1, 8))
    s = "<".join(parts) + "<<" + "<".join(_name(rng, 2, 9) for _ in range(rng.randint(0, 3)))
    return _fill(s, n)


def mrz_line(rng, length=None, frag=0.25):
    """An MRZ-like line: real layouts, random content, or random fragments."""
    r = rng.random()
    kind = rng.choice(["td3a", "td3b", "td1a", "td1b", "td1c", "td2a", "td2b", "rand"]) if length is None else None
    if length is not None:
        return "".join(rng.choice(ALPHABET) if rng.random() < 0.8 else "<" for _ in range(length))
    if kind == "td3a":
        s = rng.choice("PV") + rng.choice("<<<<ADS") + rng.choice(COUNTRIES) + _names_field(rng, 39)
    elif kind == "td3b":
        s = (_alnum(rng, 9) + _digits(rng, 1) + rng.choice(COUNTRIES) + _digits(rng, 7) + rng.choice("MF<")
             + _digits(rng, 7) + _fill(_alnum(rng, rng.randint(0, 14)), 14) + _digits(rng, 2))
    elif kind == "td1a":
        s = rng.choice(["I<", "ID", "AC", "IR", "C<"]) + rng.choice(COUNTRIES) + _alnum(rng, 9) + _digits(rng, 1) \
            + _fill(_alnum(rng, rng.randint(0, 15)), 15)
    elif kind == "td1b":
        s = _digits(rng, 7) + rng.choice("MF<") + _digits(rng, 7) + rng.choice(COUNTRIES) + _fill(_alnum(rng, rng.randint(0, 11)), 11) + _digits(rng, 1)
    elif kind == "td1c":
        s = _names_field(rng, 30)
    elif kind == "td2a":
        s = rng.choice("IPAV") + rng.choice("<D") + rng.choice(COUNTRIES) + _names_field(rng, 31)
    elif kind == "td2b":
        s = _alnum(rng, 9) + _digits(rng, 1) + rng.choice(COUNTRIES) + _digits(rng, 7) + rng.choice("MF<") + _digits(rng, 7) + _fill(_alnum(rng, rng.randint(0, 7)), 7) + _digits(rng, 1)
    else:
        n = rng.randint(10, 44)
        s = ""
        while len(s) < n:
            t = rng.random()
            if t < 0.25:
                s += "<" * rng.randint(1, 20)
            elif t < 0.6:
                s += _digits(rng, rng.randint(1, 8))
            else:
                s += _name(rng, 1, 8)
        s = s[:n]
    if r < frag:
        # Fragments: items and single characters are re-read on their own,
        # and shorter lines make cheaper batches for a fully convolutional net.
        a = rng.randint(0, len(s) - 1)
        b = min(len(s), a + rng.choice([1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 14, 16]))
        s = s[a:b]
    return s


# Field-structured lines: the layouts the reader meets, with real dates, check
# digits and numbers, so that digit runs look as they do on documents (a 0
# inside a date, O and 0 side by side in a number).
def _number(rng):
    r = rng.random()
    if r < 0.5:
        return doc_number(rng)
    if r < 0.75:
        return _fill(_digits(rng, rng.randint(7, 9)), 9)
    # Numbers with O, I and zeros mixed, as some issuers print them.
    return "".join(rng.choice("0O0O1I" + DIGITS + LETTERS) for _ in range(9))


def _date(rng):
    r = rng.random()
    if r < 0.45:
        return random_date(rng, 1930, 2012)
    if r < 0.9:
        return random_date(rng, 2020, 2040)
    return "%02d%02d%02d" % (rng.randint(0, 99), rng.randint(1, 12), rng.randint(1, 31))


def _optional(rng, n):
    r = rng.random()
    if r < 0.45:
        return "<" * n
    if r < 0.8:
        return _fill(_digits(rng, rng.randint(1, n)), n)
    return _fill(_alnum(rng, rng.randint(1, n)), n)


def _dates_block(rng, nat):
    dob, exp = _date(rng), _date(rng)
    return dob + check_digit(dob) + rng.choice("MF<") + exp + check_digit(exp), nat + dob + check_digit(dob)


def field_line(rng):
    """One line of a TD3, TD2, MRV-A/B, mainland permit (2 x 30) or APEC/TD1 (3 x 30) zone."""
    kind = rng.choice(["td3", "td2", "mrva", "mrvb", "p30", "td1"])
    nat = rng.choice(COUNTRIES)
    num = _number(rng)
    dob, exp = _date(rng), _date(rng)
    sex = rng.choice("MF<")
    second = rng.random() < 0.6  # the line of numbers, more often than the line of names
    if kind in ("td3", "td2", "mrva", "mrvb"):
        n = 44 if kind in ("td3", "mrva") else 36
        if not second:
            head = {"td3": rng.choice(["P<", "PD", "PO", "PS"]), "td2": rng.choice(["I<", "ID", "AC", "IR"]),
                    "mrva": rng.choice(["V<", "VD", "VL", "VS"]), "mrvb": rng.choice(["V<", "VM", "VX"])}[kind]
            return head + rng.choice(COUNTRIES) + _names_field(rng, n - 5)
        s = num + check_digit(num) + nat + dob + check_digit(dob) + sex + exp + check_digit(exp)
        if kind == "td3":
            opt = _optional(rng, 14)
            s += opt + (check_digit(opt) if opt.strip("<") else "<")
            return s + check_digit(s[0:10] + s[13:20] + s[21:43])
        if kind == "td2":
            s += _optional(rng, 7)
            return s + check_digit(s[0:10] + s[13:20] + s[21:35])
        return s + _optional(rng, n - len(s))
    if kind == "p30":
        if not second:
            return _names_field(rng, 30)
        # The back of a mainland travel permit: card code, number, dates.
        head = rng.choice(["CS", "CT", "CR", "CW"])
        num = rng.choice("CHMT") + _digits(rng, 8)
        s = head + num + "<" + exp + check_digit(exp) + "<" + dob + check_digit(dob) + "<"
        s = _fill(s + _digits(rng, rng.randint(0, 3)), 29)
        return s + check_digit(s)
    line = rng.randint(0, 2)
    if line == 0:
        s = rng.choice(["I<", "ID", "AC", "IR", "C<", "A<"]) + rng.choice(COUNTRIES) + num + check_digit(num)
        return s + _optional(rng, 15)
    if line == 1:
        s = dob + check_digit(dob) + sex + exp + check_digit(exp) + nat + _optional(rng, 11)
        return s + check_digit(s)
    return _names_field(rng, 30)


# ---------------------------------------------------------------- rendering
def background(rng, h, w):
    """Paper with security print: tint, gradients, guilloche curves, fine lines, speckle."""
    base = np.array([rng.uniform(170, 250) for _ in range(3)], np.float32)
    if rng.random() < 0.5:
        base[:] = base.mean() + np.array([rng.uniform(-12, 12) for _ in range(3)], np.float32)
    img = np.ones((h, w, 3), np.float32) * base
    yy = np.arange(h, dtype=np.float32)[:, None]
    xx = np.arange(w, dtype=np.float32)[None, :]
    if rng.random() < 0.6:
        ang = rng.uniform(0, 2 * math.pi)
        g = (np.cos(ang) * xx + np.sin(ang) * yy) / max(h, w)
        col = np.array([rng.uniform(-40, 40) for _ in range(3)], np.float32)
        img = img + g[..., None] * col
    if rng.random() < 0.75:
        # Guilloche: families of sine curves in a light colour.
        layer = np.zeros((h, w), np.uint8)
        n = rng.randint(3, 14)
        period = rng.uniform(20, 200)
        amp = rng.uniform(3, 30)
        spacing = rng.uniform(4, 18)
        phase = rng.uniform(0, 6.3)
        th = rng.choice([1, 1, 2])
        xs = np.arange(0, w, 2, dtype=np.float32)
        for k in range(-n, int(h / spacing) + n):
            ys = k * spacing + amp * np.sin(xs / period * 2 * math.pi + phase + k * 0.3)
            pts = np.stack([xs, ys], 1).astype(np.int32)
            cv2.polylines(layer, [pts], False, 255, th, cv2.LINE_AA)
        col = np.array([rng.uniform(-90, 10) for _ in range(3)], np.float32) * rng.uniform(0.3, 1.0)
        img += (layer.astype(np.float32) / 255.0)[..., None] * col
    if rng.random() < 0.3:
        # Fine straight hatching.
        layer = np.zeros((h, w), np.uint8)
        step = rng.randint(3, 9)
        ang = rng.uniform(-1.2, 1.2)
        for k in range(-w, w + h, step):
            x1 = int(k)
            cv2.line(layer, (x1, 0), (int(x1 + h * math.tan(ang)), h), 255, 1, cv2.LINE_AA)
        img -= (layer.astype(np.float32) / 255.0)[..., None] * rng.uniform(10, 50)
    if rng.random() < 0.5:
        sm = cv2.resize(np.random.default_rng(rng.randint(0, 1 << 30)).normal(0, 1, (max(2, h // 8), max(2, w // 8), 1)).astype(np.float32),
                        (w, h), interpolation=cv2.INTER_CUBIC)
        img += (sm if sm.ndim == 3 else sm[..., None]) * rng.uniform(2, 12)
    return img


def render_ink(rng, lines, cap, pitch_chars, line_pitch, width, height, x0, y_tops):
    """Ink coverage (0..1) for the given lines; each line starts at x0 with its cap top at y_tops[i]."""
    fs = max(6, int(round(cap / CAP_RATIO)))
    f = font(fs)
    top_off = f.getbbox("H")[1]
    im = Image.new("L", (width, height), 0)
    d = ImageDraw.Draw(im)
    adv = fs * ADV_RATIO * pitch_chars
    for text, yt in zip(lines, y_tops):
        if text is None:
            continue
        for i, ch in enumerate(text):
            x = x0 + i * adv + rng.uniform(-0.04, 0.04) * adv
            y = yt - top_off + rng.uniform(-0.03, 0.03) * cap
            d.text((x, y), ch, font=f, fill=255)
    a = np.asarray(im, np.float32) / 255.0
    return a, adv


CONDITIONS = ("binary", "framing", "small", "ink", "broken", "fields")
# Share of training lines that get each condition (drawn independently) when TRAIN_MIX is on.
MIX = {"binary": 0.3, "framing": 0.3, "small": 0.15, "ink": 0.25, "broken": 0.12, "fields": 0.45}


def draw_conditions(rng, harsh, cond):
    """The print conditions of one line: `cond` alone for a held-out set, a random
    mix in training; none (and no draw, so the older sets keep their lines) otherwise."""
    if cond is not None:
        return {cond}
    if harsh or not TRAIN_MIX:
        return set()
    return {c for c in CONDITIONS if rng.random() < MIX[c]}


def spread_ink(rng, ink, cap):
    """Ink spread (bleeding toner, a dark scan) or erosion (thin print, a light
    scan): the coverage re-thresholded after a blur moves every edge by a
    fraction of the stroke width."""
    s = max(0.6, cap * rng.uniform(0.03, 0.07))
    b = cv2.GaussianBlur(ink, (0, 0), s)
    if rng.random() < 0.5:
        t = rng.uniform(0.12, 0.32)
    else:
        t = rng.uniform(0.55, 0.72)
    if rng.random() < 0.25:
        # Bleeding along the paper's grain: wider than tall.
        k = max(2, int(round(cap * rng.uniform(0.04, 0.1))))
        b = cv2.dilate(b, np.ones((1, k), np.uint8))
    return np.clip((b - t) / 0.12 + 0.5, 0, 1)


def break_ink(rng, ink, cap):
    """Dot-like strokes (dot-matrix and inkjet print) or broken ones (worn ribbon,
    faint toner, scan lines)."""
    h, w = ink.shape
    r = rng.random()
    if r < 0.4:
        p = max(1.6, cap * rng.uniform(0.08, 0.14))
        yy, xx = np.mgrid[0:h, 0:w].astype(np.float32)
        ox, oy = rng.uniform(0, p), rng.uniform(0, p)
        d = np.hypot((xx + ox) % p - p / 2, (yy + oy) % p - p / 2)
        rad = p * rng.uniform(0.42, 0.62)
        mask = np.clip(rad - d + 0.5, 0, 1)
        out = np.maximum(ink * mask, cv2.GaussianBlur(ink * mask, (0, 0), 0.6) * 0.8)
    elif r < 0.8:
        g = np.random.default_rng(rng.randint(0, 1 << 30))
        cell = max(1.5, cap * rng.uniform(0.05, 0.12))
        sm = cv2.resize(g.normal(0, 1, (max(2, int(h / cell)), max(2, int(w / cell)))).astype(np.float32), (w, h),
                        interpolation=cv2.INTER_CUBIC)
        thr = rng.uniform(-0.9, -0.2)  # a fifth to two fifths of the ink falls out
        out = ink * np.clip((sm - thr) * 3 + 0.5, 0, 1)
    else:
        # White scan lines across the glyphs.
        step = max(3, int(cap * rng.uniform(0.12, 0.3)))
        th = max(1, int(step * rng.uniform(0.2, 0.4)))
        mask = np.ones((h, 1), np.float32)
        off = rng.randint(0, step - 1)
        for y in range(off, h, step):
            mask[y:y + th] = 0.0
        out = ink * mask
    return out


def binarise(rng, crop, cap):
    """A black-and-white line as scanners and page binarisers give it: global
    (Otsu or a fixed level) or adaptive thresholds, with or without blur first."""
    g = cv2.cvtColor(crop, cv2.COLOR_BGR2GRAY)
    if rng.random() < 0.5:
        g = cv2.GaussianBlur(g, (0, 0), rng.uniform(0.4, 1.2) * max(cap, 12) / 24)
    r = rng.random()
    if r < 0.35:
        _, b = cv2.threshold(g, 0, 255, cv2.THRESH_BINARY | cv2.THRESH_OTSU)
    elif r < 0.55:
        t, _ = cv2.threshold(g, 0, 255, cv2.THRESH_BINARY | cv2.THRESH_OTSU)
        _, b = cv2.threshold(g, float(np.clip(t + rng.uniform(-25, 25), 1, 254)), 255, cv2.THRESH_BINARY)
    else:
        blk = int(cap * rng.uniform(0.7, 3.0)) | 1
        meth = cv2.ADAPTIVE_THRESH_MEAN_C if rng.random() < 0.5 else cv2.ADAPTIVE_THRESH_GAUSSIAN_C
        b = cv2.adaptiveThreshold(g, 255, meth, cv2.THRESH_BINARY, max(3, blk), rng.uniform(4, 25))
    return cv2.cvtColor(b, cv2.COLOR_GRAY2BGR)


def make_sample(rng, harsh=False, clipped=False, cond=None):
    """Returns (BGR uint8 crop, text) for one synthetic line. Harsh lines are
    loose crops whose glyphs are whole; with `clipped` their crop corners may
    also be jittered into the glyphs (the earlier, harder held-out set).
    `cond` names one print condition of CONDITIONS for a held-out set of it:
    whole lines of 16-40 px glyphs (12-17 px for "small"), half of them
    field-structured (all for "fields"), with that condition always on."""
    aug = draw_conditions(rng, harsh, cond)
    if cond is not None:
        text = field_line(rng) if cond == "fields" or rng.random() < 0.5 else mrz_line(rng, frag=0.0)
    elif "fields" in aug:
        text = field_line(rng)
        if rng.random() < TRAIN_FRAG:
            a = rng.randint(0, len(text) - 1)
            text = text[a:a + rng.randint(1, 16)]
    else:
        text = mrz_line(rng, frag=0.25 if harsh else TRAIN_FRAG)
    if harsh:
        cap = rng.uniform(10, 40)
        if rng.random() < 0.3:
            text = text[:1] + "<" * rng.randint(10, 30)
            text = text[: rng.randint(20, 44)]
    elif cond is not None:
        cap = rng.uniform(12, 17) if cond == "small" else rng.uniform(16, 40)
    else:
        r = rng.random()
        cap = rng.uniform(9, 42) if r < 0.55 else rng.uniform(9, 18) if r < 0.8 else rng.uniform(13, 30)
        if "small" in aug:
            cap = rng.uniform(10, 17)
        if rng.random() < TRAIN_RUNS:
            # Short names and empty optional data leave long filler runs, which
            # must be counted exactly.
            text = text[:rng.randint(1, 4)] + "<" * rng.randint(8, 32) + text[:rng.randint(0, 6)]
            text = text[:44]
    pitch_chars = rng.uniform(0.92, 1.12)
    line_pitch = cap * rng.uniform(1.45, 2.3)
    fs = max(6, int(round(cap / CAP_RATIO)))
    adv = fs * ADV_RATIO * pitch_chars
    text_w = adv * len(text)
    # Canvas just large enough for the crop and its jitter; the neighbouring
    # lines are drawn at +-line_pitch and show only where they reach in.
    pad = int((6 if "framing" in aug else 2) * adv + 0.5 * cap + 6)
    W = int(text_w + 2 * pad)
    H = int(cap * 4.4 + 10)
    y_t = int((H - cap) / 2)
    neighbours = []
    for _ in range(2):
        r = rng.random()
        if r < 0.6:
            neighbours.append(mrz_line(rng, max(1, len(text) + rng.randint(-2, 8))))
        elif r < 0.75:
            neighbours.append("".join(rng.choice(LETTERS + "   ") for _ in range(max(1, len(text) // 2))))
        else:
            neighbours.append(None)
    if "framing" in aug and rng.random() < 0.6:
        # Loose crops of a clean zone: white paper above and below.
        neighbours = [n if rng.random() < 0.3 else None for n in neighbours]
    x0 = pad
    ink, _ = render_ink(rng, [neighbours[0], text, neighbours[1]], cap, pitch_chars, line_pitch, W, H, x0,
                        [y_t - line_pitch, y_t, y_t + line_pitch])
    # Stroke weight: thin or bold print.
    if rng.random() < 0.3:
        k = max(1, int(cap / 14))
        if rng.random() < 0.5:
            ink = cv2.dilate(ink, np.ones((k, k), np.uint8))
        else:
            ink = cv2.erode(ink, np.ones((k, k), np.uint8)) * 0.5 + ink * 0.5
    if "ink" in aug:
        ink = spread_ink(rng, ink, cap)
    if "broken" in aug:
        ink = break_ink(rng, ink, cap)
    bg = background(rng, H, W)
    inkcol = np.array([rng.uniform(0, 90) for _ in range(3)], np.float32)
    if rng.random() < 0.6:
        inkcol[:] = inkcol.mean()
    alpha = rng.uniform(0.7, 1.0)
    img = bg * (1 - ink[..., None] * alpha) + inkcol * ink[..., None] * alpha

    # Crop box around the target line, loose or tight, with perspective.
    loose = 0.9 if harsh else 0.7
    mt = cap * rng.uniform(0.05, loose if rng.random() < 0.4 else 0.45)
    mb = cap * rng.uniform(0.05, loose if rng.random() < 0.4 else 0.45)
    ml = adv * rng.uniform(-0.1, 1.5)
    mr = adv * rng.uniform(-0.1, 1.5)
    if "framing" in aug:
        # Tight (the ink's own box) or loose (up to 1.2 cap heights, the glyphs
        # under half the crop's height) on each side, and one side margin wide.
        mt, mb = (cap * (rng.uniform(0.0, 0.06) if rng.random() < 0.35 else rng.uniform(0.3, 1.2)) for _ in range(2))
        ml, mr = adv * rng.uniform(0.0, 0.4), adv * rng.uniform(0.6, 5.0)
        if rng.random() < 0.5:
            ml, mr = mr, ml
    if len(text) <= 2:
        ml = adv * rng.uniform(0.0, 0.5)
        mr = adv * rng.uniform(0.0, 0.5)
    x1, x2 = x0 - ml, x0 + text_w + mr
    y1, y2 = y_t - mt, y_t + cap + mb
    box = np.array([[x1, y1], [x2, y1], [x2, y2], [x1, y2]], np.float32)
    ow = max(4, int(round(x2 - x1)))
    oh = max(4, int(round(y2 - y1)))
    dst = np.array([[0, 0], [ow, 0], [ow, oh], [0, oh]], np.float32)
    # The glyphs' own box (less a sliver of the outer characters' advance):
    # a loose crop keeps it whole, so harsh lines retry their jitter until it does.
    glyphs = np.array([[[x0 + 0.15 * adv, y_t], [x0 + text_w - 0.15 * adv, y_t],
                        [x0 + text_w - 0.15 * adv, y_t + cap], [x0 + 0.15 * adv, y_t + cap]]], np.float32)
    jit = cap * (0.25 if harsh else 0.06 if "framing" in aug else 0.18)
    whole = (not clipped) if harsh else True if cond is not None else rng.random() < 0.9
    for _ in range(30):
        src = box + np.array([[rng.uniform(-jit, jit), rng.uniform(-jit, jit)] for _ in range(4)], np.float32)
        # Small rotation of the whole box.
        ang = math.radians(rng.uniform(-1.5, 1.5) if rng.random() < 0.8 else rng.uniform(-3, 3))
        c = src.mean(0)
        rot = np.array([[math.cos(ang), -math.sin(ang)], [math.sin(ang), math.cos(ang)]], np.float32)
        src = (src - c) @ rot.T + c
        M = cv2.getPerspectiveTransform(src, dst)
        if not whole:
            break
        g = cv2.perspectiveTransform(glyphs, M)[0]
        if g[:, 0].min() >= 0 and g[:, 0].max() <= ow and g[:, 1].min() >= 0 and g[:, 1].max() <= oh:
            break
        jit *= 0.9
    crop = cv2.warpPerspective(img, M, (ow, oh), flags=cv2.INTER_LINEAR, borderMode=cv2.BORDER_REPLICATE)

    # Uneven light.
    if rng.random() < 0.6:
        yy = np.arange(oh, dtype=np.float32)[:, None]
        xx = np.arange(ow, dtype=np.float32)[None, :]
        cx, cy = rng.uniform(-0.5, 1.5) * ow, rng.uniform(-1, 2) * oh
        rr = np.sqrt((xx - cx) ** 2 + ((yy - cy) * 3) ** 2) / max(ow, 1)
        gain = 1.0 + rng.uniform(-0.45, 0.35) * np.clip(rr, 0, 1.5) + rng.uniform(-0.2, 0.2)
        crop = crop * gain[..., None]
    if rng.random() < 0.15:
        # Specular glare band.
        xx = np.arange(ow, dtype=np.float32)
        cx = rng.uniform(0, ow)
        band = np.exp(-((xx - cx) / (rng.uniform(0.05, 0.3) * ow + 1)) ** 2) * rng.uniform(40, 140)
        crop = crop + band[None, :, None]
    # Blur.
    r = rng.random()
    if r < 0.45:
        s = rng.uniform(0.3, 1.6 if not harsh else 2.0) * max(cap, 12) / 24
        crop = cv2.GaussianBlur(crop, (0, 0), s)
    elif r < 0.6:
        k = rng.randint(2, 5)
        kern = np.zeros((k, k), np.float32)
        if rng.random() < 0.5:
            kern[k // 2, :] = 1.0 / k
        else:
            kern[:, k // 2] = 1.0 / k
        crop = cv2.filter2D(crop, -1, kern)
    # Resolution loss.
    if rng.random() < 0.3:
        f = rng.uniform(0.45, 0.9)
        small = cv2.resize(crop, (max(2, int(ow * f)), max(2, int(oh * f))), interpolation=cv2.INTER_AREA)
        crop = cv2.resize(small, (ow, oh), interpolation=rng.choice([cv2.INTER_LINEAR, cv2.INTER_CUBIC, cv2.INTER_NEAREST]))
    # Noise.
    if rng.random() < 0.7:
        sigma = rng.uniform(1, 14 if not harsh else 18)
        crop = crop + np.random.default_rng(rng.randint(0, 1 << 30)).normal(0, sigma, crop.shape).astype(np.float32)
    # Contrast change.
    if rng.random() < 0.3:
        m = crop.mean()
        crop = (crop - m) * rng.uniform(0.45, 1.1) + m + rng.uniform(-30, 30)
    crop = np.clip(crop, 0, 255).astype(np.uint8)
    if rng.random() < 0.2:
        crop = cv2.cvtColor(cv2.cvtColor(crop, cv2.COLOR_BGR2GRAY), cv2.COLOR_GRAY2BGR)
    if "binary" in aug:
        crop = binarise(rng, crop, cap)
        # In training some binarised lines are rescaled or saved as JPEG afterwards.
        if cond is None and rng.random() < 0.3:
            f = rng.uniform(0.6, 1.5)
            crop = cv2.resize(crop, (max(4, int(ow * f)), max(4, int(oh * f))),
                              interpolation=rng.choice([cv2.INTER_NEAREST, cv2.INTER_AREA, cv2.INTER_LINEAR]))
        if cond is not None or rng.random() < 0.8:
            return crop, text
    if rng.random() < 0.6:
        q = rng.randint(25 if not harsh else 20, 95)
        ok, enc = cv2.imencode(".jpg", crop, [cv2.IMWRITE_JPEG_QUALITY, q])
        if ok:
            crop = cv2.imdecode(enc, cv2.IMREAD_COLOR)
    return crop, text


def prepare(crop):
    """What the library does before a recognition: 3x3 blur, bilinear scaling to height 48."""
    b = cv2.GaussianBlur(crop, (3, 3), 1.0)
    w = int(np.float32(HEIGHT) / np.float32(crop.shape[0]) * np.float32(crop.shape[1]))
    w = max(w, 8)
    return cv2.resize(b, (w, HEIGHT), interpolation=cv2.INTER_LINEAR)


def to_input(img48):
    return (img48.astype(np.float32) - 127.5) / 127.5  # HWC, BGR


# ---------------------------------------------------------------- network
def build_model():
    import torch.nn as nn

    def cbr(cin, cout, k=3, p=1, s=1):
        return [nn.Conv2d(cin, cout, k, s, p, bias=False), nn.BatchNorm2d(cout), nn.ReLU(inplace=True)]

    class MrzNet(nn.Module):
        def __init__(self):
            super().__init__()
            self.body = nn.Sequential(
                # Strided convolutions in place of the first two 2x2 max-pools:
                # full resolution is where a line's time goes. The Identity
                # layers keep the layer numbers of earlier checkpoints.
                *cbr(3, 16, s=2),                    # 24 x W/2
                nn.Identity(),
                *cbr(16, 32, s=2),                   # 12 x W/4
                nn.Identity(),
                *cbr(32, 64),
                nn.MaxPool2d((2, 1), (2, 1)),        # 6
                *cbr(64, 96),
                nn.MaxPool2d((2, 1), (2, 1)),        # 3
                *cbr(96, 128),
                *cbr(128, 160, k=(3, 1), p=0),       # 1
                *cbr(160, 160, k=(1, 5), p=(0, 2)),
                *cbr(160, 160, k=(1, 5), p=(0, 2)),
            )
            self.head = nn.Conv2d(160, NCLASS, 1)

        def forward(self, x):
            return self.head(self.body(x))  # N x K x 1 x T logits

    return MrzNet()


class Exported(object):
    pass


def export_wrapper(model):
    import torch

    class Wrap(torch.nn.Module):
        def __init__(self, m):
            super().__init__()
            self.m = m

        def forward(self, x):
            y = torch.softmax(self.m(x), dim=1)      # over classes
            return y.permute(0, 3, 1, 2)              # 1 x T x K x 1

    return Wrap(model)


# ---------------------------------------------------------------- data
def batch_iter(seed, bs, harsh=False, pool=4):
    # Batches of similar widths waste less compute on padding.
    rng = random.Random(seed)
    while True:
        items = []
        for _ in range(bs * pool):
            crop, text = make_sample(rng, harsh)
            items.append((to_input(prepare(crop)), text))
        items.sort(key=lambda it: it[0].shape[1])
        order = list(range(pool))
        rng.shuffle(order)
        for k in order:
            yield collate(items[k * bs:(k + 1) * bs])


def collate(items):
    import torch
    wmax = max(x.shape[1] for x, _ in items)
    wmax = (wmax + STRIDE - 1) // STRIDE * STRIDE
    xs = np.zeros((len(items), 3, HEIGHT, wmax), np.float32)
    lens, targets, tl = [], [], []
    for i, (x, t) in enumerate(items):
        w = x.shape[1]
        xs[i, :, :, :w] = x.transpose(2, 0, 1)
        if w < wmax:
            xs[i, :, :, w:] = x[:, w - 1:w].transpose(2, 0, 1)  # replicate the last column
        lens.append(w // STRIDE)
        targets.extend(CHAR_TO_CLASS[c] for c in t)
        tl.append(len(t))
    return (torch.from_numpy(xs), torch.tensor(lens, dtype=torch.long), torch.tensor(targets, dtype=torch.long),
            torch.tensor(tl, dtype=torch.long), [t for _, t in items])


class Stream(object):
    """Endless batches from a worker process."""

    def __init__(self, seed, bs, workers=2):
        import torch.utils.data as tud
        import torch

        class DS(tud.IterableDataset):
            def __iter__(self_inner):
                wi = tud.get_worker_info()
                cv2.setNumThreads(1)
                s = seed + (wi.id if wi else 0) * 7919 + int(time.time())
                return batch_iter(s, bs)

        self.loader = iter(tud.DataLoader(DS(), batch_size=None, num_workers=workers, prefetch_factor=3))

    def next(self):
        return next(self.loader)


def greedy(scores_tk):
    """scores T x K -> text by greedy CTC."""
    idx = scores_tk.argmax(1)
    out, last = [], 0
    for i in idx:
        if i != 0 and i != last:
            out.append(ALPHABET[i - 1])
        last = i
    return "".join(out)


def fixed_set(seed, n, harsh, clipped=False, cond=None):
    rng = random.Random(seed)
    return [make_sample(rng, harsh, clipped, cond) for _ in range(n)]


# Seeds of the held-out condition sets of tools/models/report.md; training validates on other seeds.
COND_SEEDS = {c: 20261300 + i for i, c in enumerate(CONDITIONS)}


def evaluate(model, samples):
    import torch
    model.eval()
    ok = 0
    chars = 0
    errs = 0
    with torch.no_grad():
        for crop, text in samples:
            x = torch.from_numpy(to_input(prepare(crop)).transpose(2, 0, 1)[None].copy())
            y = model(x)[0, :, 0, :].numpy().T
            got = greedy(y)
            ok += got == text
            chars += len(text)
            errs += edit_distance(got, text)
    model.train()
    return ok / max(1, len(samples)), 1.0 - errs / max(1, chars)


def edit_distance(a, b):
    prev = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        cur = [i] + [0] * len(b)
        for j, cb in enumerate(b, 1):
            cur[j] = min(prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + (ca != cb))
        prev = cur
    return prev[-1]


# ---------------------------------------------------------------- commands
def cmd_train(args):
    import torch
    global TRAIN_FRAG, TRAIN_RUNS, TRAIN_MIX
    TRAIN_FRAG = args.frag
    TRAIN_RUNS = args.runs
    TRAIN_MIX = not args.no_mix
    torch.set_num_threads(args.threads)
    torch.manual_seed(1)
    os.makedirs(MODELS, exist_ok=True)
    model = build_model()
    opt = torch.optim.AdamW(model.parameters(), lr=args.lr, weight_decay=1e-4)
    # Summed over characters: a whole line weighs as much as its characters,
    # not as much as one fragment.
    ctc = torch.nn.CTCLoss(blank=0, zero_infinity=True, reduction="sum")
    ckpt_path = os.path.join(MODELS, "mrz_ckpt.pt")
    best_path = os.path.join(MODELS, "mrz_best.pt")
    state = {"step": 0, "samples": 0, "seconds": 0.0, "best": -1.0, "history": []}
    if os.path.exists(ckpt_path) and not args.fresh:
        ck = torch.load(ckpt_path)
        model.load_state_dict(ck["model"])
        opt.load_state_dict(ck["opt"])
        state = ck["state"]
        print("resumed at step", state["step"], flush=True)
        if state.get("frag", 0.88) != args.frag or tuple(state.get("data", (1,))) != (DATA_VERSION, args.runs, args.val, TRAIN_MIX):
            # The validation sets follow the fragment share and the data, so earlier bests no longer compare.
            state["best"] = -1.0
            print("fragment share %.2f -> %.2f, data %s -> %s from step %d: best mark reset"
                  % (state.get("frag", 0.88), args.frag, state.get("data", 1), (DATA_VERSION, args.runs, args.val, TRAIN_MIX),
                     state["step"]), flush=True)
    state["frag"] = args.frag
    state["data"] = (DATA_VERSION, args.runs, args.val, TRAIN_MIX)
    nparam = sum(p.numel() for p in model.parameters())
    print("parameters:", nparam, flush=True)
    val = fixed_set(12345, args.val, False)
    val_harsh = fixed_set(54321, args.val, True, clipped=False)
    # The print conditions, a sixth of --val each, on seeds apart from the report's.
    val_cond = [x for i, c in enumerate(CONDITIONS) for x in fixed_set(4242 + i, max(1, args.val // 6), False, cond=c)]
    stream = Stream(args.seed + state["step"], args.batch, args.workers)
    t_start = time.time()
    sec0 = state["seconds"]
    budget = args.minutes * 60.0
    last_ckpt = time.time()
    last_eval = time.time()
    run_loss = None
    while True:
        elapsed = time.time() - t_start
        if elapsed > budget:
            break
        frac = min(1.0, elapsed / budget)
        warm = min(1.0, (state["step"] + 1) / 200.0)
        lr = args.lr * warm * (0.04 + 0.96 * 0.5 * (1 + math.cos(math.pi * frac)))
        for g in opt.param_groups:
            g["lr"] = lr
        x, lens, tg, tl, _ = stream.next()
        logits = model(x)[:, :, 0, :]                    # N K T
        lp = torch.log_softmax(logits, 1).permute(2, 0, 1)  # T N K
        loss = ctc(lp, tg, lens, tl) / float(tl.sum())
        opt.zero_grad()
        loss.backward()
        torch.nn.utils.clip_grad_norm_(model.parameters(), 5.0)
        opt.step()
        state["step"] += 1
        state["samples"] += x.shape[0]
        lv = float(loss)
        run_loss = lv if run_loss is None else 0.98 * run_loss + 0.02 * lv
        if state["step"] % 25 == 0:
            print("step %d samples %d loss %.4f lr %.2e  %.0fs" % (state["step"], state["samples"], run_loss, lr,
                                                               time.time() - t_start), flush=True)
        if time.time() - last_eval > args.eval_every * 60 or time.time() - t_start > budget:
            acc, cacc = evaluate(model, val)
            hacc, hcacc = evaluate(model, val_harsh)
            kacc, kcacc = evaluate(model, val_cond)
            state["seconds"] = sec0 + time.time() - t_start
            state["history"].append({"step": state["step"], "samples": state["samples"],
                                     "minutes": state["seconds"] / 60.0, "loss": run_loss,
                                     "val_line": acc, "val_char": cacc, "harsh_line": hacc, "harsh_char": hcacc,
                                     "cond_line": kacc, "cond_char": kcacc})
            print("EVAL step %d: val line %.4f char %.4f | harsh line %.4f char %.4f | conditions line %.4f char %.4f"
                  % (state["step"], acc, cacc, hacc, hcacc, kacc, kcacc), flush=True)
            if acc + hacc + kacc > state["best"]:
                state["best"] = acc + hacc + kacc
                torch.save({"model": model.state_dict(), "state": state}, best_path + ".tmp")
                os.replace(best_path + ".tmp", best_path)
            last_eval = time.time()
        if time.time() - last_ckpt > args.ckpt_every * 60:
            state["seconds"] = sec0 + time.time() - t_start
            torch.save({"model": model.state_dict(), "opt": opt.state_dict(), "state": state}, ckpt_path + ".tmp")
            os.replace(ckpt_path + ".tmp", ckpt_path)
            last_ckpt = time.time()
    state["seconds"] = sec0 + time.time() - t_start
    torch.save({"model": model.state_dict(), "opt": opt.state_dict(), "state": state}, ckpt_path + ".tmp")
    os.replace(ckpt_path + ".tmp", ckpt_path)
    acc, cacc = evaluate(model, val)
    hacc, hcacc = evaluate(model, val_harsh)
    kacc, kcacc = evaluate(model, val_cond)
    print("FINAL: val line %.4f char %.4f | harsh line %.4f char %.4f | conditions line %.4f char %.4f"
          % (acc, cacc, hacc, hcacc, kacc, kcacc), flush=True)
    if acc + hacc + kacc > state["best"]:
        state["best"] = acc + hacc + kacc
        torch.save({"model": model.state_dict(), "state": state}, best_path)


def load_best(path=None):
    import torch
    model = build_model()
    p = path or os.path.join(MODELS, "mrz_best.pt")
    if not os.path.exists(p):
        p = os.path.join(MODELS, "mrz_ckpt.pt")
    ck = torch.load(p)
    model.load_state_dict(ck["model"])
    model.eval()
    return model, ck["state"]


def cmd_export(args):
    import torch
    torch.set_num_threads(args.threads)
    model, state = load_best(args.ckpt)
    wrap = export_wrapper(model).eval()
    out = args.out or os.path.join(MODELS, "ocrv3_mrz.onnx")
    x = torch.zeros(1, 3, HEIGHT, 320)
    torch.onnx.export(wrap, x, out, opset_version=11, input_names=["x"], output_names=["scores"],
                      dynamic_axes={"x": {3: "W"}, "scores": {1: "T"}}, do_constant_folding=True)
    drop_identities(out)
    # Same numbers in OpenCV at several widths, one re-used net.
    net = cv2.dnn.readNetFromONNX(out)
    worst = 0.0
    rng = np.random.default_rng(3)
    for w in (320, 800, 96, 1600, 1152, 8, 320):
        xin = rng.uniform(-1, 1, (1, 3, HEIGHT, w)).astype(np.float32)
        net.setInput(xin)
        got = net.forward()
        with torch.no_grad():
            ref = wrap(torch.from_numpy(xin)).numpy()
        if got.shape != ref.shape:
            print("shape mismatch at width", w, got.shape, ref.shape)
            sys.exit(1)
        worst = max(worst, float(np.abs(got - ref).max()))
    print("exported %s, OpenCV vs torch max |diff| %.2e" % (out, worst))
    if worst > 1e-4:
        sys.exit(1)
    if args.out is None:
        write_report(model, state, os.path.join(MODELS, "mrz_training_report.md"), worst)


def write_report(model, state, path, worst):
    nparam = sum(p.numel() for p in model.parameters())
    L = ["# MRZ recogniser: training report", "",
         "Model `tools/models/ocrv3_mrz.onnx` (packed by `tools/build_models.sh` as \"ocrv3_mrz.p\", version 3.20,",
         "dictionary \"ocrv3_mrz.txt\": '0'-'9', '<', 'A'-'Z'), made by `tools/train_mrz.py`.", "",
         "## Network", "",
         "Conv-only CTC recogniser, %d parameters: five 3x3 Conv-BN-ReLU blocks, the first two with stride 2," % nparam,
         "the next two followed by (2,1) pooling (48xW to 3 x W/4),",
         "a (3,1) convolution to height 1, two (1,5) convolutions as sequence context, a 1x1 classifier over 38",
         "classes (0 = blank). The export adds a softmax and a transpose: input `x` 1x3x48xW (BGR,",
         "(v - 127.5) / 127.5), output 1x(W/4)x38x1. ONNX opset 11, dynamic width, only Conv, Relu, MaxPool,",
         "Transpose and Softmax; OpenCV 4.6 runs it with no graph edits (max |diff| against PyTorch %.1e," % worst,
         "one re-used net, widths 8 to 1600).", "",
         "## Data (generated on the fly)", "",
         "- Text: TD1/TD2/TD3-like lines with random names, numbers and '<' fillers, random MRZ strings, and",
         "  fragments (items and single characters, which the reader re-reads on their own); from step 4664 also",
         "  12 % lines with long '<' runs (1-4 characters, 8-32 fillers, a few characters).",
         "- OCR-B (fonts-ocr-b `OCRB.otf`), cap height 9-42 px (more of them at 9-18 px from step 7032),",
         "  character pitch 0.92-1.12 of the font's, small",
         "  per-glyph jitter, thin/bold strokes.",
         "- Background: paper tint, colour gradients, guilloche curves, fine hatching, blotches.",
         "- Neighbouring MRZ or printed lines above and below at 1.45-2.3 cap heights; loose crops (margins up to",
         "  0.7 cap height) catch part of them; horizontal margins up to 1.5 characters; corner jitter of 0.18",
         "  cap height, which in a tenth of the crops (a fifth before step 11395) may cut into the glyphs.",
         "- Perspective corner jitter, rotation up to 3 degrees, uneven light, glare bands, Gaussian and motion",
         "  blur, resolution loss, noise, contrast change, grey conversion, JPEG quality 25-95.",
         "- From step 29530, print conditions drawn independently per training line (`MIX`): binarised (30 %;",
         "  Otsu, Otsu shifted by up to 25 levels, adaptive mean or Gaussian with blocks of 0.7-3 cap heights,",
         "  half blurred first; some then rescaled or saved as JPEG), framing (30 %; top and bottom margins tight,",
         "  0-0.06 cap, or loose, 0.3-1.2 cap, mostly without neighbouring lines; one side margin 0.6-5",
         "  characters), small glyphs (15 %; 10-17 px), ink spread or erosion (25 %; the coverage blurred and",
         "  re-thresholded, sometimes spread along the grain), dot-like or broken strokes (12 %; dot grids, holes",
         "  from smoothed noise, white scan lines), field-structured lines (45 %; TD3, TD2, MRV-A/B, the 2 x 30",
         "  permit back and the 3 x 30 card with real dates, check digits and document numbers that mix 0/O, 1/I).",
         "- Then the library's own preparation: 3x3 Gaussian blur (sigma 1), bilinear scaling to height 48.", "",
         "## Training", "",
         "CTC loss, AdamW (weight decay 1e-4, warm-up, cosine decay over each run), batches of 32 lines of",
         "similar width, `torch.set_num_threads(3)` on a machine shared with other builds and training jobs.",
         "First run: lr 2e-3, 88 % fragments (steps 0-1819). Second run, resumed from its checkpoint: lr 8e-4 and",
         "50 % fragments, so that whole lines (and their long '<' runs) are seen more often; the training-like",
         "validation set follows the fragment share, so its figures change meaning at step 1819. Third run, from",
         "step 4664: 6 threads on a quiet machine, lr 5e-4, the long-run lines above, and the CTC loss summed over",
         "characters (was averaged per line, which made a character of a whole line weigh less than one of a",
         "fragment); the harsh validation set grew to 240 lines, so figures change meaning again at step 4664.",
         "Fourth run, from step 7032: lr 3.5e-4, a quarter of the lines with 9-18 px glyphs, and 80 % of the",
         "training crops keep their glyphs whole (the rest may still cut into them); the harsh validation set is",
         "now the whole-glyph one, as held out in `tools/models/report.md`. Fifth run, from step 11395: lr 2.5e-4",
         "for 120 minutes, and 90 % of the training crops keep their glyphs whole (the training-like validation",
         "set follows that share, so its figures change meaning at step 11395). Sixth run, from step 17724: the",
         "2x2 max-pools after the first two blocks became stride-2 convolutions of the same weights, which saves",
         "a quarter of the time of a line; 110 minutes at lr 4e-4, 3 threads and one data worker, to recover and go",
         "beyond (the harsh validation set fell to 0.858 and was back at 0.954 after 100 minutes). Seventh run,",
         "from step 29530: the print conditions above, lr 3e-4, 2 threads and 2 data workers for 85 minutes (after",
         "a 20-minute start with 3 threads that a load of 30-40 on 8 cores held to 44 steps), on a machine shared",
         "with other builds; the training-like validation set now carries the conditions too, and a third set of",
         "240 print-condition lines joins the validation (best = sum of the three). Its best checkpoint (step",
         "32085) read 0.966 exact on the 1000 held-out harsh lines against 0.975, so it was not released: the",
         "exported weights are still the sixth run's best (step 28414); the checkpoint carries the seventh run.", ""]
    L.append("Training so far: %d steps, %d lines, %.0f minutes of CPU training. Resume with"
             " `tools/train_mrz.py train --minutes N` (it continues from `tools/models/mrz_ckpt.pt`)."
             % (state.get("step", 0), state.get("samples", 0), state.get("seconds", 0) / 60.0))
    L.append("")
    L.append("Validation during training (fixed synthetic sets: 240 training-like lines, 120 harsh lines; 240 from step 4664;"
             " from step 29530 also 240 print-condition lines, 40 of each condition):")
    L.append("")
    L.append("| step | lines seen | minutes | loss | val exact line | val char | harsh exact line | harsh char |"
             " conditions exact line | conditions char |")
    L.append("|---|---|---|---|---|---|---|---|---|---|")
    for h in state.get("history", []):
        L.append("| %d | %d | %.0f | %.3f | %.3f | %.3f | %.3f | %.3f | %s | %s |" % (
            h["step"], h["samples"], h["minutes"], h["loss"] or 0, h["val_line"], h["val_char"], h["harsh_line"],
            h["harsh_char"], "%.3f" % h["cond_line"] if "cond_line" in h else "",
            "%.3f" % h["cond_char"] if "cond_char" in h else ""))
    L.append("")
    L.append("Figures on 1000 held-out harsh lines: see `tools/models/report.md` (`tools/measure_models.py`).")
    with open(path, "w") as f:
        f.write("\n".join(L) + "\n")


def drop_identities(path):
    """The exporter shares equal constants through Identity nodes, which OpenCV
    4.6 cannot import; give each consumer its own initializer instead."""
    import onnx
    from onnx import numpy_helper
    m = onnx.load(path)
    g = m.graph
    inits = {i.name: i for i in g.initializer}
    keep = []
    for n in g.node:
        if n.op_type == "Identity" and n.input[0] in inits:
            t = numpy_helper.from_array(numpy_helper.to_array(inits[n.input[0]]).copy(), n.output[0])
            g.initializer.append(t)
        else:
            keep.append(n)
    del g.node[:]
    g.node.extend(keep)
    used = {i for n in g.node for i in n.input}
    live = [i for i in g.initializer if i.name in used]
    del g.initializer[:]
    g.initializer.extend(live)
    onnx.save(m, path)


def cmd_eval(args):
    import torch
    torch.set_num_threads(args.threads)
    model, state = load_best(args.ckpt)
    samples = fixed_set(args.seed, args.count, args.harsh, args.clipped)
    acc, cacc = evaluate(model, samples)
    print("lines %d harsh %s clipped %s: exact line %.4f, char %.4f" % (args.count, args.harsh, args.clipped, acc, cacc))


def main():
    ap = argparse.ArgumentParser()
    sub = ap.add_subparsers(dest="cmd", required=True)
    t = sub.add_parser("train")
    t.add_argument("--minutes", type=float, default=60)
    t.add_argument("--threads", type=int, default=6)
    t.add_argument("--workers", type=int, default=2)
    t.add_argument("--batch", type=int, default=32)
    t.add_argument("--lr", type=float, default=2e-3)
    t.add_argument("--seed", type=int, default=7)
    t.add_argument("--val", type=int, default=240)
    t.add_argument("--eval-every", type=float, default=8)
    t.add_argument("--ckpt-every", type=float, default=3)
    t.add_argument("--fresh", action="store_true")
    t.add_argument("--frag", type=float, default=0.5)
    t.add_argument("--runs", type=float, default=0.12)
    t.add_argument("--no-mix", action="store_true", help="train without the print conditions (binarised, framing, ...)")
    e = sub.add_parser("export")
    e.add_argument("--threads", type=int, default=3)
    e.add_argument("--ckpt", default=None)
    e.add_argument("--out", default=None)
    v = sub.add_parser("eval")
    v.add_argument("--threads", type=int, default=3)
    v.add_argument("--ckpt", default=None)
    v.add_argument("--count", type=int, default=1000)
    v.add_argument("--seed", type=int, default=999)
    v.add_argument("--harsh", action="store_true")
    v.add_argument("--clipped", action="store_true", help="harsh lines whose crops may cut into the glyphs")
    args = ap.parse_args()
    {"train": cmd_train, "export": cmd_export, "eval": cmd_eval}[args.cmd](args)


if __name__ == "__main__":
    main()
