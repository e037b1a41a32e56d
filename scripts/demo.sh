#!/usr/bin/env bash
# Builds everything and runs the demo co-simulation (outputs in build/default/demo).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default
echo
exec examples/demo/run.sh build/default
