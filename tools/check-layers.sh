#!/usr/bin/env bash
# Fails when a source file includes a project header from a layer above its own, or when the
# folders depend on each other in a cycle. A folder depends on another when one of its files
# includes a header of the other, or when it declares a class whose operations the other defines
# (code calling them needs the other folder). Also lists, as information, the classes whose
# operations are defined over several source files in geometry/, matching/ and labeling/.
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

# Folder graph: edge["a b"] holds one example of a dependency of a/ on b/.
declare -A edge
bad=0
for dir in "${layers[@]}"; do
  for f in "$dir"/*.h "$dir"/*.cpp; do
    [ -e "$f" ] || continue
    while IFS= read -r inc; do
      # "folder/Name.h" names its folder; a bare "Name.h" is looked up.
      first=${inc%%/*}
      if [ "$first" != "$inc" ] && [ -n "${rank[$first]:-}" ]; then target=$first; else target=${home[${inc##*/}]:-}; fi
      [ -n "$target" ] || continue
      if [ "${rank[$target]}" -gt "${rank[$dir]}" ]; then
        echo "$f includes $inc from $target/, a layer above $dir/"
        bad=1
      fi
      [ "$target" != "$dir" ] && [ -z "${edge["$dir $target"]:-}" ] && edge["$dir $target"]="$f includes $inc"
    done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$f")
  done
done
[ "$bad" -eq 0 ] && echo "layers: every include points to the same layer or one below"

# Classes declared in project headers, and the source files that define their operations
# (a line starting at the left margin with Class::name( and not ending in ';').
declare -A declaredIn definedIn
for dir in "${layers[@]}"; do
  for h in "$dir"/*.h; do
    [ -e "$h" ] || continue
    while IFS= read -r cls; do
      declaredIn[$cls]=${declaredIn[$cls]:-$dir}
    done < <(sed -nE '/;[[:space:]]*$/!s/^(class|struct)[[:space:]]+([A-Za-z_][A-Za-z0-9_]*)([[:space:]:{].*)?$/\2/p' "$h")
  done
done
for dir in "${layers[@]}"; do
  for f in "$dir"/*.cpp; do
    [ -e "$f" ] || continue
    while IFS= read -r cls; do
      owner=${declaredIn[$cls]:-}
      [ -n "$owner" ] || continue
      case " ${definedIn[$cls]:-} " in *" $f "*) ;; *) definedIn[$cls]="${definedIn[$cls]:+${definedIn[$cls]} }$f" ;; esac
      [ "$owner" != "$dir" ] && [ -z "${edge["$owner $dir"]:-}" ] && edge["$owner $dir"]="$owner/ declares $cls, which $f defines"
    done < <(sed -nE '/^[[:space:]#\/]/d; s/"([^"\\]|\\.)*"/""/g; s:[[:space:]]*//.*$::; /;[[:space:]]*$/d
                      s/^(.*[^A-Za-z0-9_:])?([A-Z][A-Za-z0-9_]*)::~?[A-Za-z_][A-Za-z0-9_]*[[:space:]]*\(.*$/\2/p' "$f" | sort -u)
  done
done

# Depth-first search for cycles; each back edge closes one, reported with its dependencies.
declare -A colour
path=()
cycles=0
visit() {
  local a=$1 b i
  colour[$a]=grey
  path+=("$a")
  for b in "${layers[@]}"; do
    [ -n "${edge["$a $b"]:-}" ] || continue
    if [ "${colour[$b]:-white}" = grey ]; then
      local names="" because=""
      for ((i = ${#path[@]} - 1; i > 0; i--)); do [ "${path[$i]}" = "$b" ] && break; done
      for ((; i < ${#path[@]}; i++)); do
        names+="${path[$i]}/ -> "
        local next=$b
        [ $((i + 1)) -lt ${#path[@]} ] && next=${path[$((i + 1))]}
        because+=$'\n'"  ${edge["${path[$i]} $next"]}"
      done
      echo "cycle between folders: $names$b/$because"
      cycles=$((cycles + 1))
    elif [ "${colour[$b]:-white}" = white ]; then
      visit "$b"
    fi
  done
  unset 'path[${#path[@]}-1]'
  colour[$a]=black
}
for dir in "${layers[@]}"; do
  [ "${colour[$dir]:-white}" = white ] && visit "$dir"
done
if [ "$cycles" -eq 0 ]; then echo "layers: no cycle between folders"; else bad=1; fi

for cls in $(printf '%s\n' "${!definedIn[@]}" | sort); do
  case ${declaredIn[$cls]} in geometry | matching | labeling) ;; *) continue ;; esac
  read -ra files <<< "${definedIn[$cls]}"
  [ "${#files[@]}" -gt 1 ] && echo "info: $cls is defined over ${#files[@]} source files: ${files[*]}"
done
exit "$bad"
