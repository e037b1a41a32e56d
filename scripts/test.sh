#!/usr/bin/env bash
# Builds everything and runs every test (the default preset: warnings as errors).
# "scripts/test.sh asan" does the same under the sanitizers; "scripts/test.sh
# windows" cross-builds for Windows and runs the tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"
if [ "$preset" = "windows" ]; then
    scripts/deps.sh windows
    # The Wine prefix of the build; its server, kept alive through the run by
    # cmake/wine-run.sh, ends with it.
    export ZV_WINEPREFIX="$PWD/build/windows/wine"
    trap 'WINEPREFIX="$ZV_WINEPREFIX" wineserver -k 2>/dev/null || true' EXIT
else
    scripts/deps.sh "$preset"
fi
cmake --workflow --preset "$preset"
