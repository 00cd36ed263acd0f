#!/usr/bin/env bash
# Fails when a source file includes a project header from a layer above its own.
# Usage: tools/check-layers.sh [repository root]
set -uo pipefail
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$root" || exit 2
layers=(core spatial geometry matching graphcut labeling app viewers programs python)
declare -A rank home
for i in "${!layers[@]}"; do rank[${layers[$i]}]=$i; done
# Where each project header lives.
for dir in "${layers[@]}"; do
  for h in "$dir"/*.h; do
    [ -e "$h" ] || continue
    name=$(basename "$h")
    if [ -n "${home[$name]:-}" ]; then
      echo "header $name stands in both ${home[$name]}/ and $dir/"; exit 1
    fi
    home[$name]=$dir
  done
done
bad=0
for dir in "${layers[@]}"; do
  for f in "$dir"/*.h "$dir"/*.cpp; do
    [ -e "$f" ] || continue
    while IFS= read -r inc; do
      target=${home[$inc]:-}
      [ -n "$target" ] || continue
      if [ "${rank[$target]}" -gt "${rank[$dir]}" ]; then
        echo "$f includes $inc from $target/, a layer above $dir/"
        bad=1
      fi
    done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$f")
  done
done
[ "$bad" -eq 0 ] && echo "layers: every include points to the same layer or one below"
exit "$bad"
