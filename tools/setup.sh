#!/usr/bin/env bash
# Installs what is needed, builds the program and the models directory, and
# runs the program on the shipped sample page.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install_deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"
bash tools/build_models.sh models-release build
# The program reads its models from ../models-release, relative to where it
# runs, and leaves test_info.txt there: run it from build/.
(cd build && ./vyrocr -s0 ../samples/passport_sample.png)
