#!/usr/bin/python3
"""Builds the face detector body: the BlazeFace back-camera network (TF.js
graph model) rebuilt as an ONNX graph for OpenCV 4.6, with a fixed head that
re-encodes its anchor outputs as the four maps our face decoder reads.

  convert_face.py BLAZEFACE.json OUT.onnx [--threshold T] [--images DIR]

Graph: input "input.1" 1x3x128x128, RGB 0..255 -> bilinear x2 (half-pixel)
-> x/127.5 - 1 -> BlazeFace (256x256, 896 anchors on a 16x16 grid with 2 per
cell and an 8x8 grid with 6 per cell) -> head -> "537" heatmap (1 ch), "538"
log sizes (2), "539" offsets (2), "540" landmarks (10), each 1xCx32x32 planar.

Head, per pyramid level, all fixed weights:
- heat = sigmoid(max over the cell's anchor logits + logit(0.35) - logit(T)),
  so heat > 0.35 exactly where the BlazeFace score of some anchor > T;
- the cell's 16 regressors averaged over its anchors, weighted by the softmax
  of their logits (stands in for BlazeFace's weighted suppression), scaled to
  the 128 frame;
- sizes ln(max(h, 0) + 0.01) - ln 4 (height first), offsets that put the box
  centre where BlazeFace puts it, five points (both eyes, nose, and two mouth
  corners synthesised from the mouth centre along the eye line) relative to
  the clamped box corner, exactly as the decoder undoes them;
- each coarse cell written to one 32x32 cell: (2i, 2j) for the 16x16 level,
  (4i+1, 4j+1) for the 8x8 level; the two sets never meet, other cells stay 0.

Checks (exit status 1 on any mismatch):
(a) the raw anchor outputs of the OpenCV-run graph against our own numpy
    interpreter of the ORIGINAL TF.js graph (face_common.TfjsReference), at
    several inputs;
(b) the heatmap against the one the reference logits and the threshold
    give, and the four maps decoded by the library's rule against the
    standard BlazeFace decoding of the reference outputs, on the same inputs:
    the same faces, boxes and points within 2 px of the 128 frame.
"""
import argparse
import base64
import glob
import math
import os
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import face_common as fc  # noqa: E402

OUT_GRID = 32
MOUTH_HALF_WIDTH = 0.414  # half the mouth width over the eye distance of the usual 5-point template
SIZE_EPS = 0.01


class Graph:
    def __init__(self):
        self.nodes, self.inits = [], []
        self.n = 0

    def name(self, base):
        self.n += 1
        return "%s_%d" % (base, self.n)

    def const(self, array, base="c"):
        nm = self.name(base)
        self.inits.append(numpy_helper.from_array(np.ascontiguousarray(array, np.float32), nm))
        return nm

    def const_i(self, values):
        nm = self.name("i")
        self.inits.append(numpy_helper.from_array(np.array(values, np.int64), nm))
        return nm

    def op(self, op_type, inputs, out=None, **attrs):
        out = out or self.name(op_type.lower())
        self.nodes.append(helper.make_node(op_type, inputs, [out], name=out, **attrs))
        return out

    def conv(self, x, w, b=None, pads=(0, 0, 0, 0), stride=1, group=1, out=None):
        ins = [x, self.const(w, "w")]
        if b is not None:
            ins.append(self.const(b, "b"))
        k = w.shape[2:]
        return self.op("Conv", ins, out, kernel_shape=list(k), strides=[stride, stride],
                       pads=list(pads), group=group, dilations=[1, 1])

    def linear(self, x, mat, bias=None, out=None):
        """1x1 conv: out[o] = sum_i mat[o, i] * x[i] + bias[o]."""
        mat = np.asarray(mat, np.float32)
        return self.conv(x, mat[:, :, None, None],
                         None if bias is None else np.asarray(bias, np.float32), out=out)


def build_backbone(g, nodes, weights, outputs, x):
    """Emits the TF.js graph; returns {Identity output: NCHW head map name}."""
    val = {}
    size = {}  # spatial side per value
    order = fc.topo_order(nodes, outputs)
    for name in order:
        n = nodes[name]
        op, a = n["op"], n.get("attr", {})
        ins = [i.split(":")[0] for i in n.get("input", [])]
        if op == "Const":
            continue
        if op == "Placeholder":
            val[name], size[name] = x, fc.NET
        elif op in ("_FusedConv2D", "DepthwiseConv2dNative"):
            k = weights[ins[1]]
            stride = fc.attr_ints(a, "strides")[1]
            padding = fc.attr_str(a, "padding")
            s_in = size[ins[0]]
            if padding == "SAME":
                pt, pb = fc.same_pads(s_in, k.shape[0], stride)
                pl, pr = fc.same_pads(s_in, k.shape[1], stride)
            else:
                pt = pb = pl = pr = 0
            if op == "_FusedConv2D":
                w = k.transpose(3, 2, 0, 1)
                y = g.conv(val[ins[0]], w, weights[ins[2]], (pt, pl, pb, pr), stride)
                fused = [base64.b64decode(s).decode() for s in a["fused_ops"]["list"]["s"]]
                if fused not in (["BiasAdd"], ["BiasAdd", "Relu"]):
                    raise SystemExit("unexpected fused ops %s" % fused)
                if fused[-1] == "Relu":
                    y = g.op("Relu", [y])
            else:
                c = k.shape[2]
                w = k.transpose(2, 3, 0, 1)  # (C, 1, kh, kw)
                y = g.conv(val[ins[0]], w, np.zeros(c, np.float32), (pt, pl, pb, pr), stride,
                           group=c)
            val[name] = y
            size[name] = -(-s_in // stride)
        elif op == "AddV2":
            val[name], size[name] = g.op("Add", [val[ins[0]], val[ins[1]]]), size[ins[0]]
        elif op == "Relu":
            val[name], size[name] = g.op("Relu", [val[ins[0]]]), size[ins[0]]
        elif op == "MaxPool":
            val[name] = g.op("MaxPool", [val[ins[0]]], kernel_shape=[2, 2], strides=[2, 2])
            size[name] = size[ins[0]] // 2
        elif op == "Pad":
            p = weights[ins[1]].astype(int)
            if p[:3].any() or p[3, 0] != 0:
                raise SystemExit("only trailing channel padding is supported: %s" % p.tolist())
            # channel count of the padded value = its producer's output channels
            c_in = channels_of(nodes, weights, ins[0])
            eye = np.zeros((c_in + p[3, 1], c_in), np.float32)
            eye[:c_in] = np.eye(c_in)
            val[name], size[name] = g.linear(val[ins[0]], eye), size[ins[0]]
        elif op == "Reshape":
            val[name], size[name] = val[ins[0]], size[ins[0]]
        elif op == "Identity":
            val[name], size[name] = val[ins[0]], size[ins[0]]
        else:
            raise SystemExit("unsupported op %s" % op)
    return {o: val[o] for o in outputs}


def channels_of(nodes, weights, name):
    n = nodes[name]
    op = n["op"]
    ins = [i.split(":")[0] for i in n.get("input", [])]
    if op == "_FusedConv2D":
        return weights[ins[1]].shape[3]
    if op == "DepthwiseConv2dNative":
        return weights[ins[1]].shape[2]
    if op == "Pad":
        return channels_of(nodes, weights, ins[0]) + int(weights[ins[1]][3, 1])
    return channels_of(nodes, weights, ins[0])


def level_head(g, score, reg, grid, per_cell, threshold, out_stride, out_pos):
    """Re-encodes one level; returns its 15 channels placed on the 32x32 grid."""
    A = per_cell
    half = 0.5  # 256 -> 128 units
    c0 = math.log(fc.HEAT_THRESHOLD / (1 - fc.HEAT_THRESHOLD)) - math.log(threshold / (1 - threshold))
    # heat: max over anchors
    if A == 1:
        m = score
    else:
        sl = [g.linear(score, np.eye(A)[a:a + 1]) for a in range(A)]
        m = g.op("Max", sl)
    heat = g.op("Sigmoid", [g.linear(m, [[1.0]], [c0])])
    # softmax over anchors: exp(l - m) / sum
    rep_m = g.linear(m, np.ones((A, 1)))
    e = g.op("Exp", [g.op("Sub", [score, rep_m])])
    denom = g.linear(g.linear(e, np.ones((1, A))), np.ones((A, 1)))
    wgt = g.op("Div", [e, denom])
    # weighted average of the 16 regressors, in 128 units
    rep = np.zeros((16 * A, A), np.float32)
    for a in range(A):
        rep[a * 16:(a + 1) * 16, a] = 1
    prod = g.op("Mul", [reg, g.linear(wgt, rep)])
    summ = np.zeros((16, 16 * A), np.float32)
    for a in range(A):
        summ[:, a * 16:(a + 1) * 16] = np.eye(16) * half
    R = g.linear(prod, summ)  # dx, dy, w, h, then 6 (x, y) keypoints

    # sizes (h, w): s = max(., 0) + eps; "538" = ln s - ln 4
    sel_hw = np.zeros((2, 16), np.float32)
    sel_hw[0, 3] = 1
    sel_hw[1, 2] = 1
    S = g.linear(g.op("Relu", [g.linear(R, sel_hw)]), np.eye(2), [SIZE_EPS, SIZE_EPS])
    logs = g.linear(g.op("Log", [S]), np.eye(2), [-math.log(4.0)] * 2)
    # offsets (y, x)
    sel_off = np.zeros((2, 16), np.float32)
    sel_off[0, 1] = 0.25
    sel_off[1, 0] = 0.25
    off = g.linear(R, sel_off, [0.5, 0.5])
    # anchor centres in 128 units (y, x)
    ys, xs = np.meshgrid((np.arange(grid) + 0.5) / grid * fc.INPUT,
                         (np.arange(grid) + 0.5) / grid * fc.INPUT, indexing="ij")
    centre_map = np.stack([ys, xs])[None].astype(np.float32)
    sel_c = np.zeros((2, 16), np.float32)
    sel_c[0, 1] = 1
    sel_c[1, 0] = 1
    C = g.op("Add", [g.linear(R, sel_c), g.const(centre_map, "anchor")])
    # clamped corner (y1, x1) = min(max(c - s/2, 0), 128)
    corner = g.op("Sub", [C, g.linear(S, np.eye(2) * 0.5)])
    corner = g.op("Relu", [corner])
    corner = g.op("Relu", [g.linear(corner, -np.eye(2), [fc.INPUT] * 2)])
    corner = g.linear(corner, -np.eye(2), [fc.INPUT] * 2)
    # five points, (y, x) per point, absolute
    kp = lambda k, axis: 4 + 2 * k + axis  # noqa: E731  (axis 0: x, 1: y)
    P = np.zeros((10, 16), np.float32)
    for j, k in enumerate((0, 1, 2)):  # image-left eye, other eye, nose tip
        P[2 * j, kp(k, 1)] = 1
        P[2 * j + 1, kp(k, 0)] = 1
    for j, sign in ((3, -1), (4, 1)):  # mouth corners: mouth -/+ f * (eye1 - eye0)
        for axis, ch in ((1, 2 * j), (0, 2 * j + 1)):
            P[ch, kp(3, axis)] = 1
            P[ch, kp(1, axis)] += sign * MOUTH_HALF_WIDTH
            P[ch, kp(0, axis)] -= sign * MOUTH_HALF_WIDTH
    pts = g.op("Add", [g.linear(R, P), g.const(np.tile(centre_map, (1, 5, 1, 1)), "anchor")])
    rep_yx = np.tile(np.eye(2), (5, 1))  # (10, 2): y, x, y, x, ...
    rel = g.op("Div", [g.op("Sub", [pts, g.linear(corner, rep_yx)]), g.linear(S, rep_yx)])
    cat = g.op("Concat", [heat, logs, off, rel], axis=1)
    # placement on the 32x32 grid
    k = np.zeros((15, 1, out_stride, out_stride), np.float32)
    k[:, 0, out_pos, out_pos] = 1
    wt = np.zeros((15, 15, out_stride, out_stride), np.float32)
    for c in range(15):
        wt[c, c] = k[c, 0]
    return g.op("ConvTranspose", [cat, g.const(wt, "place")], kernel_shape=[out_stride] * 2,
                strides=[out_stride] * 2)


def build(json_path, threshold):
    nodes, weights, outputs = fc.read_tfjs(json_path)
    # Identity outputs, in sorted name order: Identity (scores 16x16),
    # Identity_1 (scores 8x8), Identity_2 (regs 16x16), Identity_3 (regs 8x8).
    shapes = {o: channels_of(nodes, weights, o) for o in outputs}
    if [shapes[o] for o in outputs] != [2, 6, 32, 96]:
        raise SystemExit("unexpected BlazeFace heads: %s" % shapes)
    g = Graph()
    x = "input.1"
    up = g.op("Resize", [x, g.const(np.zeros(0), "roi"), g.const([1, 1, 2, 2], "scales")],
              mode="linear", coordinate_transformation_mode="half_pixel")
    norm = g.linear(up, np.eye(3) / 127.5, [-1.0] * 3)
    heads = build_backbone(g, nodes, weights, outputs, norm)
    raw = [heads[o] for o in outputs]
    lv16 = level_head(g, raw[0], raw[2], 16, 2, threshold, 2, 0)
    lv8 = level_head(g, raw[1], raw[3], 8, 6, threshold, 4, 1)
    both = g.op("Add", [lv16, lv8])
    names = ["537", "538", "539", "540"]
    bounds = [0, 1, 3, 5, 15]
    for i, nm in enumerate(names):
        g.op("Slice", [both, g.const_i([bounds[i]]), g.const_i([bounds[i + 1]]), g.const_i([1])], nm)
    vi = lambda nm, c: helper.make_tensor_value_info(nm, TensorProto.FLOAT, [1, c, OUT_GRID, OUT_GRID])  # noqa
    graph = helper.make_graph(
        g.nodes, "vyr_face_blazeface",
        [helper.make_tensor_value_info(x, TensorProto.FLOAT, [1, 3, fc.INPUT, fc.INPUT])],
        [vi("537", 1), vi("538", 2), vi("539", 2), vi("540", 10)], g.inits)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 11)],
                              producer_name="vyrocr convert_face")
    model.ir_version = 6
    onnx.checker.check_model(model)
    return model, raw, (nodes, weights, outputs)


# ---- checks -------------------------------------------------------------------------------

def check_inputs(image_dir):
    """128x128 RGB inputs: the committed face photographs letterboxed as the
    library does, and two inputs without faces."""
    import cv2
    out = []
    for p in sorted(glob.glob(os.path.join(image_dir, "photo_*.jpg"))):
        bgr = cv2.imread(p, cv2.IMREAD_COLOR)
        sq, _, _, _ = fc.letterbox(bgr)
        out.append((os.path.basename(p), cv2.cvtColor(sq, cv2.COLOR_BGR2RGB)))
    if len(out) < 2:
        raise SystemExit("face photographs missing in %s" % image_dir)
    rng = np.random.default_rng(7)
    out.append(("grey", np.full((128, 128, 3), 128, np.uint8)))
    out.append(("noise", rng.integers(0, 256, (128, 128, 3)).astype(np.uint8)))
    return out


def expected_heat(scores16, scores8, threshold):
    """The 32x32 heatmap the head should give for the reference anchor logits
    (TF.js layout (1, G*G*A, 1))."""
    c0 = math.log(fc.HEAT_THRESHOLD / (1 - fc.HEAT_THRESHOLD)) - math.log(threshold / (1 - threshold))
    heat = np.zeros((OUT_GRID, OUT_GRID))
    for scores, grid, per_cell, stride, pos in ((scores16, 16, 2, 2, 0), (scores8, 8, 6, 4, 1)):
        m = scores.reshape(grid, grid, per_cell).max(axis=2)
        heat[pos::stride, pos::stride] = 1 / (1 + np.exp(-(m + c0)))
    return heat


def run_checks(model_bytes, raw_names, ref, threshold, image_dir):
    import cv2
    try:
        net = cv2.dnn.readNetFromONNX(np.frombuffer(model_bytes, np.uint8))
    except cv2.error as e:
        print("convert_face: OpenCV does not import the graph: %s" % e)
        return 1
    net.setPreferableBackend(cv2.dnn.DNN_BACKEND_OPENCV)
    cv2.setNumThreads(2)
    nodes, weights, outputs = ref
    interp = fc.TfjsReference(nodes, weights, outputs)
    fails = 0
    worst_raw = 0.0
    faces_seen = 0
    for label, rgb in check_inputs(image_dir):
        blob = rgb.astype(np.float32).transpose(2, 0, 1)[None]
        net.setInput(blob)
        # OpenCV 4.6 names the layer of an ONNX node "onnx_node!<node name>".
        try:
            got = net.forward(["onnx_node!" + r for r in raw_names] + ["537", "538", "539", "540"])
        except cv2.error as e:
            print("convert_face: %s: OpenCV cannot run the graph: %s" % (label, e))
            return fails + 1
        want = interp.run(fc.reference_input(rgb))
        # (a) raw anchor outputs, NCHW -> NHWC -> the TF.js reshape
        for g_raw, w_raw, o in zip(got[:4], want, outputs):
            g_flat = g_raw.transpose(0, 2, 3, 1).reshape(w_raw.shape)
            diff = float(np.abs(g_flat - w_raw).max())
            tol = 2e-3 * max(1.0, float(np.abs(w_raw).max()))
            worst_raw = max(worst_raw, diff / max(1.0, float(np.abs(w_raw).max())))
            if diff > tol:
                print("convert_face: %s: %s differs by %.4g (tolerance %.4g)" % (label, o, diff, tol))
                fails += 1
        # (b) the heatmap against the reference scores: > 0.35 exactly where
        # BlazeFace's best anchor of the cell scores above the threshold
        want_heat = expected_heat(want[0], want[1], threshold)
        diff = float(np.abs(got[4][0, 0] - want_heat).max())
        if diff > 1e-3:
            print("convert_face: %s: heatmap differs by %.4g from the reference scores" % (label, diff))
            fails += 1
        # (b) decoded faces
        scores = np.concatenate([want[0].reshape(-1), want[1].reshape(-1)])
        regs = np.concatenate([want[2].reshape(-1, 16), want[3].reshape(-1, 16)])
        bf = fc.blazeface_decode(scores, regs, threshold)
        cf = fc.centerface_decode(*[m[0] for m in got[4:]])
        faces_seen += len(bf)
        if len(bf) != len(cf):
            print("convert_face: %s: BlazeFace finds %d faces, the re-encoded maps %d"
                  % (label, len(bf), len(cf)))
            fails += 1
            continue
        for f in bf:
            match = min(cf, key=lambda c: np.abs(c["box"] - f["box"]).max())
            box_err = float(np.abs(match["box"] - np.clip(f["box"], 0, fc.INPUT)).max())
            pts = f["kp"][:3]
            lm_err = float(np.abs(match["lm"][:3] - pts).max())
            print("convert_face: %-16s BlazeFace %s %.2f | maps %s %.2f | box %.2f px, points %.2f px"
                  % (label, np.round(f["box"], 1), f["score"], np.round(match["box"], 1),
                     match["score"], box_err, lm_err))
            if box_err > 2.0 or lm_err > 2.0:
                print("convert_face: %s: decoded face differs from BlazeFace" % label)
                fails += 1
    print("convert_face: raw outputs within %.2e (relative) of the reference" % worst_raw)
    if faces_seen == 0:
        print("convert_face: no face found in the check photographs")
        fails += 1
    return fails


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("json")
    ap.add_argument("out")
    ap.add_argument("--threshold", type=float, default=0.5)
    ap.add_argument("--images", default=os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                     "..", "tests", "data", "real_face"))
    args = ap.parse_args()
    model, raw, ref = build(args.json, args.threshold)
    data = model.SerializeToString()
    fails = run_checks(data, raw, ref, args.threshold, args.images)
    if fails:
        print("convert_face: %d check(s) failed" % fails)
        sys.exit(1)
    with open(args.out, "wb") as f:
        f.write(data)
    print("convert_face: %s written (%d bytes, %d nodes, threshold %.2f)"
          % (args.out, len(data), len(model.graph.node), args.threshold))


if __name__ == "__main__":
    main()
