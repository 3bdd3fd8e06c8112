#!/usr/bin/python3
"""Shared pieces of the face model build, its checks and its evaluation.

- read_tfjs(): the BlazeFace TF.js graph model (json topology + bin weights).
- TfjsReference: an independent numpy interpreter of that graph, NHWC, as
  TensorFlow defines the ops (SAME padding, fused bias/ReLU, depthwise convs,
  channel padding, reshapes). It never touches ONNX or OpenCV.
- blazeface_decode(): the standard BlazeFace decoding of the raw anchor
  outputs (sigmoid score, anchor-relative box and keypoints, weighted NMS).
- centerface_decode(): the library's decoding of the four output maps
  (heatmap > 0.35, exp sizes, offsets, clamped corner, landmarks, first 100
  candidates in raster order, suppression by overlap / smaller area), the
  same arithmetic as src/detect/centerface.cpp.
- letterbox(): the library's fit of an image into the 128 input.
"""
import base64
import json
import math
import os

import numpy as np

INPUT = 128           # side of the library's network input
NET = 256             # side of the BlazeFace back-camera network
LEVELS = ((16, 2), (8, 6))  # (grid, anchors per cell), in the network's output order
HEAT_THRESHOLD = 0.35  # the library's candidate threshold on the heatmap


# ---- the TF.js graph model -------------------------------------------------------

def attr_str(attr, key):
    return base64.b64decode(attr[key]["s"]).decode()


def attr_ints(attr, key):
    return [int(v) for v in attr[key]["list"].get("i", [])]


def read_tfjs(json_path, bin_path=None):
    """Returns (nodes by name, weights by name, output names in Identity order)."""
    with open(json_path) as f:
        model = json.load(f)
    if bin_path is None:
        bin_path = os.path.join(os.path.dirname(json_path),
                                model["weightsManifest"][0]["paths"][0])
    data = open(bin_path, "rb").read()
    weights = {}
    offset = 0
    sizes = {"float32": 4, "int32": 4}
    types = {"float32": "<f4", "int32": "<i4"}
    for group in model["weightsManifest"]:
        for w in group["weights"]:
            if "quantization" in w:
                raise SystemExit("quantised weights are not expected in %s" % json_path)
            count = int(np.prod(w["shape"])) if w["shape"] else 1
            n = count * sizes[w["dtype"]]
            weights[w["name"]] = np.frombuffer(data, types[w["dtype"]], count, offset).reshape(
                w["shape"]).copy()
            offset += n
    if offset != len(data):
        raise SystemExit("weights manifest covers %d of %d bytes" % (offset, len(data)))
    nodes = {n["name"]: n for n in model["modelTopology"]["node"]}
    outputs = sorted((n for n in nodes.values() if n["op"] == "Identity"),
                     key=lambda n: n["name"])
    return nodes, weights, [n["name"] for n in outputs]


def same_pads(size, k, stride):
    """TensorFlow SAME padding (before, after) for one axis."""
    out = -(-size // stride)
    total = max((out - 1) * stride + k - size, 0)
    return total // 2, total - total // 2


def topo_order(nodes, outputs):
    order, seen = [], set()

    def visit(name):
        name = name.split(":")[0]
        if name in seen:
            return
        seen.add(name)
        for i in nodes[name].get("input", []):
            visit(i)
        order.append(name)
    for o in outputs:
        visit(o)
    return order


class TfjsReference:
    """Runs the TF.js graph with numpy, float64, NHWC."""

    def __init__(self, nodes, weights, outputs):
        self.nodes, self.weights, self.outputs = nodes, weights, outputs
        self.order = topo_order(nodes, outputs)

    @staticmethod
    def _windows(x, kh, kw, stride, padding):
        """Yields (i, j, strided view) for each kernel tap over the TF-padded input."""
        if padding == "SAME":
            pt, pb = same_pads(x.shape[0], kh, stride)
            pl, pr = same_pads(x.shape[1], kw, stride)
        else:
            pt = pb = pl = pr = 0
        xp = np.pad(x, ((pt, pb), (pl, pr), (0, 0)))
        oh = (xp.shape[0] - kh) // stride + 1
        ow = (xp.shape[1] - kw) // stride + 1
        for i in range(kh):
            for j in range(kw):
                yield i, j, xp[i:i + stride * (oh - 1) + 1:stride, j:j + stride * (ow - 1) + 1:stride]

    @staticmethod
    def _conv(x, k, stride, padding):
        # x (H, W, C), k (kh, kw, C, O)
        out = 0.0
        for i, j, patch in TfjsReference._windows(x, k.shape[0], k.shape[1], stride, padding):
            out = out + patch @ k[i, j]
        return out

    @staticmethod
    def _depthwise(x, k, stride, padding):
        kh, kw, c, mult = k.shape
        if mult != 1:
            raise NotImplementedError("depthwise multiplier %d" % mult)
        out = 0.0
        for i, j, patch in TfjsReference._windows(x, kh, kw, stride, padding):
            out = out + patch * k[i, j, :, 0]
        return out

    def run(self, image_nhwc):
        """image_nhwc: (1, 256, 256, 3) network input. Returns the Identity outputs."""
        vals = {}
        for name in self.order:
            n = self.nodes[name]
            op = n["op"]
            a = n.get("attr", {})
            ins = [vals[i.split(":")[0]] for i in n.get("input", [])]
            if op == "Const":
                v = self.weights[name].astype(np.float64) if self.weights[name].dtype.kind == "f" \
                    else self.weights[name]
            elif op == "Placeholder":
                v = image_nhwc.astype(np.float64)
            elif op == "_FusedConv2D":
                if attr_str(a, "data_format") != "NHWC" or set(attr_ints(a, "dilations")) != {1}:
                    raise NotImplementedError(name)
                st = attr_ints(a, "strides")
                v = self._conv(ins[0][0], ins[1], st[1], attr_str(a, "padding"))[None]
                fused = [base64.b64decode(s).decode() for s in a["fused_ops"]["list"]["s"]]
                if fused[0] != "BiasAdd":
                    raise NotImplementedError(str(fused))
                v = v + ins[2]
                for f in fused[1:]:
                    if f != "Relu":
                        raise NotImplementedError(f)
                    v = np.maximum(v, 0)
            elif op == "DepthwiseConv2dNative":
                st = attr_ints(a, "strides")
                v = self._depthwise(ins[0][0], ins[1], st[1], attr_str(a, "padding"))[None]
            elif op == "AddV2":
                v = ins[0] + ins[1]
            elif op == "Relu":
                v = np.maximum(ins[0], 0)
            elif op == "MaxPool":
                ks, st = attr_ints(a, "ksize"), attr_ints(a, "strides")
                x = ins[0][0]
                if ks[1:3] != [2, 2] or st[1:3] != [2, 2] or x.shape[0] % 2 or x.shape[1] % 2:
                    raise NotImplementedError(name)
                v = x.reshape(x.shape[0] // 2, 2, x.shape[1] // 2, 2, x.shape[2]).max(axis=(1, 3))[None]
            elif op == "Pad":
                v = np.pad(ins[0], [tuple(p) for p in ins[1].astype(int)])
            elif op == "Reshape":
                v = ins[0].reshape([int(s) for s in ins[1]])
            elif op == "Identity":
                v = ins[0]
            else:
                raise NotImplementedError(op)
            vals[name] = v
        return [vals[o] for o in self.outputs]


# ---- input -----------------------------------------------------------------------------

def letterbox(bgr, n=INPUT):
    """The library's fit: resize keeping the aspect (long side n), black border
    centred, odd remainder right/bottom. Returns (square, left, top, scale)."""
    import cv2
    h, w = bgr.shape[:2]
    if w > h:
        nw, nh, s = n, max(n * h // w, 1), np.float32(n) / np.float32(w)
    else:
        nw, nh, s = max(n * w // h, 1), n, np.float32(n) / np.float32(h)
    r = cv2.resize(bgr, (nw, nh), interpolation=cv2.INTER_LINEAR)
    m = max(nw, nh)
    left = (m - nw) // 2 if nw < nh else 0
    top = (m - nh) // 2 if nw >= nh else 0
    out = cv2.copyMakeBorder(r, top, m - nh - top, left, m - nw - left, cv2.BORDER_CONSTANT, 0)
    return out, left, top, float(s)


def upsample2_half_pixel(x):
    """Bilinear x2 with half-pixel centres and edge clamping, (H, W, C) float."""
    h, w = x.shape[:2]

    def axis_weights(n):
        src = (np.arange(2 * n) + 0.5) / 2 - 0.5
        src = np.clip(src, 0, n - 1)
        i0 = np.floor(src).astype(int)
        i1 = np.minimum(i0 + 1, n - 1)
        return i0, i1, src - i0
    y0, y1, fy = axis_weights(h)
    x0, x1, fx = axis_weights(w)
    top = x[y0] * (1 - fy)[:, None, None] + x[y1] * fy[:, None, None]
    return top[:, x0] * (1 - fx)[None, :, None] + top[:, x1] * fx[None, :, None]


def reference_input(rgb128):
    """The network input the rebuilt graph computes from a 128 RGB image
    (0..255): upsampled to 256 and scaled to [-1, 1], NHWC."""
    up = upsample2_half_pixel(rgb128.astype(np.float64))
    return (up / 127.5 - 1.0)[None]


# ---- decodings ------------------------------------------------------------------------

def anchors():
    """Anchor centres of the 896 outputs, in 256 units, in output order."""
    out = []
    for grid, per_cell in LEVELS:
        for y in range(grid):
            for x in range(grid):
                for _ in range(per_cell):
                    out.append(((x + 0.5) / grid * NET, (y + 0.5) / grid * NET))
    return np.array(out)


def _iou(a, b):
    xx1, yy1 = max(a[0], b[0]), max(a[1], b[1])
    xx2, yy2 = min(a[2], b[2]), min(a[3], b[3])
    inter = max(0.0, xx2 - xx1) * max(0.0, yy2 - yy1)
    union = (a[2] - a[0]) * (a[3] - a[1]) + (b[2] - b[0]) * (b[3] - b[1]) - inter
    return inter / union if union > 0 else 0.0


def blazeface_decode(scores, regs, threshold, iou=0.3, scale=0.5):
    """Standard BlazeFace decoding. scores (896,), regs (896, 16) as the
    network gives them (256 units). Returns faces in 128 units (scale 0.5):
    dicts with box (x1, y1, x2, y2), score and the 6 keypoints."""
    anc = anchors()
    prob = 1.0 / (1.0 + np.exp(-np.clip(scores, -100, 100)))
    cand = []
    for i in np.nonzero(prob > threshold)[0]:
        cx, cy = anc[i, 0] + regs[i, 0], anc[i, 1] + regs[i, 1]
        w, h = regs[i, 2], regs[i, 3]
        kp = np.array([[anc[i, 0] + regs[i, 4 + 2 * k], anc[i, 1] + regs[i, 5 + 2 * k]]
                       for k in range(6)])
        cand.append((prob[i], np.array([cx - w / 2, cy - h / 2, cx + w / 2, cy + h / 2]), kp))
    cand.sort(key=lambda c: -c[0])
    faces = []
    while cand:
        best = cand[0]
        group = [c for c in cand if _iou(best[1], c[1]) > iou]
        cand = [c for c in cand if _iou(best[1], c[1]) <= iou]
        wsum = sum(c[0] for c in group)
        box = sum(c[0] * c[1] for c in group) / wsum
        kp = sum(c[0] * c[2] for c in group) / wsum
        faces.append({"box": box * scale, "score": float(best[0]), "kp": kp * scale})
    return faces


def centerface_decode(heat, scale, offset, lm, d_w=INPUT, d_h=INPUT,
                      threshold=HEAT_THRESHOLD, nms_threshold=0.5, cap=100):
    """The library's decoding of the four maps (each (C, H, W)). Returns
    faces in network-input pixels: dicts with box, score, landmarks (5, 2)."""
    f32 = np.float32
    H, W = heat.shape[1:]
    cands = []
    for row in range(H):
        for col in range(W):
            if not heat[0, row, col] > threshold:
                continue
            s0 = f32(np.exp(f32(scale[0, row, col]))) * f32(4)
            s1 = f32(np.exp(f32(scale[1, row, col]))) * f32(4)
            o0, o1 = f32(offset[0, row, col]), f32(offset[1, row, col])
            x1 = f32(max(0.0, (float(f32(col) + o1) + 0.5) * 4 - float(s1) / 2.0))
            y1 = f32(max(0.0, (float(f32(row) + o0) + 0.5) * 4 - float(s0) / 2.0))
            x1, y1 = min(x1, f32(d_w)), min(y1, f32(d_h))
            x2, y2 = min(x1 + s1, f32(d_w)), min(y1 + s0, f32(d_h))
            pts = np.array([[lm[2 * j + 1, row, col] * s1 + x1, lm[2 * j, row, col] * s0 + y1]
                            for j in range(5)], np.float32)
            cands.append({"box": np.array([x1, y1, x2, y2], np.float32),
                          "score": float(heat[0, row, col]),
                          "area": float((x2 - x1) * (y2 - y1)), "lm": pts})
    cands = cands[:cap]
    # nms type 2: overlap (+1) / smaller area, highest score first
    cands.sort(key=lambda c: c["score"])
    alive = list(range(len(cands)))
    picks = []
    while alive:
        p = alive[-1]
        picks.append(p)
        keep = []
        for i in alive:
            a, b = cands[i]["box"], cands[p]["box"]
            w = max(0.0, min(a[2], b[2]) - max(a[0], b[0]) + 1)
            h = max(0.0, min(a[3], b[3]) - max(a[1], b[1]) + 1)
            denom = min(cands[i]["area"], cands[p]["area"])
            ratio = w * h / denom if denom > 0 else math.inf
            if not ratio > nms_threshold and i != p:
                keep.append(i)
        alive = keep
    return [cands[p] for p in picks]


def to_image(box, left, top, s):
    """A box in network-input pixels -> (x, y, w, h) in the searched image, as
    the library maps it."""
    x1, y1, x2, y2 = [float(v) for v in box]
    x = int((int(x1) - left) / s)
    y = int((int(y1) - top) / s)
    return x, y, int(int(x2 - x1 + 1) / s), int(int(y2 - y1 + 1) / s)
