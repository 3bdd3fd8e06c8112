#!/usr/bin/python3
"""Writes the small ONNX networks the detector tests run on.

Every network ignores its picture (a zero-weight convolution) and adds fixed
arrays, so its outputs are known exactly and the decoders can be checked
against hand-worked coordinates:

  card_fixture.onnx   card detector, input 1x3x128x160, nine outputs
                      score/bbox/kps for strides 8, 16 and 32; one card, one
                      duplicate of it per stride 16/32, one small box at
                      exactly the score threshold, one box just below it
  card_noland.onnx    the same without the keypoint outputs (six outputs)
  card_badgrid.onnx   nine outputs whose stride-8 maps have the stride-16
                      grid: does not fit its anchors
  card_dynamic.onnx   a network whose input size is not fixed
  face_fixture.onnx   face detector, input 1x3x128x128, outputs "537" to
                      "540" on the 32x32 grid: two overlapping faces and one
                      separate smaller one, one cell exactly at the threshold
  face_badch.onnx     face outputs with eight landmark channels

Each body is packed into a model file NAME.p with the vyrmodel tool (scheme
3, DES and XOR over the whole body); only the packed files are kept.

Run:  /usr/bin/python3 tools/make_detector_fixtures.py --vyrmodel BUILD/tools/vyrmodel
          [--out tests/data/detectors] [--check] [--keep-onnx]
--check runs the bodies through cv2.dnn and compares them with the arrays.
"""
import argparse
import math
import os
import subprocess
import sys
import tempfile

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

OPSET = 11

# ---- card scene -------------------------------------------------------------
CARD_H, CARD_W = 128, 160
STRIDES = (8, 16, 32)
ANCHORS = 2


def card_arrays():
    """Per stride: score [N,1], bbox [N,4], kps [N,8] in anchor order."""
    rng = np.random.RandomState(7)
    out = {}
    for s in STRIDES:
        gh, gw = CARD_H // s, CARD_W // s
        n = gh * gw * ANCHORS
        score = (rng.rand(n, 1) * 0.3).astype(np.float32)  # background below 0.6
        bbox = (rng.rand(n, 4) * 3.0).astype(np.float32)
        kps = (rng.rand(n, 8) * 6.0 - 3.0).astype(np.float32)
        out[s] = [score, bbox, kps]

    def put(s, cy, cx, a, sc, canvas_box, canvas_kps):
        # canvas_box: x1, y1, x2, y2 in network-input pixels; canvas_kps: 4 (x, y)
        gw = CARD_W // s
        idx = (cy * gw + cx) * ANCHORS + a
        ax, ay = cx * s, cy * s
        x1, y1, x2, y2 = canvas_box
        out[s][0][idx, 0] = sc
        out[s][1][idx] = [(ax - x1) / s, (ay - y1) / s, (x2 - ax) / s, (y2 - ay) / s]
        k = []
        for (px, py) in canvas_kps:
            k += [(px - ax) / s, (py - ay) / s]
        out[s][2][idx] = k

    # The working frame is 400 x 300: r = 0.4, dw = 0, dh = 4. A point (X, Y)
    # of the frame lies at (0.4 X, 0.4 Y + 4) on the canvas.
    def canvas(pts):
        return [(0.4 * x, 0.4 * y + 4.0) for (x, y) in pts]

    card = [(90, 80), (309, 80), (309, 218), (90, 218)]        # 219 x 138
    cb = canvas([(90, 80), (309, 218)])
    put(16, 4, 5, 0, 0.95, (cb[0][0], cb[0][1], cb[1][0], cb[1][1]), canvas(card))
    # its twin anchor, shifted by 2 frame pixels: suppressed by the NMS
    card2 = [(x + 2, y + 2) for (x, y) in card]
    cb2 = canvas([(92, 82), (311, 220)])
    put(16, 4, 5, 1, 0.90, (cb2[0][0], cb2[0][1], cb2[1][0], cb2[1][1]), canvas(card2))
    # the same card seen at stride 32: suppressed as well
    put(32, 2, 2, 0, 0.70, (cb[0][0], cb[0][1], cb[1][0], cb[1][1]), canvas(card))
    # a small thing at exactly the threshold, far from the card
    small = [(10, 250), (40, 250), (40, 270), (10, 270)]
    sb = canvas([(10, 250), (40, 270)])
    put(8, 15, 2, 0, 0.6, (sb[0][0], sb[0][1], sb[1][0], sb[1][1]), canvas(small))
    # just below the threshold
    put(8, 2, 17, 1, 0.59, (120.0, 10.0, 150.0, 30.0),
        [(120.0, 10.0), (150.0, 10.0), (150.0, 30.0), (120.0, 30.0)])
    return out


# ---- face scene -------------------------------------------------------------
FACE_GRID = 32


def face_arrays():
    g = FACE_GRID
    heat = np.zeros((1, g, g), np.float32)
    heat[0] = 0.01
    scale = np.zeros((2, g, g), np.float32)
    offset = np.zeros((2, g, g), np.float32)
    lm = np.zeros((10, g, g), np.float32)

    def put(row, col, h, oy, ox, sh, sw, pts):
        # pts: five (x, y) relative to the box, in units of width and height
        heat[0, row, col] = h
        scale[0, row, col] = math.log(sh / 4.0)
        scale[1, row, col] = math.log(sw / 4.0)
        offset[0, row, col] = oy
        offset[1, row, col] = ox
        for j, (px, py) in enumerate(pts):
            lm[2 * j, row, col] = py
            lm[2 * j + 1, row, col] = px

    pts = [(0.3, 0.35), (0.7, 0.35), (0.5, 0.55), (0.35, 0.75), (0.65, 0.75)]
    # main face: centre ((10 + 0.5 + 0.5) * 4, (14 + 0.25 + 0.5) * 4) = (44, 59),
    # 40 wide, 48 high -> box (24, 35, 64, 83)
    put(14, 10, 0.9, 0.25, 0.5, 48.0, 40.0, pts)
    # the same face one cell to the right, weaker: suppressed (type-2 NMS)
    put(14, 11, 0.8, 0.25, -0.5, 48.0, 40.0, pts)
    # a separate smaller face: centre ((24 + 0 + 0.5) * 4, (6 + 0 + 0.5) * 4)
    # = (98, 26), 16 x 16 -> box (90, 18, 106, 34)
    put(6, 24, 0.5, 0.0, 0.0, 16.0, 16.0, pts)
    # exactly at the score threshold: never a candidate
    put(25, 25, 0.35, 0.0, 0.0, 20.0, 20.0, pts)
    return heat, scale, offset, lm


# ---- graph building ---------------------------------------------------------

def zero_conv(nodes, inits, name, inp, out_ch, stride, bias=None):
    w = np.zeros((out_ch, 3, 1, 1), np.float32)
    inits.append(numpy_helper.from_array(w, name + "_w"))
    ins = [inp, name + "_w"]
    if bias is not None:
        inits.append(numpy_helper.from_array(np.asarray(bias, np.float32), name + "_b"))
        ins.append(name + "_b")
    nodes.append(helper.make_node("Conv", ins, [name + "_conv"], kernel_shape=[1, 1],
                                  strides=[stride, stride], name=name + "_conv"))
    return name + "_conv"


def add_const(nodes, inits, name, inp, const_nchw, out_name):
    inits.append(numpy_helper.from_array(const_nchw.astype(np.float32), name + "_c"))
    nodes.append(helper.make_node("Add", [inp, name + "_c"], [out_name], name=name + "_add"))
    return out_name


def scrfd_head(nodes, inits, name, inp, arr, stride, grid_stride=None):
    """Output `name` = arr laid out as [1, N, C] in anchor order."""
    gs = grid_stride or stride
    gh, gw = CARD_H // gs, CARD_W // gs
    n, c = arr.shape
    assert n == gh * gw * ANCHORS, (name, n, gh, gw)
    nchw = arr.reshape(gh, gw, ANCHORS * c).transpose(2, 0, 1)[None]
    conv = zero_conv(nodes, inits, name, inp, ANCHORS * c, gs)
    added = add_const(nodes, inits, name, conv, nchw, name + "_sum")
    nodes.append(helper.make_node("Transpose", [added], [name + "_nhwc"], perm=[0, 2, 3, 1],
                                  name=name + "_tr"))
    shape = name + "_shape"
    inits.append(numpy_helper.from_array(np.array([1, -1, c], np.int64), shape))
    nodes.append(helper.make_node("Reshape", [name + "_nhwc", shape], [name], name=name + "_rs"))
    return helper.make_tensor_value_info(name, TensorProto.FLOAT, [1, n, c])


def card_model(path, arrays, landmarks=True, bad_grid=False):
    nodes, inits, outs = [], [], []
    inp = "input"
    kinds = ["score", "bbox"] + (["kps"] if landmarks else [])
    for k, kind in enumerate(kinds):
        for s in STRIDES:
            arr = arrays[s][k]
            gs = s
            if bad_grid and s == 8:
                gs = 16
                arr = arrays[16][k]
            outs.append(scrfd_head(nodes, inits, "%s_%d" % (kind, s), inp, arr, s, gs))
    graph = helper.make_graph(nodes, "card_fixture", [
        helper.make_tensor_value_info(inp, TensorProto.FLOAT, [1, 3, CARD_H, CARD_W])], outs, inits)
    save(graph, path)


def dynamic_model(path):
    nodes, inits = [], []
    inp = "input"
    conv = zero_conv(nodes, inits, "score_8", inp, 2, 8, bias=[0.0, 0.0])
    nodes.append(helper.make_node("Identity", [conv], ["score_8"], name="id_score_8"))
    graph = helper.make_graph(nodes, "card_dynamic", [
        helper.make_tensor_value_info(inp, TensorProto.FLOAT, [1, 3, "height", "width"])],
        [helper.make_tensor_value_info("score_8", TensorProto.FLOAT, [1, 2, "h", "w"])], inits)
    # model files are at least 800 bytes long
    graph.doc_string = "fixture: no fixed input size. " * 40
    save(graph, path)


def face_model(path, arrays, lm_channels=10):
    heat, scale, offset, lm = arrays
    nodes, inits, outs = [], [], []
    inp = "input.1"
    g = FACE_GRID
    for name, arr in (("537", heat), ("538", scale), ("539", offset), ("540", lm)):
        c = arr.shape[0]
        if name == "540" and lm_channels != 10:
            c = lm_channels
            conv = zero_conv(nodes, inits, "o" + name, inp, c, 4, bias=np.zeros(c))
            nodes.append(helper.make_node("Identity", [conv], [name], name="id" + name))
        else:
            conv = zero_conv(nodes, inits, "o" + name, inp, c, 4)
            add_const(nodes, inits, "o" + name, conv, arr[None], name)
        outs.append(helper.make_tensor_value_info(name, TensorProto.FLOAT, [1, c, g, g]))
    graph = helper.make_graph(nodes, "face_fixture", [
        helper.make_tensor_value_info(inp, TensorProto.FLOAT, [1, 3, 128, 128])], outs, inits)
    save(graph, path)


def save(graph, path):
    model = helper.make_model(graph, producer_name="vyr-fixtures",
                              opset_imports=[helper.make_opsetid("", OPSET)])
    model.ir_version = 6
    onnx.checker.check_model(model)
    onnx.save(model, path)


def check(out_dir):
    import cv2
    card = card_arrays()
    for fname, landmarks in (("card_fixture.onnx", True), ("card_noland.onnx", False)):
        net = cv2.dnn.readNetFromONNX(os.path.join(out_dir, fname))
        net.setInput(np.random.rand(1, 3, CARD_H, CARD_W).astype(np.float32) * 255)
        names = sorted(net.getUnconnectedOutLayersNames())
        res = dict(zip(names, net.forward(names)))
        kinds = ["score", "bbox"] + (["kps"] if landmarks else [])
        for k, kind in enumerate(kinds):
            for s in STRIDES:
                got = res["%s_%d" % (kind, s)]
                want = card[s][k][None]
                assert got.shape == want.shape, (fname, kind, s, got.shape, want.shape)
                assert np.array_equal(got, want), (fname, kind, s)
    face = face_arrays()
    net = cv2.dnn.readNetFromONNX(os.path.join(out_dir, "face_fixture.onnx"))
    net.setInput(np.random.rand(1, 3, 128, 128).astype(np.float32) * 255)
    names = ["537", "538", "539", "540"]
    for name, got, want in zip(names, net.forward(names), face):
        assert got.shape == (1,) + want.shape, (name, got.shape)
        assert np.array_equal(got[0], want), name
    for fname in ("card_badgrid.onnx", "card_dynamic.onnx", "face_badch.onnx"):
        net = cv2.dnn.readNetFromONNX(os.path.join(out_dir, fname))
    print("fixtures check out")


MODELS = ["card_fixture", "card_noland", "card_badgrid", "card_dynamic", "face_fixture",
          "face_badch"]


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--vyrmodel", required=True, help="path of the built vyrmodel tool")
    ap.add_argument("--out", default=os.path.normpath(os.path.join(here, "..", "tests", "data",
                                                                   "detectors")))
    ap.add_argument("--check", action="store_true", help="compare the bodies in cv2.dnn")
    ap.add_argument("--keep-onnx", action="store_true", help="keep the plain bodies in --out")
    args = ap.parse_args()
    os.makedirs(args.out, exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        body_dir = args.out if args.keep_onnx else tmp
        card = card_arrays()
        card_model(os.path.join(body_dir, "card_fixture.onnx"), card)
        card_model(os.path.join(body_dir, "card_noland.onnx"), card, landmarks=False)
        card_model(os.path.join(body_dir, "card_badgrid.onnx"), card, bad_grid=True)
        dynamic_model(os.path.join(body_dir, "card_dynamic.onnx"))
        face = face_arrays()
        face_model(os.path.join(body_dir, "face_fixture.onnx"), face)
        face_model(os.path.join(body_dir, "face_badch.onnx"), face, lm_channels=8)
        if args.check:
            check(body_dir)
        for name in MODELS:
            cmd = [args.vyrmodel, "pack", "-v", "4.00", "-e", "3", "-i", name[:15], "-x", "-1",
                   "-d", "-1", os.path.join(body_dir, name + ".onnx"),
                   os.path.join(args.out, name + ".p")]
            if subprocess.run(cmd, stdout=subprocess.DEVNULL).returncode != 0:
                sys.exit("vyrmodel failed for %s" % name)
            print("%s.p: %d bytes" % (name, os.path.getsize(os.path.join(args.out, name + ".p"))))


if __name__ == "__main__":
    main()
