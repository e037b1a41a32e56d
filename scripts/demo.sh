#!/usr/bin/env bash
# Builds what the demo needs (zvsim, the block, the stand-in solver) and runs
# the demo co-simulation (outputs in build/default/demo). scripts/test.sh
# builds everything.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target zvsim zelvane
echo
exec examples/demo/run.sh build/default
