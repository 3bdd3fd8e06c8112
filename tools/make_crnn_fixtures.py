#!/usr/bin/python3
"""Writes the recogniser fixtures of tests/data/crnn/: tiny ONNX stand-ins for
the CRNN line recognisers and the DB detector, packed in the model container,
and the dictionaries the tests load.

The "stripe" recogniser reads a line image of 48 rows in steps of 4 columns.
Each step averages the middle two columns of its 4 (so the 3x3 blur at a stripe
edge never reaches it) and scores class k by -(m - t_k)^2, sharpened and put
through a softmax: the class whose grey level is nearest the step's mean wins.
Class k has the pixel value level(k); painting stripes of these values, 4-column
aligned and 4 (one step) or more columns wide, makes the network emit a chosen class
sequence. Output [1, W/4, C].

Run with Debian's python (needs python3-onnx and numpy) after building the
packing tool vyrmodel (found in a build*/tools/ directory, or pass its path):
    /usr/bin/python3 tools/make_crnn_fixtures.py [path/to/vyrmodel]
"""
import os
import subprocess
import sys
import tempfile

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
OUT = os.path.join(ROOT, "tests", "data", "crnn")


def level(k):
    """Pixel value of class k: the blank is near white, the others 5 apart."""
    return 250 if k == 0 else 5 * k + 5


SHARPNESS = 1500.0


def stripe_weights(classes):
    """Two convolutions: the mean m of the middle two columns of every 4-column
    step, then a 1x1 convolution scoring class k as SHARPNESS * (2 t_k m - t_k^2)."""
    t = np.array([(level(k) - 127.5) / 127.5 for k in range(classes)], np.float32)
    mean = np.zeros((1, 3, 48, 4), np.float32)
    mean[0, :, :, 1:3] = 1.0 / (3 * 48 * 2)
    w = (SHARPNESS * 2.0 * t).reshape(classes, 1, 1, 1).astype(np.float32)
    b = (-SHARPNESS * t * t).astype(np.float32)
    return mean, w, b


def stripe_model(classes, tie=None, fixed_width=None):
    """tie=(a, b): class b gets the weights of class a, so both score alike.
    fixed_width: the graph reshapes to the step count of that width only, so
    the network cannot run on lines of any other width."""
    mean, w, b = stripe_weights(classes)
    if tie is not None:
        w[tie[1]] = w[tie[0]]
        b[tie[1]] = b[tie[0]]
    inits = [numpy_helper.from_array(mean, "mean"), numpy_helper.from_array(w, "w"),
             numpy_helper.from_array(b, "b")]
    conv = [helper.make_node("Conv", ["x", "mean"], ["m"], kernel_shape=[48, 4], strides=[48, 4]),
            helper.make_node("Conv", ["m", "w", "b"], ["c"], kernel_shape=[1, 1])]
    if fixed_width is None:
        x = helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, 3, 48, "W"])
        y = helper.make_tensor_value_info("y", TensorProto.FLOAT, [1, "T", classes])
        # opset-11 Squeeze (axes attribute): the 4.6 importer rejects the opset-13 form
        nodes = conv + [helper.make_node("Squeeze", ["c"], ["q"], axes=[2])]
    else:
        steps = fixed_width // 4
        x = helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, 3, 48, fixed_width])
        y = helper.make_tensor_value_info("y", TensorProto.FLOAT, [1, steps, classes])
        inits.append(numpy_helper.from_array(np.array([1, classes, steps], np.int64), "shape"))
        nodes = conv + [helper.make_node("Reshape", ["c", "shape"], ["q"])]
    nodes += [helper.make_node("Transpose", ["q"], ["s"], perm=[0, 2, 1]),
              helper.make_node("Softmax", ["s"], ["y"], axis=2)]
    graph = helper.make_graph(nodes, "stripe_crnn", [x], [y], inits)
    return helper.make_model(graph, opset_imports=[helper.make_opsetid("", 11)])


def db_model():
    """Probability high where the image is dark: 1x1 conv + sigmoid. The unused
    initializer lifts the body over the container's 771-byte minimum."""
    w = np.full((1, 3, 1, 1), -4.0 / 3.0, np.float32)
    b = np.array([2.0], np.float32)
    pad = np.zeros(256, np.float32)
    x = helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, 3, "H", "W"])
    y = helper.make_tensor_value_info("y", TensorProto.FLOAT, [1, 1, "H", "W"])
    nodes = [helper.make_node("Conv", ["x", "w", "b"], ["c"], kernel_shape=[1, 1]),
             helper.make_node("Sigmoid", ["c"], ["y"])]
    graph = helper.make_graph(nodes, "db_stub", [x], [y], [numpy_helper.from_array(w, "w"),
                                                          numpy_helper.from_array(b, "b"),
                                                          numpy_helper.from_array(pad, "pad")])
    return helper.make_model(graph, opset_imports=[helper.make_opsetid("", 11)])


def find_vyrmodel():
    for arg in sys.argv[1:]:
        if os.path.basename(arg) == "vyrmodel":
            return arg
    for d in sorted(os.listdir(ROOT)):
        cand = os.path.join(ROOT, d, "tools", "vyrmodel")
        if d.startswith("build") and os.access(cand, os.X_OK):
            return cand
    sys.exit("vyrmodel not found: build the tools target or pass its path")


def pack(model, name, ident, version="3.20", scheme=3):
    """Packs the ONNX body with the library's own tool (scheme 3: DES over the
    first eighth, then XOR over the whole body, by the tool's defaults)."""
    with tempfile.TemporaryDirectory() as tmp:
        body = os.path.join(tmp, "body.onnx")
        with open(body, "wb") as f:
            f.write(model.SerializeToString())
        subprocess.run([find_vyrmodel(), "pack", "-v", version, "-e", str(scheme), "-i", ident,
                        body, os.path.join(OUT, name)], check=True, stdout=subprocess.DEVNULL)


def write(name, data):
    with open(os.path.join(OUT, name), "wb") as f:
        f.write(data)


def main():
    os.makedirs(OUT, exist_ok=True)
    # 45 classes: the English dictionary's 43 lines plus blank and space. Class 44
    # (the space) carries the weights of class 1 ("0"), so the two always tie.
    pack(stripe_model(45, tie=(1, 44)), "crnn45.p", "crnn45")
    # Too narrow for the English restricted columns (which reach column 43).
    pack(stripe_model(40), "crnn40.p", "crnn40")
    # Loads, but runs only on lines of 64 columns.
    pack(stripe_model(45, fixed_width=64), "crnn_fixed64.p", "fixed64")
    # A plain body (scheme 0) is read as stored.
    pack(db_model(), "db_stub.p", "db_stub", scheme=0)

    # "ocrv3_en.txt": ASCII '0'..'Z', one per line ('<' is line 13, 'A' line 18).
    write("ocrv3_en.txt", "".join(chr(c) + "\n" for c in range(ord("0"), ord("Z") + 1)).encode())
    # "ocrv3_mrz.txt": digits, '<', letters.
    mrz = [str(d) for d in range(10)] + ["<"] + [chr(c) for c in range(ord("A"), ord("Z") + 1)]
    write("ocrv3_mrz.txt", ("\n".join(mrz) + "\n").encode())
    # Chinese keys of three bytes each; the last line has no newline.
    write("ocrv3_cn.txt", "\n".join(["中", "国", "年", "月", "日", "0", "1", "2"]).encode("utf-8"))
    # Framing: CR kept, an empty line kept, no final newline.
    write("dict_framing.txt", b"A\r\nB\n\nC")


if __name__ == "__main__":
    main()
