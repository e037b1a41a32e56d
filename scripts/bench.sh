#!/usr/bin/env bash
# Builds the optimised preset and runs the benchmark: the block's steps per
# second against the loopback floor, and its heap allocations per step.
# Arguments go to zv_bench (for example --steps 5000 --reps 3).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target zv_bench
build/release/bin/zv_bench "$@"
