#!/usr/bin/env bash
# The layers check on a small tree whose includes all point downward: it passes while a class is
# defined in its own folder, and names the cycle once a folder above defines one of its operations.
set -u
check=$(cd "$(dirname "$0")/../.." && pwd)/tools/check-layers.sh
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
mkdir -p "$tree/geometry" "$tree/matching"
printf 'struct Shape {\n    void fit();\n    void grow();\n};\n' > "$tree/geometry/Shape.h"
printf '#include "Shape.h"\nvoid Shape::fit() {}\nvoid Shape::grow() {}\n' > "$tree/geometry/Shape.cpp"
printf '#include "Shape.h"\nvoid match(Shape& s) { s.fit(); }\n' > "$tree/matching/Match.cpp"
out=$(bash "$check" "$tree") || { echo "clean tree failed: $out"; exit 1; }

printf '#include "Shape.h"\nvoid Shape::fit() {}\n' > "$tree/matching/Fit.cpp"
printf '#include "Shape.h"\nvoid Shape::grow() {}\n' > "$tree/geometry/Shape.cpp"
out=$(bash "$check" "$tree") && { echo "cycle not detected: $out"; exit 1; }
for want in "cycle between folders: geometry/ -> matching/ -> geometry/" \
            "geometry/ declares Shape, which matching/Fit.cpp defines" \
            "matching/Fit.cpp includes Shape.h" \
            "info: Shape is defined over 2 source files"; do
  grep -qF "$want" <<< "$out" || { echo "missing \"$want\" in: $out"; exit 1; }
done
echo "layers check: cycle named"
