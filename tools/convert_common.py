#!/usr/bin/python3
"""Offline ONNX graph edits that make the PaddleOCR exports run, and run
correctly, in OpenCV 4.6's dnn module. Only python3-onnx and numpy.

Edits (applied per model by convert_det.py / convert_rec.py):
  clip_to_attributes   Clip(x, min, max) -> Clip(x) with min/max attributes (the only form 4.6 imports)
  fold_deconv_bn       ConvTranspose + bias Add + BatchNorm -> one ConvTranspose with bias (4.6 fuses
                       these itself and gets it wrong once the net is re-shaped)
  fuse_hardswish       Div(Mul(x, Clip(Add(x, 3), 0, 6)), 6) -> HardSwish(x) (speed)
  fold_shapes          Shape chains folded at a static input shape
  lastaxis_mul_to_matmul  Mul/Div by a 1-D constant -> MatMul(diag) (4.6 maps it to a Scale on axis 1)
  reducemean_to_matmul ReduceMean over the last axis -> MatMul(1/C)
  generic_reshapes     every Reshape/Squeeze/Unsqueeze/Flatten -> Reshape with a 0/-1 target valid at any width
  constants_to_initializers
"""
import copy

import numpy as np
import onnx
from onnx import helper, numpy_helper, shape_inference, TensorProto


def const_map(graph):
    m = {i.name: numpy_helper.to_array(i) for i in graph.initializer}
    for n in graph.node:
        if n.op_type == "Constant":
            for a in n.attribute:
                if a.name == "value":
                    m[n.output[0]] = numpy_helper.to_array(a.t)
    return m


def consumers(graph):
    c = {}
    for n in graph.node:
        for i in n.input:
            c.setdefault(i, []).append(n)
    return c


def remove_dead(graph):
    outs = {o.name for o in graph.output}
    while True:
        used = set(outs)
        for n in graph.node:
            used.update(n.input)
        keep = [n for n in graph.node if any(o in used for o in n.output)]
        if len(keep) == len(graph.node):
            break
        del graph.node[:]
        graph.node.extend(keep)
    used = set(outs)
    for n in graph.node:
        used.update(n.input)
    inits = [i for i in graph.initializer if i.name in used]
    del graph.initializer[:]
    graph.initializer.extend(inits)
    vi = [v for v in graph.value_info if v.name in used]
    del graph.value_info[:]
    graph.value_info.extend(vi)


def _set_attr(node, name, value):
    for a in list(node.attribute):
        if a.name == name:
            node.attribute.remove(a)
    node.attribute.append(helper.make_attribute(name, value))


def clip_to_attributes(model):
    g = model.graph
    cm = const_map(g)
    n_done = 0
    for n in g.node:
        if n.op_type == "Clip" and len(n.input) > 1:
            lo = float(cm[n.input[1]]) if len(n.input) > 1 and n.input[1] else None
            hi = float(cm[n.input[2]]) if len(n.input) > 2 and n.input[2] else None
            x = n.input[0]
            del n.input[:]
            n.input.append(x)
            if lo is not None:
                _set_attr(n, "min", lo)
            if hi is not None:
                _set_attr(n, "max", hi)
            n_done += 1
    remove_dead(g)
    return n_done


def fold_deconv_bn(model):
    g = model.graph
    cm = const_map(g)
    done = 0
    for n in list(g.node):
        if n.op_type != "ConvTranspose" or len(n.input) != 2 or n.input[1] not in cm:
            continue
        grp = [a.i for a in n.attribute if a.name == "group"]
        if grp and grp[0] != 1:
            continue
        W = cm[n.input[1]].astype(np.float32).copy()
        cout = W.shape[1]
        b = np.zeros(cout, np.float32)
        absorbed = []
        last = n.output[0]
        cons = consumers(g)
        c = cons.get(last, [])
        if len(c) == 1 and c[0].op_type == "Add":
            add = c[0]
            other = add.input[1] if add.input[0] == last else add.input[0]
            if other in cm and cm[other].size in (1, cout):
                b = b + np.broadcast_to(cm[other].astype(np.float32).reshape(-1), (cout,))
                absorbed.append(add)
                last = add.output[0]
        c = cons.get(last, [])
        if len(c) == 1 and c[0].op_type == "BatchNormalization" and all(i in cm for i in c[0].input[1:5]):
            bn = c[0]
            gam, bet, mu, var = [cm[i].astype(np.float64) for i in bn.input[1:5]]
            eps = 1e-5
            for a in bn.attribute:
                if a.name == "epsilon":
                    eps = a.f
            s = gam / np.sqrt(var + eps)
            W = (W.astype(np.float64) * s.reshape(1, -1, 1, 1)).astype(np.float32)
            b = ((b - mu) * s + bet).astype(np.float32)
            absorbed.append(bn)
            last = bn.output[0]
        if not absorbed:
            continue
        wn, bn_name = n.name + "_W_folded", n.name + "_B_folded"
        g.initializer.append(numpy_helper.from_array(W.astype(np.float32), wn))
        g.initializer.append(numpy_helper.from_array(b.astype(np.float32), bn_name))
        x = n.input[0]
        del n.input[:]
        n.input.extend([x, wn, bn_name])
        n.output[0] = last
        for a in absorbed:
            g.node.remove(a)
        done += 1
    remove_dead(g)
    return done


def fuse_hardswish(model):
    g = model.graph
    cm = const_map(g)
    prod = {o: n for n in g.node for o in n.output}
    cons = consumers(g)

    def is_const(name, v):
        return name in cm and cm[name].size == 1 and abs(float(cm[name].reshape(-1)[0]) - v) < 1e-6

    kill = []
    done = 0
    for d in g.node:
        if d.op_type != "Div" or not is_const(d.input[1], 6.0):
            continue
        m = prod.get(d.input[0])
        if m is None or m.op_type != "Mul" or len(cons.get(m.output[0], [])) != 1:
            continue
        for xi, ci in ((0, 1), (1, 0)):
            clip = prod.get(m.input[ci])
            if clip is None or clip.op_type != "Clip" or len(clip.input) != 1:
                continue
            at = {a.name: a.f for a in clip.attribute}
            if abs(at.get("min", -1) - 0) > 1e-6 or abs(at.get("max", -1) - 6) > 1e-6:
                continue
            if len(cons.get(clip.output[0], [])) != 1:
                continue
            add = prod.get(clip.input[0])
            if add is None or add.op_type != "Add" or len(cons.get(add.output[0], [])) != 1:
                continue
            x = m.input[xi]
            if not ((add.input[0] == x and is_const(add.input[1], 3.0)) or
                    (add.input[1] == x and is_const(add.input[0], 3.0))):
                continue
            d.op_type = "HardSwish"
            del d.input[:]
            d.input.append(x)
            del d.attribute[:]
            kill += [add, clip, m]
            done += 1
            break
    for k in kill:
        g.node.remove(k)
    remove_dead(g)
    return done


def declare_input(model, dims):
    t = model.graph.input[0].type.tensor_type
    for d, v in zip(t.shape.dim, dims):
        d.Clear()
        if isinstance(v, str):
            d.dim_param = v
        else:
            d.dim_value = v


def _static_shapes(model):
    m = shape_inference.infer_shapes(model)
    shapes = {}
    for v in list(m.graph.value_info) + list(m.graph.input) + list(m.graph.output):
        dims = v.type.tensor_type.shape.dim
        if v.type.tensor_type.HasField("shape") and all(d.HasField("dim_value") for d in dims):
            shapes[v.name] = [d.dim_value for d in dims]
    return shapes


def _np_slice(node, ins, opset):
    data = ins[0]
    at = {a.name: list(a.ints) for a in node.attribute}
    if len(ins) > 1:
        starts, ends = list(ins[1]), list(ins[2])
        axes = list(ins[3]) if len(ins) > 3 else list(range(len(starts)))
        steps = list(ins[4]) if len(ins) > 4 else [1] * len(starts)
    else:
        starts, ends = at["starts"], at["ends"]
        axes = at.get("axes", list(range(len(starts))))
        steps = [1] * len(starts)
    idx = [slice(None)] * data.ndim
    for s, e, a, st in zip(starts, ends, axes, steps):
        idx[int(a)] = slice(int(s), int(e) if abs(int(e)) < 2 ** 62 else None, int(st))
    return data[tuple(idx)]


def _eval_small(node, ins, opset):
    op = node.op_type
    at = {}
    for a in node.attribute:
        if a.type == a.INTS:
            at[a.name] = list(a.ints)
        elif a.type == a.INT:
            at[a.name] = a.i
        elif a.type == a.TENSOR:
            at[a.name] = numpy_helper.to_array(a.t)
    if op == "Cast":
        table = {1: np.float32, 6: np.int32, 7: np.int64, 11: np.float64, 9: np.bool_}
        return ins[0].astype(table[at["to"]])
    if op == "Slice":
        return _np_slice(node, ins, opset)
    if op == "Concat":
        return np.concatenate([np.atleast_1d(i) for i in ins], axis=at.get("axis", 0))
    if op == "Gather":
        return np.take(ins[0], ins[1], axis=at.get("axis", 0))
    if op == "Unsqueeze":
        axes = at.get("axes", list(ins[1]) if len(ins) > 1 else [])
        r = ins[0]
        for a in sorted(axes):
            r = np.expand_dims(r, a)
        return r
    if op == "Squeeze":
        axes = at.get("axes", list(ins[1]) if len(ins) > 1 else None)
        return np.squeeze(ins[0], axis=tuple(axes) if axes is not None else None)
    if op in ("Add", "Sub", "Mul", "Div"):
        p, q = ins
        if op == "Add":
            return p + q
        if op == "Sub":
            return p - q
        if op == "Mul":
            return p * q
        if np.issubdtype(p.dtype, np.integer) and np.issubdtype(q.dtype, np.integer):
            return p // q
        return p / q
    if op == "Identity":
        return ins[0]
    if op == "ConstantOfShape":
        v = at.get("value", np.zeros(1, np.float32))
        return np.full([int(s) for s in ins[0]], v.reshape(-1)[0], dtype=v.dtype)
    return None


FOLDABLE = {"Cast", "Slice", "Concat", "Gather", "Unsqueeze", "Squeeze", "Add", "Sub", "Mul", "Div",
            "Identity", "ConstantOfShape"}


def _opset(model):
    return max([o.version for o in model.opset_import if o.domain in ("", "ai.onnx")] or [11])


def fold_shapes(model):
    """Folds Shape chains at the declared (static) input shape."""
    opset = _opset(model)
    g = model.graph
    for _ in range(20):
        shapes = _static_shapes(model)
        cm = const_map(g)
        small = {k: v for k, v in cm.items() if v.size <= 16}
        changed = False
        new_nodes = []
        for n in g.node:
            val = None
            if n.op_type == "Shape" and n.input[0] in shapes:
                val = np.array(shapes[n.input[0]], np.int64)
            elif n.op_type in FOLDABLE and all(i in small for i in n.input if i) and len(n.output) == 1:
                try:
                    val = _eval_small(n, [small[i] for i in n.input if i], opset)
                except Exception:
                    val = None
            if val is not None:
                val = np.asarray(val)
                new_nodes.append(helper.make_node("Constant", [], [n.output[0]],
                                                  value=numpy_helper.from_array(val, n.output[0] + "_c")))
                changed = True
            else:
                new_nodes.append(n)
        del g.node[:]
        g.node.extend(new_nodes)
        remove_dead(g)
        if not changed:
            break
    del g.value_info[:]


def lastaxis_mul_to_matmul(model):
    g = model.graph
    cm = const_map(g)
    done = 0
    for n in g.node:
        if n.op_type not in ("Mul", "Div") or len(n.input) != 2:
            continue
        ic = [i for i in n.input if i in cm]
        if len(ic) != 1:
            continue
        c = cm[ic[0]]
        if c.ndim != 1 or c.size <= 1:
            continue
        if n.op_type == "Div" and n.input[0] == ic[0]:
            continue
        d = c.astype(np.float32) if n.op_type == "Mul" else (1.0 / c.astype(np.float32))
        x = n.input[1] if n.input[0] == ic[0] else n.input[0]
        name = n.output[0] + "_diag"
        g.initializer.append(numpy_helper.from_array(np.diag(d).astype(np.float32), name))
        n.op_type = "MatMul"
        del n.input[:]
        n.input.extend([x, name])
        del n.attribute[:]
        done += 1
    remove_dead(g)
    return done


def _folded_copy(model, dims):
    m = copy.deepcopy(model)
    declare_input(m, dims)
    fold_shapes(m)
    return m


def reducemean_to_matmul(model, dims):
    shapes = _static_shapes(_folded_copy(model, dims))
    g = model.graph
    done = 0
    for n in g.node:
        if n.op_type != "ReduceMean":
            continue
        at = {a.name: (list(a.ints) if a.type == a.INTS else a.i) for a in n.attribute}
        s = shapes.get(n.input[0])
        if s is None or at.get("keepdims", 1) != 1:
            continue
        axes = [a % len(s) for a in at.get("axes", [])]
        if axes != [len(s) - 1]:
            continue
        C = s[-1]
        name = n.output[0] + "_mean"
        g.initializer.append(numpy_helper.from_array(np.full((C, 1), 1.0 / C, np.float32), name))
        n.op_type = "MatMul"
        n.input.append(name)
        del n.attribute[:]
        done += 1
    return done


def generic_reshapes(model, configs):
    """Replaces shape ops with Reshape(x, target) whose 0/-1 target fits every configuration."""
    per = []
    folded = None
    for dims in configs:
        fm = _folded_copy(model, dims)
        if folded is None:
            folded = fm
        per.append(_static_shapes(fm))
    alive = {o for n in folded.graph.node if n.op_type != "Constant" for o in n.output}
    g = model.graph
    targets = []
    for n in g.node:
        if n.op_type not in ("Reshape", "Squeeze", "Unsqueeze", "Flatten"):
            continue
        out = n.output[0]
        if out not in alive:
            continue
        ins = [p.get(n.input[0]) for p in per]
        outs = [p.get(out) for p in per]
        if any(v is None for v in ins + outs):
            raise RuntimeError("no static shape for %s" % out)
        rank = len(outs[0])
        tgt = []
        for k in range(rank):
            vals = [o[k] for o in outs]
            if all(v == vals[0] for v in vals):
                tgt.append(vals[0])
            elif all(k < len(i) and o[k] == i[k] for i, o in zip(ins, outs)):
                tgt.append(0)
            else:
                tgt.append(None)
        if tgt.count(None) > 1:
            raise RuntimeError("more than one varying dim at %s" % out)
        tgt = [-1 if v is None else v for v in tgt]
        for i, o in zip(ins, outs):
            r = [i[k] if v == 0 else v for k, v in enumerate(tgt)]
            if -1 in r:
                known = int(np.prod([v for v in r if v != -1]))
                r[r.index(-1)] = int(np.prod(i)) // known
            if r != o:
                raise RuntimeError("target %s does not reproduce %s at %s" % (tgt, o, out))
        name = out + "_target"
        g.initializer.append(numpy_helper.from_array(np.array(tgt, np.int64), name))
        x = n.input[0]
        n.op_type = "Reshape"
        del n.input[:]
        n.input.extend([x, name])
        del n.attribute[:]
        targets.append(tgt)
    remove_dead(g)
    return targets


def constants_to_initializers(model):
    g = model.graph
    keep = []
    n_done = 0
    for n in g.node:
        if n.op_type == "Constant" and len(n.attribute) == 1 and n.attribute[0].name == "value":
            t = numpy_helper.to_array(n.attribute[0].t)
            g.initializer.append(numpy_helper.from_array(t, n.output[0]))
            n_done += 1
        else:
            keep.append(n)
    del g.node[:]
    g.node.extend(keep)
    remove_dead(g)
    return n_done


def select_output_columns(model, columns):
    """Keeps only the given classes of the recogniser: the last MatMul(+Add) before the
    final Softmax loses the other columns, so the softmax renormalises over the kept set."""
    g = model.graph
    cm = const_map(g)
    prod = {o: n for n in g.node for o in n.output}
    sm = prod[g.output[0].name]
    if sm.op_type != "Softmax":
        raise RuntimeError("recogniser output is not a Softmax")
    node = prod[sm.input[0]]
    cols = np.asarray(columns, np.int64)
    bias = None
    if node.op_type == "Add":
        bname = [i for i in node.input if i in cm]
        if len(bname) != 1:
            raise RuntimeError("unexpected classifier bias")
        bias = node
        node = prod[[i for i in node.input if i not in cm][0]]
    if node.op_type != "MatMul" or node.input[1] not in cm:
        raise RuntimeError("unexpected classifier layer %s" % node.op_type)
    W = cm[node.input[1]]
    nw = node.output[0] + "_Wsel"
    g.initializer.append(numpy_helper.from_array(W[:, cols].astype(np.float32), nw))
    node.input[1] = nw
    if bias is not None:
        bn = [i for i in bias.input if i in cm][0]
        b = cm[bn]
        nb = bias.output[0] + "_Bsel"
        g.initializer.append(numpy_helper.from_array(b.reshape(-1)[cols].astype(np.float32), nb))
        bias.input[list(bias.input).index(bn)] = nb
    # The class dimension of the output changes.
    for o in g.output:
        dims = o.type.tensor_type.shape.dim
        if len(dims):
            dims[len(dims) - 1].Clear()
            dims[len(dims) - 1].dim_value = len(cols)
    remove_dead(g)


def opencv_check_net(path_or_bytes):
    import cv2
    if isinstance(path_or_bytes, (bytes, bytearray)):
        return cv2.dnn.readNetFromONNX(np.frombuffer(path_or_bytes, np.uint8))
    return cv2.dnn.readNetFromONNX(path_or_bytes)
