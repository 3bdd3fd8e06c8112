#!/usr/bin/python3
"""A small, independent ONNX interpreter on PyTorch CPU ops.

It runs the ORIGINAL (unedited) model files, so that the graphs we edit for
OpenCV 4.6 can be checked against numbers that OpenCV did not produce. It
covers only the operators of the PaddleOCR detector and recogniser and of our
own recogniser; anything else raises NotImplementedError, so an unknown op can
never pass silently.
"""
import numpy as np
import torch
import torch.nn.functional as F
from onnx import numpy_helper


def _attrs(node):
    out = {}
    for a in node.attribute:
        if a.type == a.FLOAT:
            out[a.name] = a.f
        elif a.type == a.INT:
            out[a.name] = a.i
        elif a.type == a.INTS:
            out[a.name] = list(a.ints)
        elif a.type == a.FLOATS:
            out[a.name] = list(a.floats)
        elif a.type == a.STRING:
            out[a.name] = a.s.decode()
        elif a.type == a.TENSOR:
            out[a.name] = numpy_helper.to_array(a.t)
    return out


def _t(a):
    if isinstance(a, torch.Tensor):
        return a
    a = np.asarray(a)
    return torch.from_numpy(a.copy())


def _pad_conv(x, pads, nd):
    """ONNX pads [b1, b2, ..., e1, e2, ...] -> explicit F.pad (symmetric ones go to the conv)."""
    begin, end = pads[:nd], pads[nd:]
    if begin == end:
        return x, begin
    fp = []
    for i in reversed(range(nd)):
        fp += [begin[i], end[i]]
    return F.pad(x, fp), [0] * nd


class Interpreter(object):
    def __init__(self, model):
        self.model = model
        self.graph = model.graph
        self.opset = max([o.version for o in model.opset_import if o.domain in ("", "ai.onnx")] or [11])
        self.consts = {i.name: _t(numpy_helper.to_array(i)) for i in self.graph.initializer}

    def run(self, feeds):
        env = dict(self.consts)
        for k, v in feeds.items():
            env[k] = _t(v)
        with torch.no_grad():
            for node in self.graph.node:
                ins = [env[n] if n else None for n in node.input]
                outs = self._op(node, ins)
                if not isinstance(outs, (list, tuple)):
                    outs = [outs]
                for name, val in zip(node.output, outs):
                    env[name] = val
        return [env[o.name].numpy() for o in self.graph.output]

    def _op(self, node, x):
        op = node.op_type
        a = _attrs(node)
        if op == "Constant":
            return _t(a["value"])
        if op == "Identity":
            return x[0]
        if op == "Conv":
            w = x[1]
            nd = w.dim() - 2
            pads = a.get("pads", [0] * (2 * nd))
            if a.get("auto_pad", "NOTSET") not in ("NOTSET", "VALID"):
                raise NotImplementedError("Conv auto_pad")
            inp, p = _pad_conv(x[0], pads, nd)
            return F.conv2d(inp, w, x[2] if len(x) > 2 else None, stride=a.get("strides", [1] * nd),
                            padding=p, dilation=a.get("dilations", [1] * nd), groups=a.get("group", 1))
        if op == "ConvTranspose":
            w = x[1]
            nd = w.dim() - 2
            pads = a.get("pads", [0] * (2 * nd))
            if pads[:nd] != pads[nd:] or "output_shape" in a:
                raise NotImplementedError("ConvTranspose asymmetric pads")
            return F.conv_transpose2d(x[0], w, x[2] if len(x) > 2 else None, stride=a.get("strides", [1] * nd),
                                      padding=pads[:nd], output_padding=a.get("output_padding", [0] * nd),
                                      groups=a.get("group", 1), dilation=a.get("dilations", [1] * nd))
        if op == "BatchNormalization":
            return F.batch_norm(x[0], x[3], x[4], x[1], x[2], False, 0.0, a.get("epsilon", 1e-5))
        if op == "Relu":
            return torch.relu(x[0])
        if op == "Sigmoid":
            return torch.sigmoid(x[0])
        if op == "Tanh":
            return torch.tanh(x[0])
        if op == "HardSigmoid":
            return torch.clamp(x[0] * a.get("alpha", 0.2) + a.get("beta", 0.5), 0, 1)
        if op == "HardSwish":
            return x[0] * torch.clamp(x[0] / 6.0 + 0.5, 0, 1)
        if op == "Clip":
            lo = a.get("min", None)
            hi = a.get("max", None)
            if len(x) > 1 and x[1] is not None:
                lo = float(x[1])
            if len(x) > 2 and x[2] is not None:
                hi = float(x[2])
            return torch.clamp(x[0], lo, hi)
        if op in ("Add", "Sub", "Mul", "Div", "Pow"):
            p, q = x[0], x[1]
            if op == "Add":
                return p + q
            if op == "Sub":
                return p - q
            if op == "Mul":
                return p * q
            if op == "Pow":
                return torch.pow(p, q)
            if not p.is_floating_point() and not q.is_floating_point():
                return torch.div(p, q, rounding_mode="floor")
            return p / q
        if op == "Sqrt":
            return torch.sqrt(x[0])
        if op == "GlobalAveragePool":
            return x[0].mean(dim=tuple(range(2, x[0].dim())), keepdim=True)
        if op in ("AveragePool", "MaxPool"):
            k = a["kernel_shape"]
            nd = len(k)
            pads = a.get("pads", [0] * (2 * nd))
            s = a.get("strides", [1] * nd)
            if pads[:nd] != pads[nd:]:
                raise NotImplementedError(op + " asymmetric pads")
            if op == "MaxPool":
                return F.max_pool2d(x[0], k, s, pads[:nd], ceil_mode=bool(a.get("ceil_mode", 0)))
            return F.avg_pool2d(x[0], k, s, pads[:nd], ceil_mode=bool(a.get("ceil_mode", 0)),
                                count_include_pad=bool(a.get("count_include_pad", 0)))
        if op == "Resize":
            if a.get("mode", "nearest") != "nearest":
                raise NotImplementedError("Resize mode")
            scales = x[2] if len(x) > 2 and x[2] is not None and x[2].numel() else None
            if scales is not None:
                sf = [float(v) for v in scales[2:]]
                return F.interpolate(x[0], scale_factor=sf, mode="nearest")
            sizes = [int(v) for v in x[3][2:]]
            return F.interpolate(x[0], size=sizes, mode="nearest")
        if op == "Concat":
            return torch.cat(x, dim=a["axis"])
        if op == "Shape":
            return torch.tensor(list(x[0].shape), dtype=torch.int64)
        if op == "Cast":
            to = a["to"]
            table = {1: torch.float32, 6: torch.int32, 7: torch.int64, 11: torch.float64, 9: torch.bool}
            return x[0].to(table[to])
        if op == "Slice":
            data = x[0]
            if len(x) > 1:
                starts = [int(v) for v in x[1]]
                ends = [int(v) for v in x[2]]
                axes = [int(v) for v in x[3]] if len(x) > 3 and x[3] is not None else list(range(len(starts)))
                steps = [int(v) for v in x[4]] if len(x) > 4 and x[4] is not None else [1] * len(starts)
            else:
                starts, ends = a["starts"], a["ends"]
                axes = a.get("axes", list(range(len(starts))))
                steps = [1] * len(starts)
            idx = [slice(None)] * data.dim()
            for s, e, ax, st in zip(starts, ends, axes, steps):
                if st != 1:
                    raise NotImplementedError("Slice step")
                n = data.shape[ax]
                s = max(0, min(n, s + n if s < 0 else s))
                e = max(0, min(n, e + n if e < 0 else e))
                idx[ax] = slice(s, e)
            return data[tuple(idx)]
        if op == "Reshape":
            shape = [int(v) for v in x[1]]
            shape = [x[0].shape[i] if v == 0 else v for i, v in enumerate(shape)]
            return x[0].reshape(shape)
        if op == "Flatten":
            ax = a.get("axis", 1)
            return x[0].reshape(int(np.prod(x[0].shape[:ax])), -1)
        if op == "Transpose":
            return x[0].permute(*a["perm"])
        if op == "ReduceMean":
            axes = a.get("axes", list(range(x[0].dim())))
            return x[0].mean(dim=tuple(axes), keepdim=bool(a.get("keepdims", 1)))
        if op == "MatMul":
            return torch.matmul(x[0], x[1])
        if op == "Gemm":
            p = x[0].t() if a.get("transA", 0) else x[0]
            q = x[1].t() if a.get("transB", 0) else x[1]
            y = a.get("alpha", 1.0) * (p @ q)
            if len(x) > 2 and x[2] is not None:
                y = y + a.get("beta", 1.0) * x[2]
            return y
        if op in ("Softmax", "LogSoftmax"):
            ax = a.get("axis", -1 if self.opset >= 13 else 1)
            d = x[0]
            if self.opset < 13:
                # Older opsets flatten everything from the axis on.
                ax = ax % d.dim()
                flat = d.reshape(int(np.prod(d.shape[:ax])), -1)
                y = torch.softmax(flat, 1) if op == "Softmax" else torch.log_softmax(flat, 1)
                return y.reshape(d.shape)
            return torch.softmax(d, ax) if op == "Softmax" else torch.log_softmax(d, ax)
        if op == "Squeeze":
            axes = a.get("axes")
            if axes is None and len(x) > 1:
                axes = [int(v) for v in x[1]]
            d = x[0]
            if axes is None:
                return d.squeeze()
            for ax in sorted([v % d.dim() for v in axes], reverse=True):
                d = d.squeeze(ax)
            return d
        if op == "Unsqueeze":
            axes = a.get("axes")
            if axes is None:
                axes = [int(v) for v in x[1]]
            d = x[0]
            for ax in sorted(axes):
                d = d.unsqueeze(ax)
            return d
        if op == "Gather":
            ax = a.get("axis", 0)
            idx = x[1].long()
            return torch.index_select(x[0], ax, idx.reshape(-1)).reshape(
                list(x[0].shape[:ax]) + list(idx.shape) + list(x[0].shape[ax + 1:]))
        raise NotImplementedError("operator " + op)


def run(model, x, input_name=None):
    it = Interpreter(model)
    name = input_name or model.graph.input[0].name
    return it.run({name: np.asarray(x, np.float32)})[0]
