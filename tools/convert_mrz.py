#!/usr/bin/python3
"""Checks our MRZ recogniser for OpenCV 4.6 and writes its dictionary.

  convert_mrz.py MODEL.onnx OUT.onnx OUT_KEYS.txt

The model (tools/models/ocrv3_mrz.onnx, from tools/train_mrz.py) is conv-only
and needs no graph edits; it is copied as it is. Check (exit status 1 on a
mismatch): the operators are the expected ones, the output has the 38 classes
of the dictionary, and ONE re-used OpenCV net matches our own interpreter at
several widths.
"""
import os
import shutil
import sys

import numpy as np
import onnx

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import convert_common as cc  # noqa: E402

ALPHABET = "0123456789<ABCDEFGHIJKLMNOPQRSTUVWXYZ"
ALLOWED = {"Conv", "Relu", "MaxPool", "Transpose", "Softmax", "BatchNormalization"}
WIDTHS = [1152, 320, 8, 96, 1600, 330, 1152]


def main():
    if len(sys.argv) != 4:
        raise SystemExit(__doc__)
    src, dst, keys_out = sys.argv[1:]
    m = onnx.load(src)
    ops = {n.op_type for n in m.graph.node}
    if not ops <= ALLOWED:
        raise SystemExit("mrz: unexpected operators %s" % sorted(ops - ALLOWED))
    import torch
    import onnx_ref
    torch.set_num_threads(3)
    interp = onnx_ref.Interpreter(m)
    with open(src, "rb") as f:
        net = cc.opencv_check_net(f.read())
    rng = np.random.default_rng(11)
    ok = True
    for w in WIDTHS:
        x = rng.uniform(-1, 1, (1, 3, 48, w)).astype(np.float32)
        ref = interp.run({m.graph.input[0].name: x})[0]
        net.setInput(x)
        got = net.forward()
        if got.shape != ref.shape or got.shape[2] != len(ALPHABET) + 1:
            print("mrz width %d: shape %s, reference %s  MISMATCH" % (w, got.shape, ref.shape))
            ok = False
            continue
        diff = float(np.abs(got - ref).max())
        good = diff < 1e-4
        ok = ok and good
        print("mrz width %4d: T %d, max|diff| %.2e  %s" % (w, got.shape[1], diff, "ok" if good else "MISMATCH"))
    if not ok:
        print("mrz: recogniser does not match the reference", file=sys.stderr)
        sys.exit(1)
    shutil.copyfile(src, dst)
    with open(keys_out, "w", encoding="ascii", newline="\n") as fo:
        fo.write("\n".join(ALPHABET) + "\n")


if __name__ == "__main__":
    main()
