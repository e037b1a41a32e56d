#!/usr/bin/env bash
# Builds the optimised preset and runs the benchmark: the block's steps per
# second against the loopback floor, and its heap allocations per step; last
# the block's own cost (against a canned peer) and the gain of PIPELINE=1,
# each as a ratio to the floor.
# Arguments go to zv_bench (for example --steps 5000 --reps 3).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target zv_bench
build/release/bin/zv_bench "$@"
