#!/usr/bin/python3
"""Trains the card detector ("card.p"): a small SCRFD-style network on synthetic scenes.

The library shrinks a 1600-pixel frame to a 400-pixel working image, letterboxes
it into the model's input and decodes three strides (8, 16, 32) with 2 anchors
per cell: a card probability, the box edges and the four card corners, all in
stride units from the cell corner (j*s, i*s). This script makes that model:

  scenes:  (drawn by card_scene.py, shared with render_cards.py)
           ID-1 cards (85.6 x 54 mm) with varied designs, guilloche, photo,
           text and 2-3 OCR-B MRZ lines (and backs without photo), in
           perspective, turned (also upside down), on cluttered backgrounds
           with card-like distractors, uneven light, glare, shadow, blur,
           noise and JPEG, rendered at the working-image size (400 x 300 and
           other heights) with the card sizes the card path accepts
  network: MobileNet-like backbone, top-down FPN, one head per stride; input
           1x3x288x384 RGB (v - 127.5) / 128, which a 400 x 300 working image
           fills with r = 0.96 and no padding; sigmoid inside the graph
  train:     /usr/bin/python3 tools/train_card.py train --fresh --minutes 94 --total-minutes 94 --lr 2e-3
             (a later run without --fresh resumes from the checkpoint; the cosine
             schedule runs over --total-minutes of accumulated training time)
  export:    /usr/bin/python3 tools/train_card.py export [--kps-scale F] [--slim CKPT]
  calibrate: /usr/bin/python3 tools/train_card.py calibrate --onnx M   (size bias -> --kps-scale)
  eval:      /usr/bin/python3 tools/train_card.py eval --onnx M --count 300 --json OUT
  fixtures:  /usr/bin/python3 tools/train_card.py fixtures   (tests/data/real_card)
  show:      /usr/bin/python3 tools/train_card.py show        (a few scenes with their corners)

Seeds: training from 10,000,000 up, evaluation from 1,000 (wide), 101,000
(new camera), 201,000 (old camera), 301,000 (no card), calibration 401,000,
test fixtures 5,000,000: all disjoint.
Checkpoint: tools/models/card_ckpt.pt (resumable); export: tools/models/card.onnx.
"""
import argparse
import json
import math
import multiprocessing as mp
import os
import sys
import time

import numpy as np
import cv2

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from card_scene import (ASPECT, TEX_H, TEX_W, background, card_texture, distractor, drop_shadow,  # noqa: E402
                        order_corners, paste, photometrics, rounded_mask)

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
MODELS = os.path.join(HERE, "models")
CKPT = os.path.join(MODELS, "card_ckpt.pt")
ONNX_OUT = os.path.join(MODELS, "card.onnx")

IN_W, IN_H = 384, 288
STRIDES = (8, 16, 32)
ANCHORS = 2
OUT_NAMES = ["score_8", "score_16", "score_32", "bbox_8", "bbox_16", "bbox_32", "kps_8", "kps_16", "kps_32"]
FRAME_W = 400
# Expected card size on the working image (camera flag 1: old, other: new) and
# the post-processing's window on the deviations.
CAMERAS = {"new": (219, 138), "old": (254, 159)}
WIN_DL = (-20, 30)
WIN_DS = (-17, 27)
RECT_CHECK = {"new": (210, 132), "old": (247, 154)}

TRAIN_SEED0 = 10_000_000   # training scenes: seeds from here upwards
EVAL_SEED0 = 1_000         # held-out scenes: below 1,000,000
FIXTURE_SEED0 = 5_000_000  # committed test scenes


def make_scene(seed, size_mode="train", frame_h=None):
    """Returns (working image BGR uint8, corners float32 [4,2] or None).

    size_mode: "train" (mixture around the card path's sizes), "new"/"old"
    (card sizes the card path expects for that camera, with placement jitter)
    or "wide" (the whole training range, for the detection rate)."""
    rng = np.random.default_rng(seed)
    W = FRAME_W
    if frame_h is None:
        frame_h = 300 if rng.random() < 0.7 else int(rng.integers(225, 301))
    H = frame_h
    img = background(rng, W, H)
    has_card = size_mode != "train" or rng.random() > 0.04
    if size_mode == "train":
        for _ in range(int(rng.choice([0, 1, 2], p=[0.55, 0.35, 0.10]))):
            distractor(rng, img, None)
    elif rng.random() < 0.3:
        distractor(rng, img, None)
    quad = None
    if has_card:
        if size_mode == "new" or size_mode == "old":
            L0 = CAMERAS[size_mode][0]
            L = L0 * rng.uniform(0.94, 1.06)
        elif size_mode == "wide":
            L = rng.uniform(150, 320)
        else:
            L = rng.uniform(185, 295) if rng.random() < 0.75 else rng.uniform(120, 340)
        S = L / ASPECT * rng.uniform(0.97, 1.03)
        r = rng.random()
        ang = rng.normal(0, 6) if r < 0.6 else rng.uniform(-22, 22)
        if rng.random() < 0.3:
            ang += 180.0
        a = math.radians(ang)
        c, s = math.cos(a), math.sin(a)
        base = np.array([[-L / 2, -S / 2], [L / 2, -S / 2], [L / 2, S / 2], [-L / 2, S / 2]], np.float64)
        quad = base @ np.array([[c, s], [-s, c]])
        quad += rng.normal(0, 0.025 * L, (4, 2))  # perspective
        lo = -quad.min(0) + 2
        hi = np.array([W - 3, H - 3]) - quad.max(0)
        if np.any(hi < lo):  # too large for this frame: shrink about the centre
            span = quad.max(0) - quad.min(0)
            k = min((W - 6) / span[0], (H - 6) / span[1])
            quad *= k
            lo = -quad.min(0) + 2
            hi = np.array([W - 3, H - 3]) - quad.max(0)
        ctr = np.array([rng.uniform(lo[0], max(lo[0], hi[0])), rng.uniform(lo[1], max(lo[1], hi[1]))])
        if rng.random() < 0.6:  # scanner framing: mostly near the centre
            mid = np.array([W / 2, H / 2]) + rng.normal(0, 12, 2)
            ctr = np.clip(mid, lo, np.maximum(lo, hi))
        quad = (quad + ctr).astype(np.float32)
        front = rng.random() < 0.6
        tex = card_texture(rng, front)
        # pre-shrink the texture near the target size so the warp does not alias
        tw = int(max(40, min(TEX_W, L * 1.3)))
        th = int(round(tw * TEX_H / TEX_W))
        tex_s = cv2.resize(tex, (tw, th), interpolation=cv2.INTER_AREA)
        mask = rounded_mask(tw, th, 3.18 / 85.6 * tw)
        src = np.array([[0, 0], [tw, 0], [tw, th], [0, th]], np.float32) - 0.5
        M = cv2.getPerspectiveTransform(src, quad)
        if rng.random() < 0.5:
            drop_shadow(rng, img, quad, 4, (2, 8), (0.2, 0.6))
        paste(img, tex_s, mask, M)
        if rng.random() < 0.2:  # fingers over an edge
            for _ in range(int(rng.integers(1, 3))):
                k = int(rng.integers(0, 4))
                p = quad[k] + (quad[(k + 1) % 4] - quad[k]) * rng.uniform(0.2, 0.8)
                skin = (int(rng.integers(60, 160)), int(rng.integers(100, 190)), int(rng.integers(150, 240)))
                cv2.ellipse(img, (int(p[0]), int(p[1])), (int(rng.integers(8, 14)), int(rng.integers(20, 35))),
                            float(rng.uniform(0, 180)), 0, 360, skin, -1, cv2.LINE_AA)
        quad = order_corners(quad)
    img = photometrics(rng, img)
    return img, quad


# ---------------------------------------------------------------- letterbox (as the library does it)
def letterbox(img):
    """Letterbox into IN_W x IN_H in single precision like the library's
    resize_unscale; returns the canvas, r, dw, dh."""
    h, w = img.shape[:2]
    w_r = np.float32(IN_W) / np.float32(w)
    h_r = np.float32(IN_H) / np.float32(h)
    r = h_r if h_r < w_r else w_r
    nw = max(1, int(np.float32(w) * r))
    nh = max(1, int(np.float32(h) * r))
    dw, dh = (IN_W - nw) // 2, (IN_H - nh) // 2
    canvas = np.zeros((IN_H, IN_W, 3), np.uint8)
    canvas[dh:dh + nh, dw:dw + nw] = cv2.resize(img, (nw, nh), interpolation=cv2.INTER_LINEAR)
    return canvas, float(r), dw, dh


def to_blob(canvas_bgr):
    """BGR canvas -> 1x3xHxW RGB (v - 127.5) / 128, the library's pre-processing."""
    x = canvas_bgr[..., ::-1].astype(np.float32)
    x = (x - 127.5) * 0.0078125
    return np.ascontiguousarray(x.transpose(2, 0, 1)[None])


def scene_sample(seed, size_mode="train"):
    img, quad = make_scene(seed, size_mode)
    canvas, r, dw, dh = letterbox(img)
    if quad is None:
        k = np.zeros((4, 2), np.float32)
        ok = 0
    else:
        k = (quad * r + np.array([dw, dh], np.float32)).astype(np.float32)
        ok = 1
    return canvas, k, ok


def render_chunk(seeds):
    cv2.setNumThreads(1)
    out = [scene_sample(int(s)) for s in seeds]
    return (np.stack([o[0] for o in out]), np.stack([o[1] for o in out]), np.array([o[2] for o in out], np.uint8))


# ---------------------------------------------------------------- network
def build_net():
    import torch
    import torch.nn as nn

    def cbr(ci, co, k=3, s=1, g=1):
        pad = k // 2 if k % 2 else 0
        return [nn.Conv2d(ci, co, k, s, pad, groups=g, bias=False), nn.BatchNorm2d(co), nn.ReLU(inplace=True)]

    class Net(nn.Module):
        def __init__(self):
            super().__init__()
            self.export = False
            # Plain convolutions: depthwise ones train several times slower on the CPU.
            self.stem = nn.Sequential(*cbr(3, 24, 4, 4))                                   # /4
            self.l8 = nn.Sequential(*cbr(24, 48, 3, 2), *cbr(48, 48))                      # /8
            self.l16 = nn.Sequential(*cbr(48, 64, 3, 2), *cbr(64, 64), *cbr(64, 64))       # /16
            self.l32 = nn.Sequential(*cbr(64, 96, 3, 2), *cbr(96, 96), *cbr(96, 96))       # /32
            C = 48
            self.lat = nn.ModuleList([nn.Sequential(*cbr(c, C, 1)) for c in (48, 64, 96)])
            self.up = nn.Upsample(scale_factor=2, mode="nearest")
            # stride 8 only has to say "no card" at these card sizes: no head convs there
            self.heads = nn.ModuleList([nn.Identity(), nn.Sequential(*cbr(C, C), *cbr(C, C)),
                                        nn.Sequential(*cbr(C, C), *cbr(C, C))])
            self.cls = nn.ModuleList([nn.Conv2d(C, ANCHORS * 1, 1) for _ in STRIDES])
            self.box = nn.ModuleList([nn.Conv2d(C, ANCHORS * 4, 1) for _ in STRIDES])
            self.kps = nn.ModuleList([nn.Conv2d(C, ANCHORS * 8, 1) for _ in STRIDES])
            for m in self.cls:
                nn.init.constant_(m.bias, -4.6)
            for m in list(self.box) + list(self.kps):
                nn.init.normal_(m.weight, 0, 0.01)
                nn.init.constant_(m.bias, 0.0)

        def forward(self, x):
            f8 = self.l8(self.stem(x))
            f16 = self.l16(f8)
            f32 = self.l32(f16)
            p32 = self.lat[2](f32)
            p16 = self.lat[1](f16) + self.up(p32)
            p8 = self.lat[0](f8) + self.up(p16)
            scores, boxes, kpss = [], [], []
            for i, p in enumerate((p8, p16, p32)):
                h = self.heads[i](p)
                c = self.cls[i](h).permute(0, 2, 3, 1).reshape(x.shape[0] if not self.export else 1, -1, 1)
                b = self.box[i](h).permute(0, 2, 3, 1).reshape(x.shape[0] if not self.export else 1, -1, 4)
                k = self.kps[i](h).permute(0, 2, 3, 1).reshape(x.shape[0] if not self.export else 1, -1, 8)
                if self.export:
                    c = torch.sigmoid(c)
                scores.append(c)
                boxes.append(b)
                kpss.append(k)
            # forward order equals OUT_NAMES order
            return tuple(scores + boxes + kpss)

    return Net()


def anchor_grid(s):
    gh, gw = IN_H // s, IN_W // s
    ys, xs = np.meshgrid(np.arange(gh), np.arange(gw), indexing="ij")
    pts = np.stack([xs.ravel(), ys.ravel()], 1).astype(np.float32) * s
    return np.repeat(pts, ANCHORS, axis=0)  # rows, columns, anchors of a cell in turn


ANCHOR_PTS = {s: anchor_grid(s) for s in STRIDES}


def targets(kps, ok):
    """Per stride: label (1 pos, 0 neg, -1 ignore) [B,N], box target [B,N,4], kps target [B,N,8] in pixels."""
    B = kps.shape[0]
    out = []
    for s in STRIDES:
        a = ANCHOR_PTS[s]
        N = a.shape[0]
        lab = np.zeros((B, N), np.float32)
        tb = np.zeros((B, N, 4), np.float32)
        tk = np.zeros((B, N, 8), np.float32)
        for b in range(B):
            if not ok[b]:
                continue
            q = kps[b]
            x1, y1 = q.min(0)
            x2, y2 = q.max(0)
            m = max(x2 - x1, y2 - y1)
            ctr = q.mean(0)
            d = np.sqrt(((a - ctr) ** 2).sum(1))
            rad = max(0.15 * m, 0.75 * s)
            if not (4 * s <= m <= 16 * s):
                lab[b, d < 1.5 * rad] = -1  # neither taught as card nor as background
                continue
            pos = d <= rad
            if not pos.any():
                pos = d <= d.min() + 1e-3
            lab[b, (d < 1.5 * rad) & ~pos] = -1
            lab[b, pos] = 1
            tb[b, :, 0] = a[:, 0] - x1
            tb[b, :, 1] = a[:, 1] - y1
            tb[b, :, 2] = x2 - a[:, 0]
            tb[b, :, 3] = y2 - a[:, 1]
            tk[b] = (q.reshape(1, 8) - np.tile(a, (1, 4)))
        out.append((lab, tb, tk))
    return out


def loss_fn(outs, tg, torch):
    import torch.nn.functional as F
    scores, boxes, kpss = outs[0:3], outs[3:6], outs[6:9]
    npos = sum(float((t[0] == 1).sum()) for t in tg)
    npos = max(npos, 1.0)
    lc = lb = lk = ls = 0.0
    for i, s in enumerate(STRIDES):
        lab = torch.from_numpy(tg[i][0])
        tb = torch.from_numpy(tg[i][1])
        tk = torch.from_numpy(tg[i][2])
        logit = scores[i][..., 0]
        valid = lab >= 0
        y = (lab == 1).float()
        p = torch.sigmoid(logit)
        ce = F.binary_cross_entropy_with_logits(logit, y, reduction="none")
        pt = p * y + (1 - p) * (1 - y)
        at = 0.25 * y + 0.75 * (1 - y)
        lc = lc + (at * (1 - pt) ** 2 * ce * valid.float()).sum()
        pos = lab == 1
        if pos.any():
            pb = boxes[i][pos] * s
            pk = kpss[i][pos] * s
            lb = lb + (pb - tb[pos]).abs().sum() / 16.0
            lk = lk + (pk - tk[pos]).abs().sum() / 16.0
            # side lengths of the quadrilateral: a direct handle on the size bias
            qp = pk.reshape(-1, 4, 2)
            qt = tk[pos].reshape(-1, 4, 2)
            sp = (qp - qp.roll(1, 1)).norm(dim=2)
            st = (qt - qt.roll(1, 1)).norm(dim=2)
            ls = ls + (sp - st).abs().sum() / 16.0
    lc, lb, lk, ls = lc / npos, lb / npos, lk / npos, ls / npos
    total = lc * 2.0 + lb * 0.5 + lk * 1.0 + ls * 1.0
    return total, (float(lc), float(lb), float(lk), float(ls))


# ---------------------------------------------------------------- training
def augment(rng, imgs, kps, ok):
    imgs = imgs.copy()
    kps = kps.copy()
    for b in range(imgs.shape[0]):
        if rng.random() < 0.5:
            imgs[b] = imgs[b, :, ::-1]
            kps[b, :, 0] = IN_W - 1 - kps[b, :, 0]  # pixel centres sit on integers
        if rng.random() < 0.3:
            imgs[b] = imgs[b, ::-1]
            kps[b, :, 1] = IN_H - 1 - kps[b, :, 1]
        if ok[b]:
            kps[b] = order_corners(kps[b])
        if rng.random() < 0.5:
            f = imgs[b].astype(np.float32) * rng.uniform(0.75, 1.25) + rng.uniform(-25, 25)
            imgs[b] = np.clip(f, 0, 255).astype(np.uint8)
    return imgs, kps


def cmd_train(args):
    import torch
    torch.set_num_threads(args.threads)
    os.makedirs(MODELS, exist_ok=True)
    net = build_net()
    opt = torch.optim.AdamW(net.parameters(), lr=args.lr, weight_decay=1e-4)
    state = {"step": 0, "elapsed": 0.0, "chunk": 0}
    if os.path.exists(CKPT) and not args.fresh:
        ck = torch.load(CKPT, map_location="cpu")
        net.load_state_dict(ck["model"])
        if "opt" in ck:
            opt.load_state_dict(ck["opt"])
        state.update(ck.get("state", {}))
        print("resumed at step %d, %.1f min" % (state["step"], state["elapsed"] / 60), flush=True)
    total = args.total_minutes * 60.0
    budget = args.minutes * 60.0
    P = args.pool
    pool_img = np.zeros((P, IN_H, IN_W, 3), np.uint8)
    pool_kps = np.zeros((P, 4, 2), np.float32)
    pool_ok = np.zeros((P,), np.uint8)
    filled = 0
    wptr = 0
    CH = 16
    ctx = mp.get_context("fork")
    workers = ctx.Pool(args.workers)
    pending = []

    def submit():
        c = state["chunk"]
        state["chunk"] += 1
        seeds = np.arange(CH) + TRAIN_SEED0 + c * CH
        pending.append(workers.apply_async(render_chunk, (seeds,)))

    def harvest(block):
        nonlocal filled, wptr
        got = 0
        while pending and (pending[0].ready() or block):
            im, kp, ok = pending.pop(0).get()
            n = im.shape[0]
            idx = (np.arange(n) + wptr) % P
            pool_img[idx], pool_kps[idx], pool_ok[idx] = im, kp, ok
            wptr = (wptr + n) % P
            filled = min(P, filled + n)
            got += n
            submit()
            block = False
        return got

    for _ in range(args.workers * 3):
        submit()
    t0 = time.time()
    while filled < args.min_pool:
        harvest(True)
        if filled % 320 == 0:
            print("pool %d (%.0f s)" % (filled, time.time() - t0), flush=True)
    print("pool ready: %d scenes in %.0f s" % (filled, time.time() - t0), flush=True)
    rng = np.random.default_rng(int(time.time()))
    net.train()
    start = time.time()
    base_elapsed = state["elapsed"]
    last_save = time.time()
    hist = []
    while True:
        el = base_elapsed + time.time() - start
        if time.time() - start > budget or el > total:
            break
        harvest(False)
        step = state["step"]
        warm = min(1.0, (step + 1) / 200.0)
        lr = args.lr * warm * (0.02 + 0.98 * 0.5 * (1 + math.cos(math.pi * min(1.0, el / total))))
        for g in opt.param_groups:
            g["lr"] = lr
        idx = rng.integers(0, filled, args.batch)
        im, kp = augment(rng, pool_img[idx], pool_kps[idx], pool_ok[idx])
        x = torch.from_numpy(((im[..., ::-1].astype(np.float32) - 127.5) * 0.0078125).transpose(0, 3, 1, 2).copy())
        tg = targets(kp, pool_ok[idx])
        outs = net(x)
        loss, parts = loss_fn(outs, tg, torch)
        opt.zero_grad()
        loss.backward()
        torch.nn.utils.clip_grad_norm_(net.parameters(), 10.0)
        opt.step()
        state["step"] = step + 1
        hist.append((float(loss),) + parts)
        if state["step"] % 50 == 0:
            h = np.mean(hist[-50:], 0)
            print("step %d  %.1f min  lr %.2e  loss %.3f  cls %.3f box %.3f kps %.3f side %.3f  pool %d" %
                  (state["step"], el / 60, lr, *h, filled), flush=True)
        if time.time() - last_save > 120:
            state["elapsed"] = base_elapsed + time.time() - start
            save_ckpt(torch, net, opt, state)
            last_save = time.time()
    state["elapsed"] = base_elapsed + time.time() - start
    save_ckpt(torch, net, opt, state)
    workers.terminate()
    print("done: step %d, %.1f min" % (state["step"], state["elapsed"] / 60), flush=True)


def save_ckpt(torch, net, opt, state, with_opt=True):
    tmp = CKPT + ".tmp"
    d = {"model": net.state_dict(), "state": dict(state), "input": [IN_H, IN_W]}
    if with_opt:
        d["opt"] = opt.state_dict()
    torch.save(d, tmp)
    os.replace(tmp, CKPT)


# ---------------------------------------------------------------- export
def stretch_corners(net, scale):
    """Scales every anchor's four corners about their own centre by `scale`,
    folded into the linear corner convolutions (no change to the graph):
    x_j' = scale * x_j + (1 - scale) / 4 * sum_i x_i, the same for y."""
    import torch
    A = np.eye(8) * scale
    for i in range(8):
        for j in range(8):
            if i % 2 == j % 2:
                A[j, i] += (1 - scale) / 4
    A = torch.tensor(A, dtype=torch.float32)
    with torch.no_grad():
        for conv in net.kps:
            w = conv.weight.view(ANCHORS, 8, -1)
            b = conv.bias.view(ANCHORS, 8)
            conv.weight.copy_(torch.einsum("ji,aic->ajc", A, w).reshape(conv.weight.shape))
            conv.bias.copy_(torch.einsum("ji,ai->aj", A, b).reshape(conv.bias.shape))


def cmd_export(args):
    import torch
    net = build_net()
    ck = torch.load(args.ckpt, map_location="cpu")
    net.load_state_dict(ck["model"])
    net.eval()
    net.export = True
    if args.kps_scale != 1.0:
        stretch_corners(net, args.kps_scale)
    x = torch.zeros(1, 3, IN_H, IN_W)
    torch.onnx.export(net, x, args.out, opset_version=11, input_names=["input.1"], output_names=OUT_NAMES,
                      do_constant_folding=True)
    print("wrote", args.out, os.path.getsize(args.out), "bytes")
    if args.slim:  # checkpoint for commit: weights only, no optimiser state
        d = {"model": ck["model"], "state": ck.get("state", {}), "input": [IN_H, IN_W]}
        torch.save(d, args.slim)
        print("wrote", args.slim, os.path.getsize(args.slim), "bytes")


# ---------------------------------------------------------------- evaluation (decoding as the library does)
def decode(outs, r, dw, dh, img_w, img_h, thr=0.6, iou=0.45, topk=400):
    cands = []
    for i, s in enumerate(STRIDES):
        sc = outs["score_%d" % s].reshape(-1)
        bb = outs["bbox_%d" % s].reshape(-1, 4)
        kp = outs["kps_%d" % s].reshape(-1, 8)
        a = ANCHOR_PTS[s] / s
        for n in np.nonzero(sc >= thr)[0]:
            cx, cy = a[n]
            l, t, rr, b = bb[n]
            x1 = max(((cx - l) * s - dw) / r, 0)
            y1 = max(((cy - t) * s - dh) / r, 0)
            x2 = min(((cx + rr) * s - dw) / r, img_w - 1)
            y2 = min(((cy + b) * s - dh) / r, img_h - 1)
            k = np.array([[((kp[n, 2 * j] + cx) * s - dw) / r, ((kp[n, 2 * j + 1] + cy) * s - dh) / r]
                          for j in range(4)], np.float32)
            k[:, 0] = np.minimum(np.maximum(k[:, 0], 0), img_w - 1)
            k[:, 1] = np.minimum(np.maximum(k[:, 1], 0), img_h - 1)
            cands.append((float(sc[n]), np.array([x1, y1, x2, y2]), k))
    cands.sort(key=lambda c: -c[0])
    keep = []
    dead = [False] * len(cands)
    for i in range(len(cands)):
        if dead[i]:
            continue
        keep.append(cands[i])
        bi = cands[i][1]
        for j in range(i + 1, len(cands)):
            if dead[j]:
                continue
            bj = cands[j][1]
            ih = min(bi[3], bj[3]) - max(bi[1], bj[1]) + 1
            iw = min(bi[2], bj[2]) - max(bi[0], bj[0]) + 1
            if ih <= 0 or iw <= 0:
                continue
            inter = ih * iw
            ai = abs((bi[2] - bi[0] + 1) * (bi[3] - bi[1] + 1))
            aj = abs((bj[2] - bj[0] + 1) * (bj[3] - bj[1] + 1))
            if inter / (ai + aj - inter) > iou:
                dead[j] = True
        if len(keep) >= topk:
            break
    return keep, len(cands)


def corner_error(pred, truth):
    best = None
    for sh in range(4):
        e = np.sqrt(((np.roll(pred, sh, 0) - truth) ** 2).sum(1)).mean()
        best = e if best is None else min(best, e)
    return float(best)


def window(pred, cam):
    L, S = CAMERAS[cam]
    (_, _), (w, h), _ = cv2.minAreaRect(pred.astype(np.float32))
    lo, sh = int(max(w, h)), int(min(w, h))
    dl, ds = lo - L, sh - S
    ok = WIN_DL[0] <= dl <= WIN_DL[1] and WIN_DS[0] <= ds <= WIN_DS[1]
    RL, RS = RECT_CHECK[cam]
    return ok, dl, ds, lo, sh


def sides(q):
    (_, _), (w, h), _ = cv2.minAreaRect(q.astype(np.float32))
    return max(w, h), min(w, h)


def run_eval(net_path, count, mode, seed0):
    net = cv2.dnn.readNetFromONNX(net_path)
    stats = {"n": 0, "det": 0, "extra": 0, "err": [], "dlong": [], "dshort": [], "win": 0, "rect": 0, "cands": 0, "truth_win": 0}
    for i in range(count):
        img, quad = make_scene(seed0 + i, mode)
        canvas, r, dw, dh = letterbox(img)
        net.setInput(to_blob(canvas))
        vals = net.forward(OUT_NAMES)
        outs = dict(zip(OUT_NAMES, vals))
        keep, nc = decode(outs, r, dw, dh, img.shape[1], img.shape[0])
        stats["n"] += 1
        stats["cands"] += nc
        if mode in CAMERAS and window(quad, mode)[0]:
            stats["truth_win"] += 1
        if not keep:
            continue
        k = keep[0][2]
        e = corner_error(k, quad)
        if e < 0.25 * sides(quad)[1]:
            stats["det"] += 1
        stats["extra"] += len(keep) - 1
        stats["err"].append(e)
        pl, ps = sides(k)
        tl, ts = sides(quad)
        stats["dlong"].append(pl - tl)
        stats["dshort"].append(ps - ts)
        if mode in CAMERAS:
            # the post-processing picks the best-fitting box among all kept ones
            okw = [window(kk[2], mode) for kk in keep]
            acc = [w for w in okw if w[0]]
            if acc:
                stats["win"] += 1
                best = min(acc, key=lambda w: abs(w[1]) + abs(w[2]))
                RL, RS = RECT_CHECK[mode]
                if abs(best[3] - RL) <= 50 and abs(best[4] - RS) <= 50:
                    stats["rect"] += 1
    return stats


def summarise(name, st):
    e = np.array(st["err"]) if st["err"] else np.array([np.nan])
    dl = np.array(st["dlong"]) if st["dlong"] else np.array([np.nan])
    ds = np.array(st["dshort"]) if st["dshort"] else np.array([np.nan])
    d = {"set": name, "scenes": st["n"], "detected": st["det"], "extra_boxes": st["extra"],
         "err_mean": float(e.mean()), "err_median": float(np.median(e)), "err_p90": float(np.percentile(e, 90)),
         "err_max": float(e.max()), "long_bias": float(dl.mean()), "long_abs": float(np.abs(dl).mean()),
         "short_bias": float(ds.mean()), "short_abs": float(np.abs(ds).mean()),
         "candidates_per_scene": st["cands"] / max(1, st["n"])}
    if name in CAMERAS:
        d["window_accept"] = st["win"]
        d["truth_in_window"] = st["truth_win"]
        d["card_path_accept"] = st["rect"]
    return d


def cmd_eval(args):
    cv2.setNumThreads(2)
    res = []
    for mode, cnt, s0 in (("wide", args.count, EVAL_SEED0), ("new", args.count, EVAL_SEED0 + 100_000),
                          ("old", args.count, EVAL_SEED0 + 200_000)):
        st = run_eval(args.onnx, cnt, mode, s0)
        d = summarise(mode, st)
        res.append(d)
        print(json.dumps(d), flush=True)
    # scenes without a card: any box is a false alarm
    net = cv2.dnn.readNetFromONNX(args.onnx)
    fa = fa_win = 0
    rng_scenes = 0
    for i in range(args.count):
        rng = np.random.default_rng(EVAL_SEED0 + 300_000 + i)
        img = background(rng, FRAME_W, 300)
        for _ in range(int(rng.integers(0, 3))):
            distractor(rng, img, None)
        canvas, r, dw, dh = letterbox(img)
        net.setInput(to_blob(canvas))
        outs = dict(zip(OUT_NAMES, net.forward(OUT_NAMES)))
        keep, _ = decode(outs, r, dw, dh, img.shape[1], img.shape[0])
        fa += 1 if keep else 0
        if any(window(k[2], cam)[0] for k in keep for cam in CAMERAS):
            fa_win += 1
        rng_scenes += 1
    d = {"set": "no-card", "scenes": rng_scenes, "false_alarm_scenes": fa, "false_alarm_in_window": fa_win}
    res.append(d)
    print(json.dumps(d), flush=True)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(res, f, indent=1)


def cmd_calibrate(args):
    """Size ratio of the predicted corner quadrilateral to the true one, on
    scenes of the card path's sizes with seeds of their own (neither training
    nor evaluation); its inverse is the --kps-scale for the export."""
    cv2.setNumThreads(2)
    net = cv2.dnn.readNetFromONNX(args.onnx)
    ratios = []
    for i in range(args.count):
        mode = ("new", "old", "wide")[i % 3]
        img, quad = make_scene(EVAL_SEED0 + 400_000 + i, mode)
        canvas, r, dw, dh = letterbox(img)
        net.setInput(to_blob(canvas))
        outs = dict(zip(OUT_NAMES, net.forward(OUT_NAMES)))
        keep, _ = decode(outs, r, dw, dh, img.shape[1], img.shape[0])
        if not keep or corner_error(keep[0][2], quad) > 0.25 * sides(quad)[1]:
            continue
        pl, ps = sides(keep[0][2])
        tl, ts = sides(quad)
        ratios.append((pl / tl + ps / ts) / 2)
    m = float(np.median(ratios))
    print(json.dumps({"scenes": len(ratios), "median_size_ratio": m, "mean_size_ratio": float(np.mean(ratios)),
                      "kps_scale": 1.0 / m}))


# ---------------------------------------------------------------- test fixtures
def cmd_fixtures(args):
    out = os.path.join(ROOT, "tests", "data", "real_card")
    os.makedirs(out, exist_ok=True)
    lines = ["# file camera x0 y0 x1 y1 x2 y2 x3 y3 (true corners on the 400-px working image)"]
    specs = [("new", 0), ("new", 1), ("old", 2), ("old", 3), ("new", 4), ("old", 5)]
    for mode, k in specs:
        img, quad = make_scene(FIXTURE_SEED0 + k, mode, frame_h=300)
        name = "scene%d_%s.jpg" % (k, mode)
        cv2.imwrite(os.path.join(out, name), img, [cv2.IMWRITE_JPEG_QUALITY, 90])
        lines.append(name + " " + mode + " " + " ".join("%.2f" % v for v in quad.reshape(-1)))
    with open(os.path.join(out, "corners.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")
    print("\n".join(lines))


def cmd_show(args):
    out = args.out
    os.makedirs(out, exist_ok=True)
    for i in range(args.count):
        img, quad = make_scene(args.seed + i, args.mode)
        if quad is not None:
            for j, p in enumerate(quad):
                cv2.circle(img, (int(p[0]), int(p[1])), 3, (0, 0, 255) if j == 0 else (0, 255, 0), -1)
        cv2.imwrite(os.path.join(out, "s%03d.jpg" % i), img)


def main():
    ap = argparse.ArgumentParser()
    sub = ap.add_subparsers(dest="cmd")
    t = sub.add_parser("train")
    t.add_argument("--minutes", type=float, default=60, help="wall-clock budget of this run")
    t.add_argument("--total-minutes", type=float, default=60, help="length of the whole schedule (for resuming)")
    t.add_argument("--threads", type=int, default=3)
    t.add_argument("--workers", type=int, default=2)
    t.add_argument("--batch", type=int, default=16)
    t.add_argument("--lr", type=float, default=3e-3)
    t.add_argument("--pool", type=int, default=6000)
    t.add_argument("--min-pool", type=int, default=1200)
    t.add_argument("--fresh", action="store_true")
    e = sub.add_parser("export")
    e.add_argument("--ckpt", default=CKPT)
    e.add_argument("--out", default=ONNX_OUT)
    e.add_argument("--slim", default=None)
    e.add_argument("--kps-scale", type=float, default=1.0,
                   help="stretch the corners about their centre by this factor (measured size bias)")
    v = sub.add_parser("eval")
    v.add_argument("--onnx", default=ONNX_OUT)
    v.add_argument("--count", type=int, default=300)
    v.add_argument("--json", default=None)
    sub.add_parser("fixtures")
    c = sub.add_parser("calibrate")
    c.add_argument("--onnx", default=ONNX_OUT)
    c.add_argument("--count", type=int, default=300)
    s = sub.add_parser("show")
    s.add_argument("--out", default="/tmp/card_show")
    s.add_argument("--count", type=int, default=16)
    s.add_argument("--seed", type=int, default=TRAIN_SEED0)
    s.add_argument("--mode", default="train")
    a = ap.parse_args()
    {"train": cmd_train, "export": cmd_export, "eval": cmd_eval, "fixtures": cmd_fixtures, "show": cmd_show,
     "calibrate": cmd_calibrate}.get(
        a.cmd, lambda _: ap.print_help())(a)


if __name__ == "__main__":
    main()
