#!/usr/bin/env bash
# Installs a build into a scratch prefix and moves the prefix (an installed
# tree must not depend on where it was installed), then builds the sample
# application scan_sample.cpp against it twice, through pkg-config and through
# find_package(vyrocr), and scans the shipped sample page with the installed
# models. Each public header must also compile alone with the package's flags.
#   run.sh <build dir> <source dir> <cmake> <c++ compiler> [sanitizer flags...]
# A sanitizer build passes its flags: its libraries need the sanitizer runtime
# loaded first, so the application is built with the same flags.
set -euo pipefail
build=$1 src=$2 cmake=$3 cxx=$4
shift 4
san=("$@")
here=$(cd "$(dirname "$0")" && pwd)
work=$build/install_test
if [ ! -f "$src/models-release/ocrv3_mrz.p" ]; then
  echo "models-release has not been built: skipped"
  exit 77
fi
rm -rf "$work"
mkdir -p "$work"
unset LD_LIBRARY_PATH PKG_CONFIG_PATH CMAKE_PREFIX_PATH

"$cmake" --install "$build" --prefix "$work/staged" > "$work/install.log"
mv "$work/staged" "$work/prefix"
prefix=$work/prefix

fail() { echo "FAIL: $*"; exit 1; }
# The sample page's MRZ, as the scan must return it.
expected="scan: 0 1 L898902C3 P<UTOERIKSSON<<ANNA<MARIA<<<<<<<<<<<<<<<<<<<L898902C36UTO7408122F1204159ZE184226B<<<<<10"
scan_with() {  # scan_with <program> <models dir>
  local out line
  out=$("$1" "$2" "$src/samples/passport_sample.png") || fail "$1 exited with $? (output: $out)"
  line=$(grep '^scan: ' <<<"$out") || fail "$1 printed no result"
  [ "$line" = "$expected" ] || fail "$1: got '$line', want '$expected'"
  echo "$1: $line"
}
same_dir() { [ "$(cd "$1" && pwd -P)" = "$(cd "$2" && pwd -P)" ] || fail "$3 is $1, not $2"; }

# The program finds its library in the moved tree.
out=$("$prefix/bin/vyrocr" < /dev/null) || fail "installed vyrocr exited with $?"
[[ $out == "vyrocr "* ]] || fail "installed vyrocr printed: $out"

# pkg-config
export PKG_CONFIG_PATH
PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name vyrocr.pc)")
cflags=$(pkg-config --cflags vyrocr)
headers=("$prefix"/include/vyrocr/*.h)
pids=()
for h in "${headers[@]}"; do
  echo "#include <vyrocr/${h##*/}>" | "$cxx" -x c++ -fsyntax-only $cflags - &
  pids+=($!)
done
for i in "${!pids[@]}"; do
  wait "${pids[$i]}" || fail "${headers[$i]##*/} does not compile on its own"
done
models=$(pkg-config --variable=modelsdir vyrocr)
same_dir "$models" "$prefix/share/vyrocr/models" "pkg-config modelsdir"
"$cxx" "${san[@]}" -o "$work/scan_pc" "$here/scan_sample.cpp" $(pkg-config --cflags --libs vyrocr) \
  -Wl,-rpath,"$(pkg-config --variable=libdir vyrocr)"
scan_with "$work/scan_pc" "$models"

# find_package(vyrocr)
"$cmake" -S "$here/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="${san[*]}" -DCMAKE_EXE_LINKER_FLAGS="${san[*]}" \
  > "$work/consumer.log" || { cat "$work/consumer.log"; fail "find_package(vyrocr)"; }
"$cmake" --build "$work/consumer" > "$work/consumer-build.log" || { cat "$work/consumer-build.log"; fail "cmake build"; }
same_dir "$(cat "$work/consumer/models_dir.txt")" "$prefix/share/vyrocr/models" "vyrocr_MODELS_DIR"
scan_with "$work/consumer/scan_sample" "$(cat "$work/consumer/models_dir.txt")"

rm -rf "$work"
