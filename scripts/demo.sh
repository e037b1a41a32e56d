#!/usr/bin/env bash
# Builds everything and runs the demo co-simulation.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default
if [ -x examples/demo/run.sh ]; then
    exec examples/demo/run.sh build/default
fi
echo
echo "Everything is built, but the demo co-simulation is not there yet."
