#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (address and undefined-behaviour sanitizers) in
# build-fuzz/ and runs one of them, seeded from tests/fuzz/ or from fuzz_seeds.
# Usage: tools/fuzz.sh TARGET [seconds]   (default 180 seconds)
#   TARGET: obj, params, result, export, correspondences, frames, features, spinimages
# Inputs that make the target fail are written to build-fuzz/artifacts/; keep each one (renamed)
# in the target's folder under tests/fuzz/, where the test suite replays it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
target=${1:?usage: tools/fuzz.sh TARGET [seconds]}
seconds=${2:-180}
out=${FUZZ_BUILD_DIR:-$root/build-fuzz}
bash "$root/tools/install-deps.sh" --fuzz
CC=clang CXX=clang++ cmake -S "$root" -B "$out" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTRIX_BUILD_FUZZ=ON \
  -DVELTRIX_SANITIZE=ON -DVELTRIX_BUILD_TESTS=OFF -DVELTRIX_BUILD_VIEWERS=OFF >/dev/null
cmake --build "$out" -j2 --target "fuzz_$target"
corpus=$out/corpus/$target
mkdir -p "$corpus" "$out/artifacts"
case $target in
  obj) cp -n "$root"/tests/fuzz/corpus/* "$corpus/" ;;
  params) cp -n "$root"/tests/fuzz/params/* "$corpus/" ;;
  result) cp -n "$root"/tests/fuzz/results/* "$corpus/" ;;
  export) cp -n "$root"/tests/fuzz/results/* "$root"/tests/fuzz/exports/* "$corpus/" ;;
  correspondences) cp -n "$root"/tests/fuzz/correspondences/* "$corpus/" ;;
  frames|features|spinimages)
    cmake --build "$out" -j2 --target fuzz_seeds
    "$out/fuzz/fuzz_seeds" "$out/seeds" >/dev/null
    cp -n "$out/seeds/$( [ "$target" = spinimages ] && echo spinImages || echo "$target")"/* "$corpus/" ;;
  *) echo "unknown target $target" >&2; exit 2 ;;
esac
export ASAN_OPTIONS=detect_leaks=0
"$out/fuzz/fuzz_$target" -max_total_time="$seconds" -max_len=65536 -malloc_limit_mb=512 -timeout=10 \
  -artifact_prefix="$out/artifacts/$target-" "$corpus"
