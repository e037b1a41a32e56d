#!/usr/bin/env bash
# Builds what the demo needs (zvsim, the block, the stand-in solver) and the
# tools the README's demo section uses with it (zvtrace, zvdoctor), and runs
# the demo co-simulation (outputs in build/default/demo). scripts/test.sh
# builds everything.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset default >/dev/null
targets=(zvsim zelvane zvtrace zvdoctor)
cmake --build --preset default --target "${targets[@]}"
echo
exec examples/demo/run.sh build/default
