#!/usr/bin/python3
"""Measures the released models and writes tools/models/report.md.

  measure_models.py [--models DIR] [--count 1000] [--bench BUILD/tests/bench_real_models]

- model sizes (files of the models directory);
- the MRZ recogniser alone (OpenCV dnn, the committed ONNX body) on held-out
  synthetic lines harsher than training (loose crops catching part of the
  neighbouring lines, glyphs 10 to 40 px high, long '<' runs), on clean
  validation-style lines, and on one held-out set per print condition
  (binarised, loose or tight framing, small glyphs, ink spread or erosion,
  dot-like or broken strokes, field-structured lines): exact-line and
  character accuracy; with --old-mrz an earlier ONNX body beside it;
- the general English recogniser restricted to the MRZ alphabet on the same
  lines, for comparison;
- time of one network run on a 44-character line (Python cv2, 2 threads) and,
  with --bench, the C++ benchmark of the whole recognition (2 worker threads,
  after 1000 calls);
- with --measure (the vyrmeasure program of tools/measure_pages.cpp), reading
  of whole rendered pages through the scan interface: the full reader,
  template matching alone and the MRZ recogniser alone, on the committed
  pages (tests/data/pages) and on --pages-count held-out pages that
  tools/render_pages.py renders into a temporary directory;
- with --detector-bench (tests/bench_real_detectors), one face and one card
  detection on a 400-pixel-wide frame, when the models directory holds
  "fd4_2.p" and "card.p".

--build BUILD sets all three programs from one build directory. The whole
report, in one command (after building BUILD):

  /usr/bin/python3 tools/measure_models.py --build BUILD [--models DIR]
"""
import argparse
import datetime
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np
import cv2

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
import train_mrz as T  # noqa: E402

# The held-out print-condition sets: whole lines (half of them field-structured,
# all for "fields") with 16-40 px glyphs, each with its one condition always on.
COND_NAMES = {
    "binary": "binarised (global Otsu or shifted level, adaptive mean/Gaussian; half blurred first)",
    "framing": "framing: tight (0-0.06 cap) or loose (0.3-1.2 cap) top and bottom, one side margin 0.6-5 characters",
    "small": "small glyphs (12-17 px before scaling)",
    "ink": "ink spread or erosion (edges moved by a fraction of the stroke)",
    "broken": "dot-like or broken strokes (dot matrix, worn toner, scan lines)",
    "fields": "field-structured lines (TD3, TD2, MRV-A/B, 2 x 30, 3 x 30; dates, check digits)",
}


def bench_table(program, env=None):
    """The result table of a Google Benchmark program, as a fenced block."""
    r = subprocess.run([program, "--benchmark_format=console", "--benchmark_color=false"], capture_output=True,
                       text=True, env=env)
    rows = [l for l in r.stdout.splitlines() if l.startswith(("BM_", "---", "Benchmark"))]
    return ["```"] + rows + ["```"]

def decode(scores, keys):
    idx = scores.argmax(1)
    out, last = [], 0
    for i in idx:
        if i != 0 and i != last and i < len(keys):
            out.append(keys[i])
        last = i
    return "".join(out)


def run_set(net, samples, cols=None):
    ok = 0
    errs = 0
    chars = 0
    keys = ["#"] + list(T.ALPHABET)
    for crop, text in samples:
        x = T.to_input(T.prepare(crop)).transpose(2, 0, 1)[None].copy()
        net.setInput(x)
        y = net.forward()
        y = y.reshape(y.shape[1], -1)
        if cols is not None:
            y = y[:, cols]
        got = decode(y, keys)
        ok += got == text
        errs += T.edit_distance(got, text)
        chars += len(text)
    return ok / len(samples), 1 - errs / max(1, chars)


def scan_models_dir(models, tmp):
    """The models directory for a scan: vyrocr_init also loads the face and
    card detectors; where the directory lacks one, the test fixture stands in
    (it does not take part in reading the MRZ). Returns (dir, stand-ins)."""
    stand_ins = []
    missing = [(n, f) for n, f in (("fd4_2.p", "face_fixture.p"), ("card.p", "card_fixture.p"))
               if not os.path.exists(os.path.join(models, n))]
    if not missing:
        return models, stand_ins
    d = os.path.join(tmp, "models")
    os.makedirs(d)
    for n in os.listdir(models):
        os.symlink(os.path.abspath(os.path.join(models, n)), os.path.join(d, n))
    for n, f in missing:
        shutil.copy(os.path.join(ROOT, "tests", "data", "models", f), os.path.join(d, n))
        stand_ins.append(n)
    return d, stand_ins


def run_measure(prog, models, pages):
    """vyrmeasure's records: the summaries by mode, the result codes by mode and
    the pages the full reader got wrong."""
    r = subprocess.run([prog, "--models", models, "--pages", pages, "--modes", "0,1,auto"],
                       capture_output=True, text=True)
    summaries, codes, fails = {}, {}, []
    for line in r.stdout.splitlines():
        parts = line.split()
        if not parts:
            continue
        kv = dict(p.split("=", 1) for p in parts[1:] if "=" in p)
        if parts[0] == "summary":
            summaries[kv["mode"]] = kv
        elif parts[0] == "codes":
            codes[kv.pop("mode")] = kv
        elif parts[0] == "page" and kv.get("full") == "0":
            fails.append(kv)
    if r.returncode != 0:
        print(r.stderr, file=sys.stderr)
    return summaries, codes, fails


MODE_NAMES = {"0": "0 (geometry, fixed)", "1": "1 (text detector, fixed)",
              "auto": "alternating, up to 3 tries (test driver)"}


def page_table(summaries, codes, fails):
    out = ["| detect mode | pages | lines found | full reader: doc | line | template matching alone: doc | line |"
           " MRZ recogniser alone: doc | line | ms per page: mean | median | p95 |",
           "|---|---|---|---|---|---|---|---|---|---|---|---|"]
    for mode in ("0", "1", "auto"):
        s = summaries.get(mode)
        if not s:
            continue
        out.append("| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |" % (
            MODE_NAMES[mode], s["pages"], s["located"], s["full_doc"], s["full_line"], s["match_doc"],
            s["match_line"], s["rec_doc"], s["rec_line"], s["ms_mean"], s["ms_median"], s["ms_p95"]))
    out.append("")
    out.append("Result codes: " + "; ".join(
        "mode %s: %s" % (m, ", ".join("%s x%s" % kv for kv in sorted(c.items(), key=lambda kv: int(kv[0]))))
        for m, c in codes.items()) + ".")
    if fails:
        out.append("")
        out.append("Pages the full reader did not read exactly: " + ", ".join(
            "%s (mode %s, code %s)" % (f["name"], f["mode"], f["code"]) for f in fails) + ".")
    out.append("")
    return out


def page_section(args):
    out = ["## Reading rendered pages", ""]
    if not args.measure or not os.path.exists(args.measure):
        out += ["Not measured: no vyrmeasure program (build it, then pass --build or --measure).", ""]
        return out
    tmp = tempfile.mkdtemp(prefix="vyr_measure_")
    try:
        models, stand_ins = scan_models_dir(args.models, tmp)
        pages = os.path.join(tmp, "pages")
        subprocess.run(["/usr/bin/python3", os.path.join(HERE, "render_pages.py"), pages, "--count",
                        str(args.pages_count), "--seed", str(args.pages_seed)], check=True)
        held = run_measure(args.measure, models, pages)
        committed = run_measure(args.measure, models, os.path.join(ROOT, "tests", "data", "pages"))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    out.append("Each page goes through the whole scan (`vyrocr_scan_mat`, passport path, new camera) with the"
               " models of `%s`. A page counts as read when the scan returns 0 with the MRZ text and every"
               " field of its truth file; a line when its MRZ text is exact. Template matching alone is the"
               " reader's matching passes run again on the lines the scan segmented, without any re-reading;"
               " the MRZ recogniser alone reads each segmented colour line whole. Rates are over all pages (a"
               " page whose lines were not found counts as misread by all three). Times are whole scans,"
               " retries included, on a machine shared with a training job."
               % os.path.relpath(args.models, ROOT))
    if stand_ins:
        out.append("")
        out.append("The models directory has no %s yet: the test fixture stood in (it does not read the MRZ)."
                   % " / ".join('"%s"' % n for n in stand_ins))
    out.append("")
    out.append("Held-out pages: %d rendered by `tools/render_pages.py --count %d --seed %d` (passports, visas of"
               " both layouts, residence permits; random tilt, blur, noise, low contrast, worn runs, specks,"
               " widths and pitches):" % (args.pages_count, args.pages_count, args.pages_seed))
    out.append("")
    out += page_table(*held)
    out.append("The committed pages (tests/data/pages, without the two pages that carry no MRZ):")
    out.append("")
    out += page_table(*committed)
    return out


def kept_status(path):
    """The hand-written "## Status" section of the previous report, kept as it
    was (this script does not write it)."""
    if not os.path.exists(path):
        return []
    out, inside = [], False
    for line in open(path, encoding="utf-8").read().splitlines():
        if line.startswith("## "):
            inside = line.strip() == "## Status"
        if inside:
            out.append(line)
    while out and not out[-1].strip():
        out.pop()
    return out + [""] if out else []


def detector_section(args):
    out = ["## Face and card detection", ""]
    missing = [n for n in ("fd4_2.p", "card.p") if not os.path.exists(os.path.join(args.models, n))]
    if missing:
        out += ["Not measured: %s not in the models directory yet." % " and ".join('"%s"' % n for n in missing), ""]
        if len(missing) == 2:
            return out
    if not args.detector_bench or not os.path.exists(args.detector_bench):
        out += ["Not measured: no bench_real_detectors program (build it, then pass --build).", ""]
        return out
    env = dict(os.environ, VYR_DETECTOR_MODELS=os.path.abspath(args.models))
    out.append("`bench_real_detectors`: one detection on a 400-pixel-wide frame (a page with a real photograph for the face, a synthetic card scene for the card), process"
               " pool of 2 threads (the card detector runs its network on one):")
    out.append("")
    out.extend(bench_table(args.detector_bench, env))
    out.append("")
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--models", default=os.path.join(ROOT, "models-release"))
    ap.add_argument("--count", type=int, default=1000)
    ap.add_argument("--bench", default=None)
    ap.add_argument("--out", default=os.path.join(HERE, "models", "report.md"))
    ap.add_argument("--en-body", default=None, help="converted English recogniser (ONNX) for the comparison")
    ap.add_argument("--old-mrz", default=None, help="earlier MRZ recogniser (ONNX) measured beside the current one")
    ap.add_argument("--build", default=None, help="build directory: sets --bench, --measure, --detector-bench")
    ap.add_argument("--measure", default=None, help="the vyrmeasure program (page reading)")
    ap.add_argument("--detector-bench", default=None, help="the bench_real_detectors program")
    ap.add_argument("--pages-count", type=int, default=300, help="held-out pages to render and read")
    ap.add_argument("--pages-seed", type=int, default=11, help="seed of the held-out pages")
    args = ap.parse_args()
    if args.build:
        b = os.path.abspath(args.build)
        args.bench = args.bench or os.path.join(b, "tests", "bench_real_models")
        args.measure = args.measure or os.path.join(b, "tools", "vyrmeasure")
        args.detector_bench = args.detector_bench or os.path.join(b, "tests", "bench_real_detectors")
        if not args.en_body:
            # The converted English body that tools/build_models.sh leaves in its cache.
            cache = os.environ.get("VYR_MODEL_CACHE", os.path.join(b, "model-cache"))
            args.en_body = os.path.join(cache, "work", "rec_en.onnx")
    cv2.setNumThreads(2)
    lines = []
    lines.append("# Released models: figures")
    lines.append("")
    lines.append("Generated by `tools/measure_models.py` on %s UTC." % datetime.datetime.utcnow().strftime("%Y-%m-%d %H:%M"))
    lines.append("")

    lines.append("## Model sizes")
    lines.append("")
    lines.append("| file | bytes |")
    lines.append("|---|---|")
    if os.path.isdir(args.models):
        for n in sorted(os.listdir(args.models)):
            lines.append("| %s | %d |" % (n, os.path.getsize(os.path.join(args.models, n))))
    else:
        lines.append("| (models directory %s not built) | |" % args.models)
    lines.append("")

    mrz_path = os.path.join(HERE, "models", "ocrv3_mrz.onnx")
    net = cv2.dnn.readNetFromONNX(mrz_path)
    import torch
    state = {}
    try:
        _, state = T.load_best()
        nparam = sum(p.numel() for p in T.build_model().parameters())
    except Exception:
        nparam = 0
    lines.append("## MRZ recogniser (ocrv3_mrz.p)")
    lines.append("")
    lines.append("Conv-only CTC network, %d parameters, 38 classes, input 1x3x48xW, output 1x(W/4)x38x1." % nparam)
    if state:
        lines.append("Training so far: %d steps, %d synthetic lines, %.0f minutes of CPU training (3 to 6 threads;"
                     " see `tools/models/mrz_training_report.md`; the harsh column is the clipped set until step 7032,"
                     " the whole-glyph set after)." % (state.get("step", 0), state.get("samples", 0),
                                                             state.get("seconds", 0) / 60.0))
        hist = state.get("history", [])
        if hist:
            lines.append("")
            lines.append("| step | lines seen | minutes | val exact line | val char | harsh exact line | harsh char |"
                         " conditions exact line |")
            lines.append("|---|---|---|---|---|---|---|---|")
            for h in hist:
                lines.append("| %d | %d | %.0f | %.3f | %.3f | %.3f | %.3f | %s |" % (
                    h["step"], h["samples"], h["minutes"], h["val_line"], h["val_char"], h["harsh_line"],
                    h["harsh_char"], "%.3f" % h["cond_line"] if "cond_line" in h else ""))
    lines.append("")
    t0 = time.time()
    sets = [("harsh (10-40 px glyphs, loose crops with neighbouring lines, long '<' runs)",
             T.fixed_set(20261211, args.count, True)),
            ("harsh, crop corners also jittered into the glyphs (same seed)",
             T.fixed_set(20261211, args.count, True, clipped=True)),
            ("training-like (without the print conditions)", T.fixed_set(20261212, args.count, False))]
    for cond in T.CONDITIONS:
        sets.append((COND_NAMES[cond], T.fixed_set(T.COND_SEEDS[cond], args.count, False, cond=cond)))
    harsh = sets[0][1]
    gen = time.time() - t0
    old = cv2.dnn.readNetFromONNX(args.old_mrz) if args.old_mrz else None
    lines.append("Held-out synthetic lines (OpenCV dnn, the library's 3x3 blur and bilinear scaling to height 48,"
                 " greedy CTC over the MRZ alphabet; %d lines each, seeds not used in training):" % args.count)
    lines.append("")
    if old is not None:
        lines.append("| set | exact line | character | earlier weights: exact line | character |")
        lines.append("|---|---|---|---|---|")
    else:
        lines.append("| set | exact line | character |")
        lines.append("|---|---|---|")
    for name, samples in sets:
        row = "| %s | %.4f | %.4f |" % ((name,) + run_set(net, samples))
        if old is not None:
            row += " %.4f | %.4f |" % run_set(old, samples)
        lines.append(row)
    lines.append("")
    if old is not None:
        lines.append("Earlier weights: `%s`, measured in the same run on the same lines." % os.path.basename(args.old_mrz))
        lines.append("")
    lines.append("Targets: 0.975 exact on the harsh set, 0.95 on each print-condition set (binarised to field-structured).")
    lines.append("The harsh crops are loose: the corner jitter (0.25 cap height) and")
    lines.append("rotation are drawn again until the glyphs are whole. The second row lets the jitter cut into the")
    lines.append("glyphs as well (up to a quarter of their height at a corner); about a third of its lines lose more")
    lines.append("than a tenth of their glyph height, which no loose crop does.")
    lines.append("")

    if args.en_body and os.path.exists(args.en_body):
        en = cv2.dnn.readNetFromONNX(args.en_body)
        # blank, '0'-'9', '<' (line 13), 'A'-'Z' (lines 18-43) of the English dictionary
        cols = [0] + list(range(1, 11)) + [13] + list(range(18, 44))
        e_line, e_char = run_set(en, harsh[: min(200, len(harsh))], cols)
        lines.append("General English recogniser (PP-OCRv4, columns selected), mode O, first 200 harsh lines:"
                     " exact line %.4f, character %.4f." % (e_line, e_char))
        lines.append("")
    else:
        lines.append("General English recogniser: not compared in this run (no converted body; pass --en-body,"
                     " or --build with the cache of tools/build_models.sh).")
        lines.append("")

    img = cv2.imread(os.path.join(ROOT, "tests", "data", "real_models", "line2.png"))
    x = T.to_input(T.prepare(img)).transpose(2, 0, 1)[None].copy()
    net.setInput(x)
    net.forward()
    times = []
    for _ in range(200):
        t = time.perf_counter()
        net.setInput(x)
        net.forward()
        times.append((time.perf_counter() - t) * 1000)
    lines.append("## Speed")
    lines.append("")
    lines.append("Network run on the 44-character fixture line (width %d at height 48), Python cv2, 2 threads,"
                 " 200 runs: min %.2f ms, median %.2f ms (machine shared with other work)."
                 % (x.shape[3], min(times), float(np.median(times))))
    if args.bench and os.path.exists(args.bench):
        lines.append("")
        lines.append("C++ benchmark (`%s`, whole recognition: blur, scale, run, decode; 2 worker threads; after"
                     " 1000 calls):" % os.path.basename(args.bench))
        lines.append("")
        lines.extend(bench_table(args.bench))
    lines.append("")
    lines.extend(page_section(args))
    lines.extend(detector_section(args))
    lines.extend(kept_status(args.out))
    lines.append("## Regenerating this report")
    lines.append("")
    lines.append("```")
    lines.append("cmake --build BUILD -j4   # vyrmeasure, bench_real_models, bench_real_detectors")
    lines.append("/usr/bin/python3 tools/measure_models.py --build BUILD --models %s" % (
        os.path.relpath(args.models, ROOT) if os.path.abspath(args.models).startswith(ROOT) else args.models))
    lines.append("```")
    lines.append("")
    with open(args.out, "w") as f:
        f.write("\n".join(lines) + "\n")
    print("\n".join(lines))
    print("(data generation %.0f s)" % gen, file=sys.stderr)


if __name__ == "__main__":
    main()
