#!/usr/bin/env bash
# Builds the block as an Octave MEX file, and the gateway that runs it as
# Simulink would, into the folder given (default build/octave); with
# "gateway" after the folder, the gateway only (the block then comes from
# build_zelvanesl61.m, as a user builds it).
# Octave's mex.h and library serve every mx*/mex* call; mexapi serves
# only the SimStruct and the S-function's basic types.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
out="${1:-$root/build/octave}"
what="${2:-all}"
mkdir -p "$out"
cd "$out"

libdir="$(mkoctfile -p OCTLIBDIR)"
# Extra options for both MEX files (the memory check adds a sanitizer).
extra=(${ZV_OCTAVE_CXXFLAGS:-})
export CXXFLAGS="-std=c++17 -O1 -g -Wall -Wextra -Werror -fvisibility=hidden \
-fvisibility-inlines-hidden ${extra[*]:-}"
export CXX="${CXX:-g++}"
command -v ccache >/dev/null && [ -n "${CCACHE_DIR:-}" ] && export CXX="ccache $CXX"

# mkoctfile puts Octave's include folder first, so <mex.h> in simstruc.h is
# Octave's; the guard proves it. Debian's mkoctfile leaves liboctinterp out
# of a MEX link: name it, so that --no-undefined can hold.
link=(-L"$libdir" -Wl,-rpath,"$libdir" -loctinterp -loctave -Wl,--no-undefined
      ${ZV_OCTAVE_LDFLAGS:-})

# Octave 7 looks for .mex, not .mexa64.
[ "$what" = gateway ] || mkoctfile --mex -I"$root/src" -I"$root/mexapi" \
    "$root/host/octave/guard.cpp" "$root"/src/*/*.cpp "${link[@]}" \
    -Wl,--version-script="$root/src/frame/mexfunction.map" -o zelvanesl61.mex
mkoctfile --mex -I"$root/mexapi" "$root/host/octave/zvgateway.cpp" \
    "${link[@]}" -o zvgateway.mex
[ "$what" = gateway ] || echo "built $out/zelvanesl61.mex"
echo "built $out/zvgateway.mex"
