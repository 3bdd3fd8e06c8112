#!/usr/bin/env bash
# The test command: installs what is missing, then builds and runs the tests
# twice, once plainly and once under AddressSanitizer + UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install_deps.sh
jobs=$(nproc)
# Debug windows must never open in tests; this keeps Qt from aborting if one slips through.
export QT_QPA_PLATFORM=offscreen

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
# The released models (downloaded, converted and checked; downloads cached in
# build/) so that the tests reading with real models run too. Rebuilt whenever
# a file they are made from has changed.
inputs=$(cat tools/build_models.sh tools/*.py tools/models/* | sha256sum | cut -d' ' -f1)
if [ "$(cat models-release/.inputs 2>/dev/null)" != "$inputs" ]; then
  bash tools/build_models.sh models-release build
  echo "$inputs" > models-release/.inputs
fi
ctest --test-dir build --output-on-failure -j"$jobs"

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DVYR_SANITIZE=ON
cmake --build build-asan -j"$jobs"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$PWD/tools/lsan.supp
ctest --test-dir build-asan --output-on-failure -j"$jobs"
