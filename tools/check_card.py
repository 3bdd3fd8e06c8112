#!/usr/bin/python3
"""Checks a card detector model and copies it: check_card.py IN.onnx OUT.onnx

The library loads the card model through OpenCV 4.6 dnn, takes the input size
the model declares, looks the nine outputs up by name and decodes them with
2 anchors per cell at strides 8, 16 and 32, comparing the score directly with
0.6. So the model must:
  - load in cv2.dnn and list exactly the nine outputs score_8/16/32,
    bbox_8/16/32, kps_8/16/32 as unconnected outputs;
  - declare a static input 1x3xHxW with H and W multiples of 32;
  - give score_s [1, N, 1], bbox_s [1, N, 4], kps_s [1, N, 8] with
    N = (H/s) * (W/s) * 2, and scores that are probabilities (0..1);
  - compute what an independent interpreter (tools/onnx_ref.py, PyTorch ops)
    computes from the same file, on a few inputs.
On success OUT.onnx is written (a byte copy) and the status is 0; any failed
check prints the reason and exits with status 1 without writing OUT.
"""
import os
import shutil
import sys

import numpy as np
import cv2
import onnx

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import onnx_ref  # noqa: E402

STRIDES = (8, 16, 32)
ANCHORS = 2
NAMES = ["score_%d" % s for s in STRIDES] + ["bbox_%d" % s for s in STRIDES] + ["kps_%d" % s for s in STRIDES]
WIDTH = {"score": 1, "bbox": 4, "kps": 8}
ATOL = 2e-3  # float32 paths of two engines through ~15 layers


def fail(msg):
    print("check_card: FAIL: " + msg, file=sys.stderr)
    sys.exit(1)


def inputs(h, w):
    """A few inputs in the library's value range ((v - 127.5) / 128, RGB)."""
    rng = np.random.default_rng(7)
    out = [rng.uniform(-1, 1, (1, 3, h, w)).astype(np.float32)]
    img = np.zeros((h, w, 3), np.uint8)
    img[:] = (90, 140, 60)
    cv2.rectangle(img, (w // 5, h // 5), (w * 4 // 5, h * 4 // 5), (235, 230, 220), -1)
    for y in range(h // 5 + 10, h * 4 // 5 - 10, 14):
        cv2.putText(img, "P<UTOERIKSSON<<ANNA<<<<<", (w // 5 + 8, y), cv2.FONT_HERSHEY_PLAIN, 0.8, (20, 20, 20), 1)
    out.append(((img[..., ::-1].astype(np.float32) - 127.5) * 0.0078125).transpose(2, 0, 1)[None].copy())
    out.append(np.full((1, 3, h, w), -0.99609375, np.float32))  # black canvas
    return out


def main():
    if len(sys.argv) != 3:
        print(__doc__.strip().splitlines()[0], file=sys.stderr)
        sys.exit(2)
    src, dst = sys.argv[1], sys.argv[2]
    try:
        model = onnx.load(src)
        onnx.checker.check_model(model)
    except Exception as e:  # noqa: BLE001
        fail("not a valid ONNX model: %s" % e)
    graph_inputs = [i for i in model.graph.input if i.name not in {t.name for t in model.graph.initializer}]
    if len(graph_inputs) != 1:
        fail("expected one input, found %d" % len(graph_inputs))
    dims = [d.dim_value if d.HasField("dim_value") else None for d in graph_inputs[0].type.tensor_type.shape.dim]
    if len(dims) != 4 or None in dims or dims[0] != 1 or dims[1] != 3:
        fail("input must be a static 1x3xHxW tensor, found %s" % dims)
    h, w = dims[2], dims[3]
    if h % 32 or w % 32:
        fail("input %dx%d is not a multiple of the largest stride 32" % (w, h))
    outs = [o.name for o in model.graph.output]
    if sorted(outs) != sorted(NAMES):
        fail("outputs are %s, expected %s" % (outs, NAMES))

    try:
        net = cv2.dnn.readNetFromONNX(src)
    except cv2.error as e:
        fail("OpenCV %s dnn does not load it: %s" % (cv2.__version__, e))
    listed = list(net.getUnconnectedOutLayersNames())
    if sorted(listed) != sorted(NAMES):
        fail("cv2.dnn lists the outputs %s" % listed)

    ref = onnx_ref.Interpreter(model)
    worst = 0.0
    for k, x in enumerate(inputs(h, w)):
        try:
            net.setInput(x)
            got = dict(zip(NAMES, net.forward(NAMES)))
        except cv2.error as e:
            fail("cv2.dnn cannot run it: %s" % e)
        want = dict(zip(outs, ref.run({graph_inputs[0].name: x})))
        for name in NAMES:
            kind, s = name.split("_")
            n = (h // int(s)) * (w // int(s)) * ANCHORS
            shape = (1, n, WIDTH[kind])
            if tuple(got[name].shape) != shape:
                fail("%s has shape %s in cv2.dnn, expected %s" % (name, got[name].shape, shape))
            if tuple(want[name].shape) != shape:
                fail("%s has shape %s in the reference, expected %s" % (name, want[name].shape, shape))
            if not np.all(np.isfinite(got[name])):
                fail("%s holds non-finite values (input %d)" % (name, k))
            if kind == "score" and (got[name].min() < 0 or got[name].max() > 1):
                fail("%s is not a probability (range %.3f..%.3f); the sigmoid belongs in the graph"
                     % (name, got[name].min(), got[name].max()))
            d = float(np.abs(got[name] - want[name]).max())
            worst = max(worst, d)
            if d > ATOL * max(1.0, float(np.abs(want[name]).max())):
                fail("%s differs from the reference by %.3g (input %d)" % (name, d, k))
    tmp = dst + ".tmp"
    shutil.copyfile(src, tmp)
    os.replace(tmp, dst)
    print("check_card: ok: input 1x3x%dx%d, 9 outputs, cv2.dnn vs reference max diff %.2g; wrote %s"
          % (h, w, worst, dst))


if __name__ == "__main__":
    main()
