#!/usr/bin/env bash
# The demo: installs the dependencies, builds, registers the bundled articulated figure (two poses
# of one mesh) without any window, measures the alignment, and says where the results are.
# VELTRIX_BUILD_DIR names the build directory (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${VELTRIX_BUILD_DIR:-build}
bash tools/install-deps.sh
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTRIX_WERROR=ON
targets=(veltrix-batch)
if grep -q '^VELTRIX_BUILD_VIEWERS:BOOL=ON' "$build/CMakeCache.txt"; then targets+=(veltrix); fi
cmake --build "$build" --target "${targets[@]}" -j"$(nproc)"
batch=$(cd "$build/programs" && pwd)/veltrix-batch

# The run works on a copy of the data in <build>/demo, so that the caches it writes
# (preprocessing/) and the result files stay out of the source tree.
work="$build/demo"
mkdir -p "$work/figure"
cp examples/figure/figure-000.obj examples/figure/figure-001.obj "$work/figure/"
rm -f "$work/figure-alignment.txt"
cd "$work"

echo "=== Registering figure-000.obj (source) with figure-001.obj (target): mode 1 ==="
"$batch" --seed 1 "$root/examples/params/demo.xml"
echo "=== Measuring the alignment: mode 3 ==="
"$batch" "$root/examples/params/demo-error.xml"

echo
echo "Result file:             $(pwd)/figure-result.gc"
echo "Alignment distance file: $(pwd)/figure-alignment.txt"
cat figure-alignment.txt
echo
echo "Labels per region of the result (mode 2, no window):"
echo "  cd $(pwd) && $batch $root/examples/params/demo-view.xml"
echo "The result in the viewer (mode 2, needs a display):"
echo "  cd $(pwd) && $(dirname "$batch")/veltrix -b $root/examples/params/demo-view.xml"
echo "Your own pair, without a parameter file:"
echo "  $batch register SOURCE.obj TARGET.obj"
