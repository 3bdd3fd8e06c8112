#!/usr/bin/env bash
# Installs what is needed, builds, and runs the program on the shipped sample.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install_deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"
./build/vyrocr samples/passport_sample.png
