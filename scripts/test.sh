#!/usr/bin/env bash
# Builds everything and runs every test (the default preset: warnings as errors).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --workflow --preset "${1:-default}"
