#!/usr/bin/env bash
# The block inside GNU Octave: installs Octave if missing, builds the block
# with build_zelvanesl61.m (Octave's own mex, as a user does) and the
# zvgateway MEX file against Octave's MEX interface, runs the
# command-line checks and whole co-simulations in octave-cli, then shows
# with a sanitizer build that N rounds leak no more than one.
# Usage: octave.sh [ROUNDS] (default 20).
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
rounds="${1:-20}"
scripts/deps.sh octave
scripts/deps.sh

# The stand-in solver, laid out as an installation under build/default/zvihome,
# and zvsim with its block, to compare the two hosts.
cmake --preset default >/dev/null
cmake --build --preset default --target zelvane zvsim zelvanesl61
export ZVIHOME="$root/build/default/zvihome"

# The guard must refuse our own mex.h in front of Octave's.
octinc="$(mkoctfile -p OCTINCLUDEDIR)"
refused="$(g++ -std=c++17 -fsyntax-only -I"$root/mexapi" -I"$octinc" \
    host/octave/guard.cpp 2>&1 || true)"
if ! grep -q "mex.h is not Octave's" <<<"$refused"; then
    echo "octave: the build guard let the stand-in's mex.h through" >&2
    exit 1
fi

octave() {
    octave-cli --no-history --norc --eval "$1"
}
echo "== build_zelvanesl61 in octave-cli"
rm -f "$root/build/octave/zelvanesl61.mex"
octave "addpath('$root'); build_zelvanesl61('$root/build/octave');"
exports="$(nm -D --defined-only "$root/build/octave/zelvanesl61.mex" | awk '{print $3}')"
if [ "$exports" != mexFunction ]; then
    echo "octave: build_zelvanesl61's MEX file exports $(echo $exports), not mexFunction alone" >&2
    exit 1
fi
host/octave/build.sh "$root/build/octave" gateway
models="$root/examples/models"
echo "== checks in octave-cli"
octave "addpath('$root/build/octave', '$root/tests/octave', '$root/tools/matlab');
        exit(zv_octave_checks('$models', '$root/build/default/bin/zvsim') > 0)"

echo "== leaks: 1 round against $rounds"
ZV_OCTAVE_CXXFLAGS="-fsanitize=address -fno-omit-frame-pointer" \
    host/octave/build.sh "$root/build/octave-asan"
asan="$(g++ -print-file-name=libasan.so)"
leaked() {
    local log="$root/build/octave-asan/leaks-$1.txt"
    # Octave leaks at exit whatever runs, so the exit status says nothing:
    # the log must show the rounds done and no error but the leak report.
    LD_PRELOAD="$asan" ASAN_OPTIONS=detect_leaks=1 \
        octave "addpath('$root/build/octave-asan', '$root/tests/octave');
                zv_octave_memory('$models', $1)" >"$log" 2>&1 || true
    if ! grep -q "^$1 rounds done" "$log" || grep -q 'ERROR: AddressSanitizer' "$log"; then
        cat "$log" >&2
        return 1
    fi
    local n
    n="$(sed -n 's/^SUMMARY: AddressSanitizer: [0-9]* byte(s) leaked in \([0-9]*\) allocation.*/\1/p' \
        "$log")"
    echo "${n:-0}"
}
one="$(leaked 1)"
many="$(leaked "$rounds")"
echo "allocations leaked at exit: $one after 1 round, $many after $rounds"
if [ "$many" -gt "$one" ]; then
    echo "octave: leaks grow with the rounds; see build/octave-asan/leaks-$rounds.txt" >&2
    exit 1
fi
echo "octave: all checks passed"
