#!/usr/bin/python3
"""Measures the face detector on real photographs and on images without faces,
and writes tools/models/face_report.md.

  eval_face.py BLAZEFACE.json [--out REPORT.md] [--bench BENCH_BINARY]

The detector is run as the library runs it: the image letterboxed into the
128 input, the ONNX body run by OpenCV 4.6 dnn (2 threads), the four maps
decoded by the library's rule (face_common.centerface_decode) and mapped back
to the image. Both heat thresholds of tools/convert_face.py (--threshold 0.5
and 0.65) are measured from bodies built in memory by the same code.

Data (Debian python3-skimage 0.19.3, skimage.data; the report needs it, the
build and the tests do not):
- lfw_subset: 100 face crops and 100 non-face crops of 25 x 25 pixels from
  Labeled Faces in the Wild. Each face crop is the face region, so it serves
  as the true box. Three placements: 64 px centred in a black 128 frame;
  the face at passport-photo size (about 36 px of the 128 frame) inside a
  portrait pasted in a passport page's photo box, searched the way
  getPassportFaceImage searches; and 32 px on a grey card.
- astronaut, camera: a face each; the true box is the standard BlazeFace
  decoding of the original network (independent interpreter).
- non-face photographs of skimage.data (coffee, chelsea (a cat), rocket,
  coins, brick, grass, gravel, horse, moon, hubble_deep_field,
  motorcycle_left, immunohistochemistry, page, text, checkerboard, clock,
  logo, retina) and rendered passport pages whose photo box is empty.
"""
import argparse
import os
import subprocess
import sys
import time

import cv2
import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import convert_face as cvf  # noqa: E402
import face_common as fc  # noqa: E402
import face_fixtures as ff  # noqa: E402


def load_net(json_path, threshold):
    model, _, _ = cvf.build(json_path, threshold)
    net = cv2.dnn.readNetFromONNX(np.frombuffer(model.SerializeToString(), np.uint8))
    net.setPreferableBackend(cv2.dnn.DNN_BACKEND_OPENCV)
    return net


def detect(net, bgr):
    """Faces as the library returns them: [(x, y, w, h, score)], ranked."""
    sq, left, top, s = fc.letterbox(bgr)
    blob = cv2.cvtColor(sq, cv2.COLOR_BGR2RGB).astype(np.float32).transpose(2, 0, 1)[None]
    net.setInput(blob)
    maps = net.forward(["537", "538", "539", "540"])
    faces = fc.centerface_decode(*[m[0] for m in maps])
    out = []
    h, w = bgr.shape[:2]
    for f in sorted(faces, key=lambda f: -f["score"]):
        x, y, bw, bh = fc.to_image(f["box"], left, top, s)
        cx, cy = x + bw * 0.5 - w * 0.5, y + bh * 0.5 - h * 0.5
        out.append((x, y, bw, bh, f["score"], bw * bh - 2 * (cx * cx + cy * cy)))
    out.sort(key=lambda o: -o[5])
    return [o[:5] for o in out]


def iou(a, b):
    ax2, ay2, bx2, by2 = a[0] + a[2], a[1] + a[3], b[0] + b[2], b[1] + b[3]
    iw = max(0, min(ax2, bx2) - max(a[0], b[0]))
    ih = max(0, min(ay2, by2) - max(a[1], b[1]))
    inter = iw * ih
    union = a[2] * a[3] + b[2] * b[3] - inter
    return inter / union if union > 0 else 0.0


def lfw():
    import skimage.data as data
    x = (data.lfw_subset() * 255).astype(np.uint8)
    return x[:100], x[100:]


def frame_black(crop, side=64):
    img = np.zeros((128, 128, 3), np.uint8)
    o = (128 - side) // 2
    img[o:o + side, o:o + side] = cv2.cvtColor(
        cv2.resize(crop, (side, side), interpolation=cv2.INTER_CUBIC), cv2.COLOR_GRAY2BGR)
    return img, (o, o, side, side)


def on_card(crop, side=32):
    img = np.full((80, 128, 3), (200, 205, 210), np.uint8)
    x, y = 20, 16
    img[y:y + side, x:x + side] = cv2.cvtColor(
        cv2.resize(crop, (side, side), interpolation=cv2.INTER_CUBIC), cv2.COLOR_GRAY2BGR)
    return img, (x, y, side, side)


def passport_region(crop, rng):
    """A 400 x 280 page with the face crop as the face of a portrait in the
    photo box; returns the region getPassportFaceImage searches and the face
    box in it."""
    page = np.full((280, 400, 3), (222, 228, 236), np.uint8)
    cv2.putText(page, "P<UTOERIKSSON<<ANNA<MARIA<<<<<<<<<<", (18, 235), cv2.FONT_HERSHEY_SIMPLEX,
                0.42, (20, 20, 20), 1)
    for i, t in enumerate(["PASSPORT", "ERIKSSON", "ANNA MARIA", "12 AUG 74"]):
        cv2.putText(page, t, (120, 45 + 22 * i), cv2.FONT_HERSHEY_SIMPLEX, 0.4, (40, 40, 60), 1)
    px, py, pw, ph = 15, 30, 90, 120
    page[py:py + ph, px:px + pw] = rng.integers(150, 230, 3)
    side = 56
    fx, fy = px + (pw - side) // 2, py + 22
    page[fy:fy + side, fx:fx + side] = cv2.cvtColor(
        cv2.resize(crop, (side, side), interpolation=cv2.INTER_CUBIC), cv2.COLOR_GRAY2BGR)
    ry, rw, rh = int(0.15 * 280), int(0.4 * 400) // 2 * 2, int(0.65 * 280) // 3 * 3
    return page[ry:ry + rh, 0:rw].copy(), (fx, fy - ry, side, side)


def face_stats(net, cases):
    """cases: [(image, true box)]. A face is found when the first returned box
    overlaps the true box by IoU >= 0.3."""
    found, ious, centre = 0, [], []
    for img, truth in cases:
        faces = detect(net, img)
        if faces and iou(faces[0], truth) >= 0.3:
            found += 1
            f = faces[0]
            ious.append(iou(f, truth))
            cx, cy = f[0] + f[2] / 2, f[1] + f[3] / 2
            tx, ty = truth[0] + truth[2] / 2, truth[1] + truth[3] / 2
            centre.append(np.hypot(cx - tx, cy - ty) / truth[2])
    return found, len(cases), (np.mean(ious) if ious else 0), (np.mean(centre) if centre else 0)


def nonface_images():
    import skimage.data as data
    names = ["coffee", "chelsea", "rocket", "coins", "brick", "grass", "gravel", "horse", "moon",
             "hubble_deep_field", "immunohistochemistry", "page", "text", "checkerboard",
             "clock", "logo", "retina", "motorcycle_left" if hasattr(data, "motorcycle_left") else "cell"]
    out = []
    for n in names:
        fn = getattr(data, n, None)
        if fn is None:
            continue
        img = fn()
        if isinstance(img, tuple):
            img = img[0]
        img = np.asarray(img)
        if img.dtype == bool:
            img = img.astype(np.uint8) * 255
        if img.dtype != np.uint8:
            img = (255 * (img.astype(np.float64) - img.min()) / max(1e-9, np.ptp(img))).astype(np.uint8)
        if img.ndim == 2:
            img = cv2.cvtColor(img, cv2.COLOR_GRAY2BGR)
        elif img.shape[2] == 4:
            img = cv2.cvtColor(img, cv2.COLOR_RGBA2BGR)
        else:
            img = cv2.cvtColor(img, cv2.COLOR_RGB2BGR)
        out.append((n, img))
    return out


def blank_pages():
    astro, _ = ff.photos()
    page = ff.render_page(astro)
    x0, y0, x1, y1 = ff.PAGE_PHOTO
    page[y0:y1, x0:x1] = (222, 226, 230)
    out = []
    for f in (0.5, 1.0, 2.0):
        p = cv2.resize(page, None, fx=f, fy=f)
        ry, rw, rh = int(0.15 * p.shape[0]), int(0.4 * p.shape[1]) // 2 * 2, int(0.65 * p.shape[0]) // 3 * 3
        out.append(("page x%.1f region" % f, p[ry:ry + rh, 0:rw].copy()))
        out.append(("page x%.1f whole" % f, p))
    return out


def size_sweep(net, astro):
    """The astronaut's face (about 100 x 102 px in the 512 photograph, top
    left (176, 76)) scaled to a given side and centred on a grey 128 frame.
    Returns [(side, found, IoU)]."""
    out = []
    for side in (10, 14, 18, 24, 32, 40, 48, 56, 64, 80, 96, 112):
        f = side / 100.0
        img = cv2.resize(astro, None, fx=f, fy=f, interpolation=cv2.INTER_AREA)
        canvas = np.full((128, 128, 3), 200, np.uint8)
        ox, oy = 64 - int(226 * f), 64 - int(127 * f)
        h, w = img.shape[:2]
        x0, y0, x1, y1 = max(0, ox), max(0, oy), min(128, ox + w), min(128, oy + h)
        canvas[y0:y1, x0:x1] = img[y0 - oy:y1 - oy, x0 - ox:x1 - ox]
        truth = (176 * f + ox, 76 * f + oy, 100 * f, 102 * f)
        faces = detect(net, canvas)
        out.append((side, bool(faces) and iou(faces[0], truth) >= 0.3,
                    iou(faces[0], truth) if faces else 0.0))
    return out


def timing(net, threads=2, runs=100):
    cv2.setNumThreads(threads)
    astro, _ = ff.photos()
    frame = cv2.resize(ff.render_card(astro), (400, 252))
    for _ in range(10):
        detect(net, frame)
    t = time.perf_counter()
    for _ in range(runs):
        detect(net, frame)
    return (time.perf_counter() - t) / runs * 1000


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("json")
    ap.add_argument("--out", default=os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                  "models", "face_report.md"))
    ap.add_argument("--bench", help="bench_real_detectors binary for the C++ timing")
    ap.add_argument("--released", type=float, default=0.5, help="threshold of the released model")
    args = ap.parse_args()
    cv2.setNumThreads(2)
    faces, nonfaces = lfw()
    rng = np.random.default_rng(3)
    astro, camera = ff.photos()
    photo_cases = []
    for name, img in (("astronaut", astro), ("camera", camera)):
        x, y, w, h = ff.reference_face(img, args.json)
        photo_cases.append((img, (x, y, w, h)))
    face_sets = [
        ("LFW faces, 64 px in a black 128 frame", [frame_black(c) for c in faces]),
        ("LFW faces in a passport photo box (search region)", [passport_region(c, rng) for c in faces]),
        ("LFW faces, 32 px on a grey card", [on_card(c) for c in faces]),
        ("astronaut, camera (whole photographs)", photo_cases),
    ]
    neg_sets = [
        ("LFW non-face crops, 64 px in a black 128 frame", [frame_black(c)[0] for c in nonfaces]),
        ("skimage photographs without faces", [img for _, img in nonface_images()]),
        ("passport pages with an empty photo box", [img for _, img in blank_pages()]),
    ]
    rows = []
    for t in sorted({0.5, 0.65, args.released}):
        net = load_net(args.json, t)
        res = {"t": t, "faces": [], "neg": []}
        for label, cases in face_sets:
            res["faces"].append((label,) + face_stats(net, cases))
        for label, imgs in neg_sets:
            hits = sum(1 for img in imgs if detect(net, img))
            res["neg"].append((label, hits, len(imgs)))
        res["ms"] = timing(net)
        rows.append(res)
        print("threshold %.2f done" % t, flush=True)
    released = load_net(args.json, args.released)
    fp_names = [n for n, img in nonface_images() if detect(released, img)]
    sweep = size_sweep(released, astro)

    bench = None
    if args.bench:
        try:
            r = subprocess.run([args.bench, "--benchmark_filter=BM_RealFaceDetection"],
                               capture_output=True, text=True, timeout=300)
            bench = [ln for ln in r.stdout.splitlines() if "BM_RealFaceDetection" in ln]
        except (OSError, subprocess.SubprocessError) as e:
            bench = ["not run: %s" % e]

    with open(args.out, "w") as f:
        f.write("# Face detector \"fd4_2.p\": measurements\n\n")
        f.write("Regenerate with `/usr/bin/python3 tools/eval_face.py BLAZEFACE.json [--bench "
                "BUILD/tests/bench_real_detectors]` (needs Debian python3-skimage for the photographs).\n"
                "The released model uses heat threshold T = %.2f (`tools/convert_face.py --threshold`).\n"
                "Detections are run as the library runs them: letterbox to 128, OpenCV 4.6 dnn, the "
                "library's decoding rule, the first face after ranking.\n\n" % args.released)
        f.write("## Detection rate and box accuracy\n\n")
        f.write("A face counts as found when the first returned box overlaps the true box by IoU >= 0.3. "
                "Box accuracy: mean IoU with the true box and mean centre error / true box side, "
                "over found faces. BlazeFace boxes are square and run from brow to chin; LFW crops are "
                "looser, so an IoU near 0.6 is a box in the right place.\n\n")
        f.write("| set | T | found | mean IoU | centre error |\n|---|---|---|---|---|\n")
        for res in rows:
            for label, found, n, mi, ce in res["faces"]:
                f.write("| %s | %.2f | %d / %d | %.2f | %.2f |\n" % (label, res["t"], found, n, mi, ce))
        f.write("\nFace size (T = %.2f): the astronaut's face scaled to a side of N px and centred on a "
                "grey 128 frame.\n\n| N | " % args.released + " | ".join(str(n) for n, _, _ in sweep)
                + " |\n|---|" + "---|" * len(sweep) + "\n| IoU | "
                + " | ".join(("%.2f" % v) if ok else "missed" for _, ok, v in sweep) + " |\n")
        f.write("\n## False positives\n\nImages on which any face is reported.\n\n")
        f.write("| set | T | images with a face |\n|---|---|---|\n")
        for res in rows:
            for label, hits, n in res["neg"]:
                f.write("| %s | %.2f | %d / %d |\n" % (label, res["t"], hits, n))
        f.write("\nAt T = %.2f the photographs with a reported face: %s.\n"
                % (args.released, ", ".join(fp_names) if fp_names else "none"))
        f.write("\n## Timing\n\nOne detection (letterbox, network, decoding) on a 400 x 252 frame, "
                "2 threads, after warm-up, this machine (shared with other jobs):\n\n")
        for res in rows:
            f.write("- Python cv2 (dnn, OpenCV backend), T = %.2f: %.1f ms\n" % (res["t"], res["ms"]))
        if bench:
            f.write("- C++, `vyr_face_detect2` (tests/bench_real_detectors, its own frame: a rendered page "
                    "at 400 columns):\n\n```\n%s\n```\n"
                    % "\n".join(bench))
        else:
            f.write("- C++: see tests/bench_real_detectors (`BM_RealFaceDetection`).\n")
    print(open(args.out).read())


if __name__ == "__main__":
    main()
