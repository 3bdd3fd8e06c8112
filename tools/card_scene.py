"""Drawing of ID-1 card scenes, shared by the card detector's training
(train_card.py) and the permit card scene renderer (render_cards.py):
card textures with guilloche, photo, text and OCR-B lines, cluttered
backgrounds, card-like distractors, perspective pasting with a rounded card
mask, and the photometric degradations of a camera frame.

Every function draws from the numpy Generator it is given, in a fixed order,
so a seed gives the same picture whoever calls it.
"""
import math

import numpy as np
import cv2
from PIL import Image, ImageDraw, ImageFont

OCRB = "/usr/share/fonts/opentype/ocr-b/OCRB.otf"
DEJAVU = "/usr/share/fonts/truetype/dejavu/"
SANS_FONTS = ["DejaVuSans.ttf", "DejaVuSans-Bold.ttf", "DejaVuSerif.ttf", "DejaVuSansCondensed.ttf",
              "DejaVuSerif-Bold.ttf", "DejaVuSansCondensed-Bold.ttf"]
TEX_W, TEX_H = 428, 270  # ID-1 at 5 px/mm
ASPECT = 85.6 / 54.0

_fonts = {}


def font(path, size):
    key = (path, size)
    f = _fonts.get(key)
    if f is None:
        f = ImageFont.truetype(path, size)
        _fonts[key] = f
    return f


# ---------------------------------------------------------------- card texture
def rand_colour(rng, lo=0, hi=255):
    return tuple(int(v) for v in rng.integers(lo, hi + 1, 3))


def gradient(rng, w, h, c0, c1):
    ang = rng.uniform(0, 2 * math.pi)
    xs, ys = np.meshgrid(np.linspace(-1, 1, w, dtype=np.float32), np.linspace(-1, 1, h, dtype=np.float32))
    t = (xs * math.cos(ang) + ys * math.sin(ang)) * 0.5 + 0.5
    t = np.clip(t, 0, 1)[..., None]
    return (np.array(c0, np.float32) * (1 - t) + np.array(c1, np.float32) * t)


def guilloche(rng, img):
    h, w = img.shape[:2]
    for _ in range(rng.integers(1, 4)):
        col = rand_colour(rng, 60, 230)
        n = int(rng.integers(6, 24))
        amp = rng.uniform(3, 25)
        per = rng.uniform(20, 120)
        ph = rng.uniform(0, 6.28)
        vertical = rng.random() < 0.3
        xs = np.arange(0, w if not vertical else h, 3, dtype=np.float32)
        for k in range(n):
            off = (k + 0.5) * (h if not vertical else w) / n
            ys = off + amp * np.sin(xs / per * 6.283 + ph + k * 0.4) + amp * 0.4 * np.cos(xs / per * 2.1 + k)
            pts = np.stack([xs, ys], 1) if not vertical else np.stack([ys, xs], 1)
            cv2.polylines(img, [np.round(pts * 4).astype(np.int32)], False, col, 1, cv2.LINE_AA, shift=2)
    if rng.random() < 0.5:
        cx, cy = rng.uniform(0.2, 0.8) * w, rng.uniform(0.2, 0.8) * h
        col = rand_colour(rng, 80, 230)
        for k in range(int(rng.integers(8, 30))):
            ang = k * 180.0 / 30
            cv2.ellipse(img, (int(cx), int(cy)), (int(rng.uniform(20, 90)), int(rng.uniform(8, 40))), ang, 0, 360,
                        col, 1, cv2.LINE_AA)


def random_text(rng, n):
    a = "ABCDEFGHIJKLMNOPQRSTUVWXYZ      0123456789abcdefghijklmnopqrstuvwxyz/.-"
    return "".join(a[i] for i in rng.integers(0, len(a), n)).strip() or "ID"


def mrz_text(rng, n):
    a = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789<<<<<<<<<<"
    return "".join(a[i] for i in rng.integers(0, len(a), n))


def card_texture(rng, front):
    """One card (BGR uint8, TEX_H x TEX_W)."""
    c0 = rand_colour(rng)
    c1 = rand_colour(rng)
    if rng.random() < 0.5:  # pale
        c0 = tuple(int(200 + v * 55 / 255) for v in c0)
        c1 = tuple(int(170 + v * 85 / 255) for v in c1)
    img = gradient(rng, TEX_W, TEX_H, c0, c1).astype(np.uint8)
    guilloche(rng, img)
    if rng.random() < 0.4:  # coloured header band
        bh = int(rng.integers(20, 60))
        band = np.array(rand_colour(rng), np.float32)
        a = rng.uniform(0.4, 1.0)
        img[:bh] = (img[:bh] * (1 - a) + band * a).astype(np.uint8)
    pil = Image.fromarray(img)
    d = ImageDraw.Draw(pil)
    dark = rng.random() < 0.85
    tcol = rand_colour(rng, 0, 90) if dark else rand_colour(rng, 170, 255)
    photo_x = None
    if front:
        pw, ph = int(rng.integers(95, 130)), int(rng.integers(120, 160))
        left = rng.random() < 0.8
        px = int(rng.integers(12, 30)) if left else TEX_W - pw - int(rng.integers(12, 30))
        py = int(rng.integers(40, max(41, TEX_H - ph - 60)))
        d.rectangle([px, py, px + pw, py + ph], fill=rand_colour(rng, 120, 255))
        skin = (int(rng.integers(120, 230)), int(rng.integers(90, 190)), int(rng.integers(60, 160)))
        hx, hy = px + pw // 2, py + ph * 0.42
        d.ellipse([hx - pw * 0.26, hy - ph * 0.26, hx + pw * 0.26, hy + ph * 0.24], fill=skin)
        d.ellipse([hx - pw * 0.28, hy - ph * 0.32, hx + pw * 0.28, hy - ph * 0.08], fill=rand_colour(rng, 0, 120))
        d.rectangle([px + pw * 0.1, py + ph * 0.72, px + pw * 0.9, py + ph], fill=rand_colour(rng, 0, 200))
        photo_x = (px, px + pw)
    # text lines
    x0 = 150 if (photo_x and photo_x[0] < TEX_W / 2) else 18
    x1 = photo_x[0] - 10 if (photo_x and photo_x[0] > TEX_W / 2) else TEX_W - 15
    n_mrz = int(rng.choice([0, 2, 3], p=[0.25, 0.35, 0.40]))
    mrz_h = 0
    if n_mrz:
        size = int(rng.integers(15, 19))
        lh = int(size * 1.15)
        mrz_h = lh * n_mrz + 10
    y = int(rng.integers(8, 30))
    for _ in range(int(rng.integers(2, 8))):
        size = int(rng.integers(10, 22))
        if y + size > TEX_H - mrz_h - 4:
            break
        f = font(DEJAVU + SANS_FONTS[int(rng.integers(0, len(SANS_FONTS)))], size)
        d.text((x0 + int(rng.integers(0, 20)), y), random_text(rng, int(rng.integers(4, 26))), fill=tcol, font=f)
        y += int(size * rng.uniform(1.2, 2.0))
    if not front and rng.random() < 0.5:  # barcode-like block on backs
        bx, by = int(rng.integers(20, 200)), int(rng.integers(20, 90))
        for k in range(int(rng.integers(30, 80))):
            xx = bx + k * 3
            if rng.random() < 0.5:
                d.rectangle([xx, by, xx + 1, by + 40], fill=(20, 20, 20))
    if n_mrz:
        size = int(rng.integers(15, 19))
        f = font(OCRB, size)
        n_chars = 30 if n_mrz == 3 else 36
        lh = int(size * 1.15)
        yy = TEX_H - 10 - lh * n_mrz
        if rng.random() < 0.3:
            d.rectangle([0, yy - 6, TEX_W, TEX_H], fill=rand_colour(rng, 200, 255))
        for k in range(n_mrz):
            d.text((int(rng.integers(8, 20)), yy + k * lh), mrz_text(rng, n_chars), fill=(10, 10, 10), font=f)
    img = np.asarray(pil).copy()
    if rng.random() < 0.3:  # thin printed border
        m = int(rng.integers(3, 10))
        cv2.rectangle(img, (m, m), (TEX_W - 1 - m, TEX_H - 1 - m), rand_colour(rng, 0, 200), 1, cv2.LINE_AA)
    return img


def rounded_mask(w, h, radius):
    m = np.zeros((h, w), np.uint8)
    r = int(radius)
    cv2.rectangle(m, (r, 0), (w - 1 - r, h - 1), 255, -1)
    cv2.rectangle(m, (0, r), (w - 1, h - 1 - r), 255, -1)
    for cx, cy in ((r, r), (w - 1 - r, r), (r, h - 1 - r), (w - 1 - r, h - 1 - r)):
        cv2.circle(m, (cx, cy), r, 255, -1, cv2.LINE_AA)
    return m


# ---------------------------------------------------------------- background
def background(rng, w, h):
    img = gradient(rng, w, h, rand_colour(rng), rand_colour(rng))
    kind = rng.random()
    if kind < 0.3:  # clutter: rectangles, lines, blobs
        for _ in range(int(rng.integers(3, 20))):
            x, y = rng.integers(-50, w), rng.integers(-50, h)
            ww, hh = rng.integers(10, 200), rng.integers(10, 150)
            th = -1 if rng.random() < 0.6 else int(rng.integers(1, 4))
            cv2.rectangle(img, (int(x), int(y)), (int(x + ww), int(y + hh)), rand_colour(rng), th)
        for _ in range(int(rng.integers(0, 10))):
            cv2.line(img, tuple(int(v) for v in rng.integers(0, w, 2)), tuple(int(v) for v in rng.integers(0, h, 2)),
                     rand_colour(rng), int(rng.integers(1, 4)), cv2.LINE_AA)
    elif kind < 0.5:  # stripes / wood-like grain
        xs, ys = np.meshgrid(np.arange(w, dtype=np.float32), np.arange(h, dtype=np.float32))
        ang = rng.uniform(0, math.pi)
        f = rng.uniform(0.02, 0.3)
        v = np.sin((xs * math.cos(ang) + ys * math.sin(ang)) * f + 3 * np.sin(ys * 0.01 * rng.uniform(0.5, 3)))
        img += (v[..., None] * rng.uniform(10, 50) * np.array(rand_colour(rng), np.float32) / 255)
    elif kind < 0.65:  # text page under the card
        pil = Image.fromarray(np.clip(img, 0, 255).astype(np.uint8))
        d = ImageDraw.Draw(pil)
        col = rand_colour(rng, 0, 100)
        f = font(DEJAVU + "DejaVuSans.ttf", int(rng.integers(8, 14)))
        for yy in range(int(rng.integers(-5, 10)), h, int(rng.integers(12, 20))):
            d.text((int(rng.integers(-20, 20)), yy), random_text(rng, 80), fill=col, font=f)
        img = np.asarray(pil).astype(np.float32)
    # smooth low-frequency noise
    lo = rng.normal(0, rng.uniform(3, 20), (4, 5, 3)).astype(np.float32)
    img += cv2.resize(lo, (w, h), interpolation=cv2.INTER_CUBIC)
    return np.clip(img, 0, 255).astype(np.uint8)


def drop_shadow(rng, img, quad, offset_sigma, blur, depth):
    """Darkens img (in place) under the quadrilateral quad moved by a random
    offset, blurred by a sigma drawn from blur and as deep as a share drawn
    from depth."""
    h, w = img.shape[:2]
    sh = np.zeros((h, w), np.float32)
    off = rng.normal(0, offset_sigma, 2)
    cv2.fillConvexPoly(sh, np.round((quad + off) * 4).astype(np.int32), 1.0, cv2.LINE_AA, shift=2)
    sh = cv2.GaussianBlur(sh, (0, 0), rng.uniform(*blur))
    img[:] = (img * (1 - sh[..., None] * rng.uniform(*depth))).astype(np.uint8)


def paste(dst, src, mask, M):
    """Warps src with mask by homography M onto dst (in place)."""
    h, w = dst.shape[:2]
    warped = cv2.warpPerspective(src, M, (w, h), flags=cv2.INTER_LINEAR, borderMode=cv2.BORDER_CONSTANT)
    a = cv2.warpPerspective(mask, M, (w, h), flags=cv2.INTER_LINEAR, borderMode=cv2.BORDER_CONSTANT)
    a = (a.astype(np.float32) / 255.0)[..., None]
    dst[:] = (dst * (1 - a) + warped * a).astype(np.uint8)
    return a[..., 0]


def distractor(rng, img, card_quad):
    """A card-like or paper-like object that is not a card of the right kind."""
    h, w = img.shape[:2]
    kind = rng.random()
    if kind < 0.4:  # paper sheet partly out of frame
        sw, sh = rng.uniform(200, 500), rng.uniform(250, 600)
    elif kind < 0.7:  # small card-like object (e.g. a coin card, ticket)
        sw = rng.uniform(40, 110)
        sh = sw / rng.uniform(1.2, 2.5)
    else:  # card partly out of frame
        sw = rng.uniform(180, 300)
        sh = sw / ASPECT
    tex = card_texture(rng, rng.random() < 0.5) if kind >= 0.4 else np.full((TEX_H, TEX_W, 3), rand_colour(rng, 150, 255), np.uint8)
    ang = rng.uniform(-1, 1) * math.pi
    c, s = math.cos(ang), math.sin(ang)
    base = np.array([[-sw / 2, -sh / 2], [sw / 2, -sh / 2], [sw / 2, sh / 2], [-sw / 2, sh / 2]], np.float32)
    rot = base @ np.array([[c, s], [-s, c]], np.float32)
    if kind >= 0.7 or kind < 0.4:
        # centre near an edge so that it is cut by the frame
        edge = rng.integers(0, 4)
        cx = [rng.uniform(-0.1, 0.05) * w, rng.uniform(0.95, 1.1) * w, rng.uniform(0, w), rng.uniform(0, w)][edge]
        cy = [rng.uniform(0, h), rng.uniform(0, h), rng.uniform(-0.1, 0.05) * h, rng.uniform(0.95, 1.1) * h][edge]
    else:
        cx, cy = rng.uniform(0, w), rng.uniform(0, h)
    quad = rot + np.array([cx, cy], np.float32)
    src = np.array([[0, 0], [TEX_W - 1, 0], [TEX_W - 1, TEX_H - 1], [0, TEX_H - 1]], np.float32)
    M = cv2.getPerspectiveTransform(src, quad.astype(np.float32))
    paste(img, tex, np.full((TEX_H, TEX_W), 255, np.uint8), M)


def order_corners(q):
    """TL, TR, BR, BL by angle around the centroid (image geometry, not the card's own)."""
    c = q.mean(0)
    ang = np.arctan2(q[:, 1] - c[1], q[:, 0] - c[0])
    return q[np.argsort(ang)]


def photometrics(rng, img):
    """Light ramp, colour cast, glare, blur, noise and JPEG, in that order."""
    H, W = img.shape[:2]
    f = img.astype(np.float32)
    xs, ys = np.meshgrid(np.linspace(-1, 1, W, dtype=np.float32), np.linspace(-1, 1, H, dtype=np.float32))
    ramp = 1 + rng.uniform(-0.35, 0.35) * xs + rng.uniform(-0.35, 0.35) * ys
    f *= (ramp * rng.uniform(0.6, 1.3))[..., None]
    f *= np.array(rng.uniform(0.85, 1.15, 3), np.float32)  # colour cast
    if rng.random() < 0.3:  # glare
        gx, gy = rng.uniform(0, W), rng.uniform(0, H)
        sg = rng.uniform(15, 80)
        f += (np.exp(-((xs * W / 2 + W / 2 - gx) ** 2 + (ys * H / 2 + H / 2 - gy) ** 2) / (2 * sg * sg))
              * rng.uniform(60, 200))[..., None]
    f = np.clip(f, 0, 255)
    if rng.random() < 0.5:
        f = cv2.GaussianBlur(f, (0, 0), rng.uniform(0.3, 1.6))
    f += rng.normal(0, rng.uniform(0, 8), f.shape).astype(np.float32)
    img = np.clip(f, 0, 255).astype(np.uint8)
    if rng.random() < 0.3:
        ok, buf = cv2.imencode(".jpg", img, [cv2.IMWRITE_JPEG_QUALITY, int(rng.integers(40, 91))])
        img = cv2.imdecode(buf, cv2.IMREAD_COLOR)
    return img
