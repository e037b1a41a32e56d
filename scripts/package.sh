#!/usr/bin/env bash
# Makes the two release archives in build/package/:
#   zelvanesl61-<version>-glnxa64.tar.gz  from the default preset (Linux)
#   zelvanesl61-<version>-win64.zip       from the windows preset (MinGW-w64)
# Each build is configured if needed and only what the archive holds is built,
# so after scripts/test.sh and scripts/test.sh windows this only packs.
# Then each archive is tried on its own (scripts/check-archive.sh) unless
# --no-check is given.
set -euo pipefail
cd "$(dirname "$0")/.."
check=1
[ "${1:-}" = "--no-check" ] && check=0
scripts/deps.sh windows
scripts/deps.sh package

version="$(sed -n 's/^project(zelvane_link VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)"
if ! head -n 5 CHANGELOG.md | grep -q "^## $version"; then
    echo "package: CHANGELOG.md does not start with a section for $version" >&2
    exit 1
fi

mkdir -p build/package
for preset in default windows; do
    [ -f "build/$preset/CMakeCache.txt" ] || cmake --preset "$preset" >/dev/null
    # Picks up a changed version or file list.
    cmake "build/$preset" >/dev/null
    cmake --build "build/$preset" --target zv_release
    (cd "build/$preset" && cpack -B "$PWD/../package" >/dev/null)
done
rm -rf build/package/_CPack_Packages
archives=(build/package/zelvanesl61-"$version"-glnxa64.tar.gz
    build/package/zelvanesl61-"$version"-win64.zip)
for a in "${archives[@]}"; do
    [ -f "$a" ] || { echo "package: $a was not made" >&2; exit 1; }
    echo "made $a"
done
if [ "$check" = 1 ]; then
    export ZV_WINEPREFIX="$PWD/build/windows/wine"
    trap 'WINEPREFIX="$ZV_WINEPREFIX" wineserver -k 2>/dev/null || true' EXIT
    for a in "${archives[@]}"; do
        scripts/check-archive.sh "$a"
    done
fi
