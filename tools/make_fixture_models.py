#!/usr/bin/python3
"""Generates the small ONNX fixture networks that the tests load, and packs
each into a model file with vyrmodel.

    /usr/bin/python3 tools/make_fixture_models.py --vyrmodel BUILD/tools/vyrmodel
                     [--out tests/data/models]

Needs Debian's python3-onnx and python3-numpy. Every graph is opset 11 and
uses only operators that OpenCV 4.6's ONNX importer takes, in forms it
handles with dynamic input sizes (Reshape with 0/-1 targets instead of
Squeeze, 1x1 Conv, AveragePool, Sigmoid, Softmax, Transpose). Weights are fixed numbers, so the outputs are known
functions of the input; each graph carries an unused "pad" initializer so the
body reaches the 771 bytes a model file needs at least.

Outputs, written to --out (plain bodies *.onnx and packed model files *.p):

crnn_fixture (C = 97) and crnn40_fixture (C = 40): CTC-style recogniser.
    input  "x"       [1, 3, 48, W], W dynamic
    output "softmax" [1, T, C], T = floor(W / 8)
    Time step t looks at the 48 x 8 window of columns 8t .. 8t+7 and takes the
    mean m of the input over the window and the three channels. Class k has the
    level t_k = -1 + 2k / (C - 1), and its logit is G * (m^2 - (m - t_k)^2)
    with G = 6 / d^2, d = 2 / (C - 1); a softmax over the classes follows. The
    class whose level is nearest m wins with a probability of about 0.99 at
    m = t_k. With the recogniser's normalisation (v - 127.5) / 127.5 a stripe
    of grey g = 255 * k / (C - 1) (rounded), at least 16 columns wide after
    scaling, therefore reads as class k: black (0) is class 0, the CTC blank,
    white (255) is class C - 1. C = 97 fits a 95-line dictionary (with "#" and
    " " added), C = 40 fits the 37-line MRZ dictionary.

db_fixture: one-channel probability map of a DB-style text detector.
    input  "x"    [1, 3, H, W], H and W dynamic
    output "prob" [1, 1, H, W]
    prob = sigmoid(4 * (mean_c(x_c) - 0.2266)) per pixel. With the detector's
    normalisation (mean 123.675, 116.28, 103.53; normal 1/(0.229*255),
    1/(0.224*255), 1/(0.225*255)) grey 127.5 gives 0.5, white about 0.9999 and
    black about 0.0001: white boxes on black come back as text boxes.

card_fixture: the nine outputs of the card detector (strides 8, 16, 32, two
anchors per cell); card6_fixture: the same without the kps outputs.
    input  "input.1" [1, 3, 256, 320] (H x W, static)
    for each stride s, with N = (256/s) * (320/s) * 2 anchors in the order rows,
    columns, the two anchors of a cell:
      "score_s" [1, N, 1]  sigmoid(16 * (c_s - 0.5)), where c_s is the mean over
                           the cell (s x s pixels) of ONE input channel: tensor
                           channel 2 for stride 8, 1 for stride 16, 0 for
                           stride 32. With the detector's RGB conversion and
                           (v - 127.5) / 128 that is blue for stride 8, green
                           for 16 and red for 32: a white cell fires at every
                           stride (score 0.99964), a pure red one only at 32.
      "bbox_s"  [1, N, 4]  constant 0, 0, 1, 1 (l, t, r, b in stride units),
                           so each anchor's box is exactly its own cell.
      "kps_s"   [1, N, 8]  constant 0,0, 1,0, 1,1, 0,1: the cell's corners
                           clockwise from the top-left.

face_fixture: the four outputs of the face detector on its 32 x 32 grid.
    input  "input.1" [1, 3, 128, 128], RGB values 0..255
    "537" heatmap   [1, 1, 32, 32]  sigmoid(16 * (b - 0.5)), b = mean over the
                                    4 x 4 cell and the channels of v / 255
                                    (white 0.99966, black 0.00034)
    "538" scale     [1, 2, 32, 32]  constant ln(32 / 4), ln(24 / 4): every
                                    face is 32 high and 24 wide
    "539" offset    [1, 2, 32, 32]  constant 0, 0
    "540" landmarks [1, 10, 32, 32] constant; point j = (x, y) relative to the
                                    box, in box units: (0.3, 0.35), (0.7,
                                    0.35), (0.5, 0.55), (0.35, 0.75),
                                    (0.65, 0.75); channel 2j is y, 2j + 1 is x

dangling_conv.onnx (plain only): the DB graph whose Conv reads a weight and a
    bias that do not exist. OpenCV 4.6's importer crashes on it; the inference
    layer has to refuse it with a result code.

Packed files (version, scheme, identifier, xor_count, des_count):
    crnn_fixture.p        "4.00" 3 crnn97  -1 -1
    crnn40_fixture.p      "3.11" 1 crnn40   0  0   (passes the MRZ version gate)
    crnn40_v310_fixture.p "3.10" 2 crnn40   0  0   (below the MRZ version gate)
    db_fixture.p          "4.00" 2 db       0  0
    card_fixture.p        "4.00" 3 card     8  8
    card6_fixture.p       "4.00" 3 card6    2 -1
    face_fixture.p        "4.00" 3 face    -1 100
"""

import argparse
import math
import os
import subprocess
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

OPSET = 11
MIN_BODY = 1024  # comfortably above the 771-byte minimum of a model file


def const(name, array):
    return numpy_helper.from_array(np.asarray(array, dtype=np.float32), name)


def finish(name, nodes, inputs, outputs, inits, check=True):
    """Builds the model and pads it to MIN_BODY bytes with an unused initializer."""
    def build(pad):
        extra = [const("pad", np.arange(pad, dtype=np.float32) * 0.25)] if pad else []
        graph = helper.make_graph(nodes, name, inputs, outputs, inits + extra)
        model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)],
                                  producer_name="vyr-fixtures")
        model.ir_version = 7
        return model
    model = build(0)
    size = len(model.SerializeToString())
    if size < MIN_BODY:
        model = build((MIN_BODY - size) // 4 + 8)
    if check:
        onnx.checker.check_model(model)
    return model


def conv1x1(inp, out, weight, bias, inits, prefix):
    inits += [const(prefix + "_w", weight), const(prefix + "_b", bias)]
    return helper.make_node("Conv", [inp, prefix + "_w", prefix + "_b"], [out],
                            kernel_shape=[1, 1], name=prefix)


def make_crnn(classes):
    levels = -1.0 + 2.0 * np.arange(classes) / (classes - 1)
    step = 2.0 / (classes - 1)
    gain = 6.0 / (step * step)
    inits = [numpy_helper.from_array(np.array([0, 0, -1], dtype=np.int64), "seq_shape")]
    nodes = [
        helper.make_node("AveragePool", ["x"], ["pooled"], kernel_shape=[48, 8],
                         strides=[48, 8], name="pool"),
        conv1x1("pooled", "logits",
                np.repeat((gain * 2.0 * levels / 3.0)[:, None], 3, axis=1).reshape(classes, 3, 1, 1),
                -gain * levels * levels, inits, "cls"),
        # [1, C, 1, T] -> [1, C, T]. The 4.6 importer takes a Squeeze on a
        # dynamic dimension for an identity, so a 0/-1 Reshape does it.
        helper.make_node("Reshape", ["logits", "seq_shape"], ["seq"], name="squeeze"),
        helper.make_node("Transpose", ["seq"], ["steps"], perm=[0, 2, 1], name="transpose"),
        helper.make_node("Softmax", ["steps"], ["softmax"], axis=2, name="softmax"),
    ]
    inputs = [helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, 3, 48, "W"])]
    outputs = [helper.make_tensor_value_info("softmax", TensorProto.FLOAT, [1, "T", classes])]
    return finish("crnn%d" % classes, nodes, inputs, outputs, inits)


def make_db():
    inits = []
    nodes = [
        conv1x1("x", "logit", np.full((1, 3, 1, 1), 4.0 / 3.0), [-4.0 * 0.2266], inits, "map"),
        helper.make_node("Sigmoid", ["logit"], ["prob"], name="sigmoid"),
    ]
    inputs = [helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, 3, "H", "W"])]
    outputs = [helper.make_tensor_value_info("prob", TensorProto.FLOAT, [1, 1, "H", "W"])]
    return finish("db", nodes, inputs, outputs, inits)


CARD_H, CARD_W = 256, 320


def make_card(with_kps):
    inits, nodes, outputs = [], [], []
    inputs = [helper.make_tensor_value_info("input.1", TensorProto.FLOAT, [1, 3, CARD_H, CARD_W])]
    channel_of = {8: 2, 16: 1, 32: 0}
    for s in (8, 16, 32):
        n = (CARD_H // s) * (CARD_W // s) * 2
        pooled = "pool%d" % s
        nodes.append(helper.make_node("AveragePool", ["input.1"], [pooled], kernel_shape=[s, s],
                                      strides=[s, s], name=pooled))
        w = np.zeros((2, 3, 1, 1))
        w[:, channel_of[s]] = 16.0
        heads = [("score", w, [-8.0, -8.0], 1, True),
                 ("bbox", np.zeros((8, 3, 1, 1)), [0, 0, 1, 1] * 2, 4, False)]
        if with_kps:
            heads.append(("kps", np.zeros((16, 3, 1, 1)), [0, 0, 1, 0, 1, 1, 0, 1] * 2, 8, False))
        for head, weight, bias, per_anchor, sigmoid in heads:
            name = "%s_%d" % (head, s)
            raw = name + "_raw"
            nodes.append(conv1x1(pooled, raw, weight, bias, inits, name + "_conv"))
            if sigmoid:
                nodes.append(helper.make_node("Sigmoid", [raw], [name + "_sig"], name=name + "_sig"))
                raw = name + "_sig"
            nodes.append(helper.make_node("Transpose", [raw], [name + "_nhwc"], perm=[0, 2, 3, 1],
                                          name=name + "_nhwc"))
            shape_name = name + "_shape"
            inits.append(numpy_helper.from_array(np.array([1, -1, per_anchor], dtype=np.int64),
                                                 shape_name))
            nodes.append(helper.make_node("Reshape", [name + "_nhwc", shape_name], [name],
                                          name=name))
            outputs.append(helper.make_tensor_value_info(name, TensorProto.FLOAT,
                                                         [1, n, per_anchor]))
    # The detector fetches outputs by name; list them in the documented order.
    order = ["score_8", "score_16", "score_32", "bbox_8", "bbox_16", "bbox_32",
             "kps_8", "kps_16", "kps_32"]
    outputs.sort(key=lambda o: order.index(o.name))
    return finish("card" if with_kps else "card6", nodes, inputs, outputs, inits)


FACE_POINTS = [(0.3, 0.35), (0.7, 0.35), (0.5, 0.55), (0.35, 0.75), (0.65, 0.75)]


def make_face():
    inits = []
    land_bias = []
    for x, y in FACE_POINTS:
        land_bias += [y, x]
    nodes = [
        helper.make_node("AveragePool", ["input.1"], ["pool4"], kernel_shape=[4, 4],
                         strides=[4, 4], name="pool4"),
        conv1x1("pool4", "heat_raw", np.full((1, 3, 1, 1), 16.0 / (3 * 255.0)), [-8.0], inits,
                "heat"),
        helper.make_node("Sigmoid", ["heat_raw"], ["537"], name="heat_sig"),
        conv1x1("pool4", "538", np.zeros((2, 3, 1, 1)), [math.log(32 / 4.0), math.log(24 / 4.0)],
                inits, "scale"),
        conv1x1("pool4", "539", np.zeros((2, 3, 1, 1)), [0.0, 0.0], inits, "offset"),
        conv1x1("pool4", "540", np.zeros((10, 3, 1, 1)), land_bias, inits, "landmarks"),
    ]
    inputs = [helper.make_tensor_value_info("input.1", TensorProto.FLOAT, [1, 3, 128, 128])]
    outputs = [helper.make_tensor_value_info(n, TensorProto.FLOAT, [1, c, 32, 32])
               for n, c in (("537", 1), ("538", 2), ("539", 2), ("540", 10))]
    return finish("face", nodes, inputs, outputs, inits)


def make_dangling_conv():
    """The DB graph with a Conv whose weight and bias name no tensor at all.
    Well-formed protobuf, damaged graph: OpenCV 4.6's importer crashes on it
    (SIGSEGV) instead of reporting an error, so the inference layer must
    refuse it before the engine sees it."""
    nodes = [
        helper.make_node("Conv", ["x", "missing_w", "missing_b"], ["logit"], kernel_shape=[1, 1],
                         name="map"),
        helper.make_node("Sigmoid", ["logit"], ["prob"], name="sigmoid"),
    ]
    inputs = [helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, 3, "H", "W"])]
    outputs = [helper.make_tensor_value_info("prob", TensorProto.FLOAT, [1, 1, "H", "W"])]
    inits = [const("map_w", np.full((1, 3, 1, 1), 4.0 / 3.0))]
    return finish("dangling", nodes, inputs, outputs, inits, check=False)


# (body, packed file, version, scheme, identifier, xor_count, des_count)
PACKS = [
    ("crnn_fixture", "crnn_fixture", "4.00", 3, "crnn97", -1, -1),
    ("crnn40_fixture", "crnn40_fixture", "3.11", 1, "crnn40", 0, 0),
    ("crnn40_fixture", "crnn40_v310_fixture", "3.10", 2, "crnn40", 0, 0),
    ("db_fixture", "db_fixture", "4.00", 2, "db", 0, 0),
    ("card_fixture", "card_fixture", "4.00", 3, "card", 8, 8),
    ("card6_fixture", "card6_fixture", "4.00", 3, "card6", 2, -1),
    ("face_fixture", "face_fixture", "4.00", 3, "face", -1, 100),
]


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--vyrmodel", required=True, help="path of the built vyrmodel tool")
    ap.add_argument("--out", default=os.path.normpath(os.path.join(here, "..", "tests", "data", "models")))
    args = ap.parse_args()
    os.makedirs(args.out, exist_ok=True)

    models = {
        "crnn_fixture": make_crnn(97),
        "crnn40_fixture": make_crnn(40),
        "db_fixture": make_db(),
        "card_fixture": make_card(True),
        "card6_fixture": make_card(False),
        "face_fixture": make_face(),
        "dangling_conv": make_dangling_conv(),
    }
    for name, model in models.items():
        path = os.path.join(args.out, name + ".onnx")
        with open(path, "wb") as f:
            f.write(model.SerializeToString())
        print("%s: %d bytes" % (path, os.path.getsize(path)))
    for body, packed, version, scheme, ident, xc, dc in PACKS:
        cmd = [args.vyrmodel, "pack", "-v", version, "-e", str(scheme), "-i", ident,
               "-x", str(xc), "-d", str(dc),
               os.path.join(args.out, body + ".onnx"), os.path.join(args.out, packed + ".p")]
        result = subprocess.run(cmd, stdout=subprocess.DEVNULL)
        if result.returncode != 0:
            sys.exit("vyrmodel failed for %s" % packed)
        print("%s.p packed (scheme %d)" % (packed, scheme))


if __name__ == "__main__":
    main()
