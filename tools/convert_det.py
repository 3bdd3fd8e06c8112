#!/usr/bin/python3
"""Converts the PP-OCRv4 DB text detector for OpenCV 4.6 and checks it.

  convert_det.py ORIGINAL.onnx OUT.onnx

Edits: Clip to attribute form; ConvTranspose + bias Add + BatchNorm folded
into one ConvTranspose (OpenCV 4.6 fuses them itself and then gives wrong
maps, without any error, once a net has run at another size).

Check (exit status 1 on any mismatch): a synthetic text page at several
sizes, run through ONE re-used OpenCV net and through a fresh net per size,
against the original graph run by our own interpreter (onnx_ref.py).
"""
import os
import sys

import numpy as np
import onnx
import cv2

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import convert_common as cc  # noqa: E402

SIZES = [(640, 640), (960, 960), (320, 896), (736, 1280), (64, 2048), (640, 640)]  # (h, w)
MEAN = np.array([0.485, 0.456, 0.406], np.float32)
STD = np.array([0.229, 0.224, 0.225], np.float32)


def convert(src, dst):
    m = onnx.load(src)
    a = cc.clip_to_attributes(m)
    b = cc.fold_deconv_bn(m)
    if a == 0 or b != 2:
        raise SystemExit("detector graph is not the expected one (clips %d, deconvs folded %d)" % (a, b))
    del m.graph.value_info[:]
    onnx.save(m, dst)
    print("det: %d Clip nodes to attribute form, %d ConvTranspose folded" % (a, b))


def page():
    img = np.full((400, 1000, 3), 235, np.uint8)
    texts = ["PASSPORT REPUBLIC OF UTOPIA", "Surname ERIKSSON  Given names ANNA MARIA",
             "P<UTOERIKSSON<<ANNA<MARIA<<<<<<<<<<<", "L898902C36UTO7408122F1204159ZE184226B"]
    for i, t in enumerate(texts):
        cv2.putText(img, t, (30, 80 + i * 85), cv2.FONT_HERSHEY_SIMPLEX, 1.2, (20, 20, 20), 2, cv2.LINE_AA)
    return img


def blob(img, h, w):
    r = cv2.resize(img, (w, h)).astype(np.float32) / 255.0
    r = (r - MEAN) / STD
    return r.transpose(2, 0, 1)[None].copy()


def check(orig_path, conv_path, threads=3):
    import torch
    import onnx_ref
    torch.set_num_threads(threads)
    ref_model = onnx.load(orig_path)
    interp = onnx_ref.Interpreter(ref_model)
    with open(conv_path, "rb") as f:
        body = f.read()
    reused = cc.opencv_check_net(body)  # from memory, as the library loads it
    img = page()
    ok = True
    for h, w in SIZES:
        x = blob(img, h, w)
        ref = interp.run({ref_model.graph.input[0].name: x})[0]
        reused.setInput(x)
        got = reused.forward()
        fresh = cc.opencv_check_net(conv_path)
        fresh.setInput(x)
        got_fresh = fresh.forward()
        for label, g in (("re-used", got), ("fresh", got_fresh)):
            if g.shape != ref.shape:
                print("det %dx%d %s: shape %s, reference %s" % (h, w, label, g.shape, ref.shape))
                ok = False
                continue
            diff = float(np.abs(g - ref).max())
            mask_ref = ref > 0.3
            bad = int(np.count_nonzero(mask_ref != (g > 0.3)))
            n = max(1, int(mask_ref.sum()))
            good = diff < 1e-2 and bad <= 0.001 * n
            ok = ok and good
            print("det %4dx%-4d %-7s max|diff| %.2e, mask pixels differing %d of %d  %s"
                  % (h, w, label, diff, bad, n, "ok" if good else "MISMATCH"))
    return ok


def main():
    if len(sys.argv) != 3:
        raise SystemExit(__doc__)
    convert(sys.argv[1], sys.argv[2])
    if not check(sys.argv[1], sys.argv[2]):
        print("det: converted detector does not match the reference", file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    main()
