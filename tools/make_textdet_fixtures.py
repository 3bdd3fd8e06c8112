#!/usr/bin/python3
"""Writes the text-detector fixtures the text-detection tests read.

Networks (ONNX bodies; the tests wrap them in the model-file container):

  db_identity.onnx  probability = blue / 255: the map is the picture you feed
                    it, so bright marks give text and exact values can be set
  db_dark.onnx      probability = 1 - blue / 255: dark marks give text
  db_over.onnx      probability = 2 * blue / 255: values above 1
  db_half.onnx      db_identity at half resolution: an output that does not
                    match the input
  db_ink.onnx       a DB-like map: how much darker each pixel is than its
                    15 x 15 surroundings, averaged over a 7 x 17 window,
                    through a steep sigmoid, so a line of dark glyphs becomes
                    one region while paper and uniform areas stay low

Each takes a 1x3xHxW input normalised as the detector does it,
(v - mean[c]) * norm[c] over B, G, R, and gives 1x1xHxW.

Picture:

  mrz_band.png      a 1600 x 480 grey page band with the two lines of an ICAO
                    9303 specimen passport zone in OCR-B, dark (30) on light
                    paper (215); line centres at rows 330 and 386

Usage: make_textdet_fixtures.py [out_dir]   (default tests/data/textdet)
"""
import os
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper
from PIL import Image, ImageDraw, ImageFont

OPSET = 11
MEAN = np.float32(123.675)
NORM = np.float32(1.0) / np.float32(0.229) / np.float32(255.0)
# blue / 255 = x0 * BLUE_W + BLUE_B for the normalised blue channel x0
BLUE_W = float(np.float32(1.0) / (NORM * np.float32(255.0)))
BLUE_B = float(MEAN / np.float32(255.0))

FONT = "/usr/share/fonts/opentype/ocr-b/OCRB.otf"
TD3 = ["P<UTOERIKSSON<<ANNA<MARIA<<<<<<<<<<<<<<<<<<<",
       "L898902C36UTO7408122F1204159ZE184226B<<<<<10"]


def graph(name, nodes, inits):
    # An unused initializer keeps every body above the container's minimum size.
    inits = inits + [numpy_helper.from_array(np.zeros(256, np.float32), "pad")]
    x = helper.make_tensor_value_info("input", TensorProto.FLOAT, [1, 3, "h", "w"])
    y = helper.make_tensor_value_info("prob", TensorProto.FLOAT, [1, 1, "oh", "ow"])
    g = helper.make_graph(nodes, name, [x], [y], inits)
    m = helper.make_model(g, opset_imports=[helper.make_opsetid("", OPSET)],
                          producer_name="make_textdet_fixtures")
    m.ir_version = 7
    return m


def blue_conv(scale, stride=1, offset=0.0):
    w = np.zeros((1, 3, 1, 1), np.float32)
    w[0, 0, 0, 0] = BLUE_W * scale
    b = np.array([BLUE_B * scale + offset], np.float32)
    inits = [numpy_helper.from_array(w, "w"), numpy_helper.from_array(b, "b")]
    nodes = [helper.make_node("Conv", ["input", "w", "b"], ["prob"], kernel_shape=[1, 1],
                              strides=[stride, stride])]
    return nodes, inits


def ink_model(big=15, kh=7, kw=17, gain=60.0, level=0.09):
    # c = blue / 255, exact per pixel (a 1x1 convolution needs no padding)
    w1 = np.zeros((1, 3, 1, 1), np.float32)
    w1[0, 0, 0, 0] = BLUE_W
    b1 = np.array([BLUE_B], np.float32)
    # how much darker a pixel is than its big x big neighbourhood: strokes on
    # paper, not uniform dark or grey areas
    w2 = np.full((1, 1, big, big), 1.0 / (big * big), np.float32)
    # sigmoid(gain * (mean of that over kh x kw - level)); padding counts as 0
    w3 = np.full((1, 1, kh, kw), gain / (kh * kw), np.float32)
    b3 = np.array([-gain * level], np.float32)
    inits = [numpy_helper.from_array(w1, "w1"), numpy_helper.from_array(b1, "b1"),
             numpy_helper.from_array(w2, "w2"), numpy_helper.from_array(w3, "w3"),
             numpy_helper.from_array(b3, "b3")]
    nodes = [
        helper.make_node("Conv", ["input", "w1", "b1"], ["c"], kernel_shape=[1, 1]),
        helper.make_node("Conv", ["c", "w2"], ["around"], kernel_shape=[big, big],
                         pads=[big // 2] * 4),
        helper.make_node("Sub", ["around", "c"], ["darker"]),
        helper.make_node("Relu", ["darker"], ["ink"]),
        helper.make_node("Conv", ["ink", "w3", "b3"], ["dens"], kernel_shape=[kh, kw],
                         pads=[kh // 2, kw // 2, kh // 2, kw // 2]),
        helper.make_node("Sigmoid", ["dens"], ["prob"]),
    ]
    return nodes, inits


def mrz_band():
    img = Image.new("L", (1600, 480), 215)
    draw = ImageDraw.Draw(img)
    font = ImageFont.truetype(FONT, 44)
    pitch, left = 32, 96
    for line, cy in zip(TD3, (330, 386)):
        for i, ch in enumerate(line):
            x0, y0, x1, y1 = draw.textbbox((0, 0), ch, font=font)
            cx = left + i * pitch + pitch // 2
            draw.text((cx - (x0 + x1) / 2, cy - (y0 + y1) / 2), ch, font=font, fill=30)
    return img


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "tests", "data", "textdet")
    os.makedirs(out, exist_ok=True)
    models = {
        "db_identity.onnx": graph("db_identity", *blue_conv(1.0)),
        "db_dark.onnx": graph("db_dark", *blue_conv(-1.0, offset=1.0)),
        "db_over.onnx": graph("db_over", *blue_conv(2.0)),
        "db_half.onnx": graph("db_half", *blue_conv(1.0, stride=2)),
        "db_ink.onnx": graph("db_ink", *ink_model()),
    }
    for name, m in models.items():
        onnx.save(m, os.path.join(out, name))
    mrz_band().save(os.path.join(out, "mrz_band.png"), optimize=True)


if __name__ == "__main__":
    main()
