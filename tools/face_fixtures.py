#!/usr/bin/python3
"""Renders the real-face fixtures of tests/data/real_face from photographs that
Debian's python3-skimage 0.19.3 ships (skimage.data: "astronaut", Eileen
Collins, NASA, public domain; "camera", CC0 by the photographer Lav Varshney):

- photo_astronaut.jpg, photo_camera.jpg: the photographs at 256 x 256;
- page.jpg: an 800 x 560 passport data page (OCR-B fields and MRZ) with the
  astronaut's head and shoulders in the photo box;
- card.jpg: a 400 x 252 permit card with the same photo on its left part;
- faces.txt: where the face lies in each fixture, as the standard BlazeFace
  decoding of the original network puts it ("name x y w h"), so the tests
  compare the library's boxes with an independent answer.

  face_fixtures.py BLAZEFACE.json [OUTDIR]

Run by hand when the fixtures change; the outputs are committed.
"""
import os
import sys

import cv2
import numpy as np
from PIL import Image, ImageDraw, ImageFont

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import face_common as fc  # noqa: E402

FONT = "/usr/share/fonts/opentype/ocr-b/OCRB.otf"
MRZ = ["P<UTOERIKSSON<<ANNA<MARIA<<<<<<<<<<<<<<<<<<<",
       "L898902C36UTO7408122F1204159ZE184226B<<<<<10"]
PAGE_PHOTO = (30, 60, 210, 300)    # x0, y0, x1, y1 of the page's photo box
CARD_PHOTO = (22, 50, 142, 210)    # the card's photo box


def photos():
    import skimage.data as data
    astro = cv2.cvtColor(data.astronaut(), cv2.COLOR_RGB2BGR)
    camera = cv2.cvtColor(data.camera(), cv2.COLOR_GRAY2BGR)
    return astro, camera


def head_and_shoulders(astro):
    # 3:4 portrait around the astronaut's face
    return astro[20:300, 121:331]


def put_photo(img, box, photo):
    x0, y0, x1, y1 = box
    img[y0:y1, x0:x1] = cv2.resize(photo, (x1 - x0, y1 - y0), interpolation=cv2.INTER_AREA)


def render_page(astro):
    w, h = 800, 560
    pil = Image.new("RGB", (w, h), (236, 232, 222))
    d = ImageDraw.Draw(pil)
    label = ImageFont.truetype(FONT, 15)
    for i, t in enumerate(["PASSPORT  P  UTO", "ERIKSSON", "ANNA MARIA", "UTOPIAN",
                           "12 AUG 74   F", "15 APR 12", "L898902C3"]):
        d.text((240, 65 + i * 34), t, fill=(40, 40, 60), font=label)
    mrz = ImageFont.truetype(FONT, 22)
    for i, line in enumerate(MRZ):
        d.text((35, 440 + i * 45), line, fill=(20, 20, 20), font=mrz)
    page = cv2.cvtColor(np.array(pil), cv2.COLOR_RGB2BGR)
    put_photo(page, PAGE_PHOTO, head_and_shoulders(astro))
    return page


def render_card(astro):
    w, h = 400, 252
    pil = Image.new("RGB", (w, h), (214, 226, 236))
    d = ImageDraw.Draw(pil)
    label = ImageFont.truetype(FONT, 14)
    for i, t in enumerate(["RESIDENCE PERMIT", "ERIKSSON", "ANNA MARIA", "UTO  F", "15 APR 32"]):
        d.text((165, 40 + i * 30), t, fill=(30, 30, 50), font=label)
    card = cv2.cvtColor(np.array(pil), cv2.COLOR_RGB2BGR)
    put_photo(card, CARD_PHOTO, head_and_shoulders(astro))
    return card


def reference_face(bgr, json_path):
    """The best face of the standard BlazeFace decoding of the original
    network on the letterboxed image, in pixels of bgr: (x, y, w, h)."""
    nodes, weights, outputs = fc.read_tfjs(json_path)
    ref = fc.TfjsReference(nodes, weights, outputs)
    sq, left, top, s = fc.letterbox(bgr)
    raw = ref.run(fc.reference_input(cv2.cvtColor(sq, cv2.COLOR_BGR2RGB)))
    faces = fc.blazeface_decode(np.concatenate([raw[0].reshape(-1), raw[1].reshape(-1)]),
                                np.concatenate([raw[2].reshape(-1, 16), raw[3].reshape(-1, 16)]), 0.5)
    if not faces:
        raise SystemExit("no reference face")
    b = max(faces, key=lambda f: f["score"])["box"]
    x1, y1 = (b[0] - left) / s, (b[1] - top) / s
    return int(round(x1)), int(round(y1)), int(round((b[2] - b[0]) / s)), int(round((b[3] - b[1]) / s))


def main():
    json_path = sys.argv[1]
    out = sys.argv[2] if len(sys.argv) > 2 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "tests", "data", "real_face")
    os.makedirs(out, exist_ok=True)
    astro, camera = photos()
    fixtures = {
        "photo_astronaut.jpg": cv2.resize(astro, (256, 256), interpolation=cv2.INTER_AREA),
        "photo_camera.jpg": cv2.resize(camera, (256, 256), interpolation=cv2.INTER_AREA),
        "page.jpg": render_page(astro),
        "card.jpg": render_card(astro),
    }
    lines = []
    for name, img in fixtures.items():
        cv2.imwrite(os.path.join(out, name), img, [cv2.IMWRITE_JPEG_QUALITY, 90])
        back = cv2.imread(os.path.join(out, name), cv2.IMREAD_COLOR)
        if name == "page.jpg":
            # the face where the library searches it: the region of the page's left part
            ry = int(0.15 * back.shape[0])
            rw = int(0.4 * back.shape[1]) // 2 * 2
            rh = int(0.65 * back.shape[0]) // 3 * 3
            x, y, w, h = reference_face(back[ry:ry + rh, 0:rw], json_path)
            y += ry
        elif name == "card.jpg":
            x0, y0, x1, y1 = CARD_PHOTO
            x, y, w, h = reference_face(back[y0:y1, x0:x1], json_path)
            x, y = x + x0, y + y0
        else:
            x, y, w, h = reference_face(back, json_path)
        lines.append("%s %d %d %d %d" % (name, x, y, w, h))
        print(lines[-1])
    with open(os.path.join(out, "faces.txt"), "w") as f:
        f.write("# fixture x y w h: the face by the standard BlazeFace decoding (tools/face_fixtures.py)\n")
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
