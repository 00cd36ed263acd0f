#!/bin/sh
# Builds and runs the OBJ reader fuzz target with clang's libFuzzer.
# Usage: tools/fuzz-obj.sh [seconds]   (default 180). Needs clang and libclang-rt-14-dev.
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
out=${FUZZ_BUILD_DIR:-$root/build-fuzz}
seconds=${1:-180}
mkdir -p "$out/corpus"
cp -n "$root"/tests/fuzz/corpus/*.obj "$out/corpus/" 2>/dev/null || true
clang++ -std=c++17 -g -O1 -fPIC -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I"$root/app" -I"$root/matching" -I"$root/geometry" $(pkg-config --cflags Qt5Core) \
  "$root/tests/fuzz/ObjReaderFuzz.cpp" "$root/geometry/ObjReader.cpp" "$root/geometry/ShapeModel.cpp" \
  "$root/matching/PointSetANN.cpp" "$root/matching/FeatureSetANN.cpp" "$root/matching/AnnSearch.cpp" \
  "$root/app/Random.cpp" \
  $(pkg-config --libs Qt5Core) -lann -o "$out/obj_fuzz"
"$out/obj_fuzz" -max_total_time="$seconds" -max_len=4096 "$out/corpus"
