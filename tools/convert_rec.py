#!/usr/bin/python3
"""Converts the PP-OCRv4 text-line recogniser for OpenCV 4.6 and checks it.

  convert_rec.py cn ORIGINAL.onnx KEYS.txt OUT.onnx OUT_KEYS.txt
      the whole Chinese recogniser; its dictionary with the lines as they are
      (the library frames it with the blank in front and a space at the end).
  convert_rec.py en ORIGINAL.onnx KEYS.txt OUT.onnx OUT_KEYS.txt
      the same network with only the classes of printable ASCII kept, in the
      order the restricted alphabet modes rely on: lines 1 to 43 are '0' to
      'Z', then the lower-case letters and the other punctuation. The
      classifier's columns are selected, so its softmax covers only these
      classes and no full-width look-alike can win.

Edits: Clip to attribute form, last-axis Mul/Div to MatMul(diag), ReduceMean
to MatMul(1/C), width-agnostic Reshape targets, HardSwish fusion, constants to
initializers, input declared 1x3x48x320.

Check (exit status 1 on a mismatch): random inputs at several widths through
ONE re-used OpenCV net against the original graph run by our own interpreter.
"""
import os
import sys

import numpy as np
import onnx

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import convert_common as cc  # noqa: E402

WIDTHS = [320, 800, 1344, 8, 330, 1152, 320]
EN_EXTRA = "abcdefghijklmnopqrstuvwxyz!\"#$%&'()*+,-./[\\]^_`{|}~"


def read_keys(path):
    with open(path, "rb") as f:
        data = f.read().decode("utf-8")
    lines = data.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    return [l.rstrip("\r") for l in lines]


def en_layout(keys):
    """Returns (dictionary lines, model columns incl. blank and space)."""
    index = {}
    for i, k in enumerate(keys):
        index.setdefault(k, i + 1)  # column of line i (1-based)
    lines = [chr(c) for c in range(ord("0"), ord("Z") + 1)]
    missing = [c for c in lines if c not in index]
    if missing:
        raise SystemExit("recogniser dictionary lacks %r" % missing)
    lines += [c for c in EN_EXTRA if c in index]
    cols = [0] + [index[c] for c in lines] + [len(keys) + 1]
    return lines, cols


def convert(kind, src, keys_path, dst, keys_out):
    m = onnx.load(src)
    keys = read_keys(keys_path)
    cols = None
    if kind == "en":
        lines, cols = en_layout(keys)
        cc.select_output_columns(m, cols)
    else:
        lines = keys
    a = cc.clip_to_attributes(m)
    e = cc.lastaxis_mul_to_matmul(m)
    f = cc.reducemean_to_matmul(m, [1, 3, 48, 320])
    t = cc.generic_reshapes(m, [[1, 3, 48, 320], [1, 3, 48, 648], [1, 3, 48, 1280]])
    h = cc.fuse_hardswish(m)
    cc.constants_to_initializers(m)
    cc.declare_input(m, [1, 3, 48, 320])
    cc.fold_shapes(m)
    cc.constants_to_initializers(m)
    del m.graph.value_info[:]
    left = [n.op_type for n in m.graph.node if n.op_type in ("Shape", "Squeeze", "Unsqueeze", "Flatten")]
    if left:
        raise SystemExit("shape operators left in the graph: %s" % left)
    onnx.save(m, dst)
    with open(keys_out, "w", encoding="utf-8", newline="\n") as fo:
        fo.write("\n".join(lines) + "\n")
    print("rec %s: clip %d, diag %d, mean %d, reshapes %d, hardswish %d, %d classes"
          % (kind, a, e, f, len(t), h, len(lines) + 2))
    return cols


def check(src, dst, cols, threads=3):
    import torch
    import onnx_ref
    torch.set_num_threads(threads)
    ref_model = onnx.load(src)
    interp = onnx_ref.Interpreter(ref_model)
    with open(dst, "rb") as f:
        net = cc.opencv_check_net(f.read())
    rng = np.random.default_rng(5)
    ok = True
    for w in WIDTHS:
        x = rng.uniform(-1, 1, (1, 3, 48, w)).astype(np.float32)
        ref = interp.run({ref_model.graph.input[0].name: x})[0]
        if cols is not None:
            ref = ref[..., cols]
            ref = ref / ref.sum(-1, keepdims=True)  # softmax over the kept classes
        net.setInput(x)
        got = net.forward()
        got = got.reshape(got.shape[0], got.shape[1], -1) if got.ndim == 4 else got
        if got.shape != ref.shape:
            print("rec width %d: shape %s, reference %s  MISMATCH" % (w, got.shape, ref.shape))
            ok = False
            continue
        diff = float(np.abs(got - ref).max())
        agree = float((got.argmax(-1) == ref.argmax(-1)).mean())
        good = diff < 1e-4
        ok = ok and good
        print("rec width %4d: T %d, max|diff| %.2e, argmax agreement %.3f  %s"
              % (w, got.shape[1], diff, agree, "ok" if good else "MISMATCH"))
    return ok


def main():
    if len(sys.argv) != 6 or sys.argv[1] not in ("cn", "en"):
        raise SystemExit(__doc__)
    kind, src, keys, dst, keys_out = sys.argv[1:]
    cols = convert(kind, src, keys, dst, keys_out)
    if not check(src, dst, cols):
        print("rec %s: converted recogniser does not match the reference" % kind, file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    main()
