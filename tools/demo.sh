#!/usr/bin/env bash
# Installs the dependencies, builds the program and runs it on the sample parameter file in a
# virtual X display for a few seconds.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTRIX_WERROR=ON
cmake --build build --target veltrix -j"$(nproc)"

SECONDS_SHOWN=${VELTRIX_DEMO_SECONDS:-5}
echo "Starting veltrix -b examples/params/sample.xml for ${SECONDS_SHOWN} seconds..."
status=0
xvfb-run -a timeout "${SECONDS_SHOWN}" build/app/veltrix -b examples/params/sample.xml || status=$?
# timeout ends the program with status 124 once the time is up: that is the expected end.
if [ "$status" -ne 0 ] && [ "$status" -ne 124 ]; then
  echo "veltrix ended with status $status" >&2
  exit "$status"
fi
echo "Demo finished."
