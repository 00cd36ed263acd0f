#!/usr/bin/env bash
# Installs every build and test dependency from Debian packages. Quick when all are present.
# With --fuzz also clang and its runtime libraries (libFuzzer, sanitizers) for tools/fuzz.sh.
set -euo pipefail
PKGS=(cmake g++ make pkg-config
      qtbase5-dev libqt5opengl5-dev libqglviewer-dev-qt5 libann-dev libvtk9-dev
      liblapack-dev libexpat1-dev freeglut3-dev libglu1-mesa-dev
      googletest libgtest-dev libgmock-dev libbenchmark-dev
      xvfb xauth x11-apps x11-utils imagemagick
      parallel
      # the Python module and its tests
      python3-dev pybind11-dev python3-numpy python3-pytest
      # peers of the max-flow benchmark (bench/MaxFlowPeersBench.cpp, built only when present)
      libboost-graph-dev liblemon-dev)
if [ "${1:-}" = "--fuzz" ]; then PKGS+=(clang libclang-rt-14-dev); fi
missing=()
for p in "${PKGS[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "All dependencies are installed."
  exit 0
fi
echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
