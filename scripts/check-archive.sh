#!/usr/bin/env bash
# Tries a release archive as a user would: unpacks it alone into an empty
# folder outside the build tree, checks that it holds exactly the files of a
# release and nothing of the build (no build paths, no search paths, the
# MEX file exporting only mexFunction, the version everywhere), then runs
# zvdoctor against the stand-in solver and the demo with tools/zvsim. A
# Windows zip runs under Wine.
# Usage: check-archive.sh ARCHIVE (a .tar.gz or .zip made by scripts/package.sh)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
archive="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
version="$(sed -n 's/^project(zelvane_link VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")"

fail() {
    echo "check-archive: $(basename "$archive"): $*" >&2
    exit 1
}

case "$archive" in
*-glnxa64.tar.gz) windows=0 exe="" mex=zelvanesl61.mexa64 lib=lib so=.so ;;
*-win64.zip) windows=1 exe=.exe mex=zelvanesl61.mexw64 lib=lib so=.dll ;;
*) fail "not a release archive name (zelvanesl61-<version>-glnxa64.tar.gz or -win64.zip)" ;;
esac
name="$(basename "$archive")"
name="${name%.tar.gz}"
name="${name%.zip}"
[ "$name" = "zelvanesl61-$version-glnxa64" ] || [ "$name" = "zelvanesl61-$version-win64" ] ||
    fail "the name does not carry the version $version of CMakeLists.txt"

work="$(mktemp -d "${TMPDIR:-/tmp}/zv-archive.XXXXXX")"
trap 'rm -rf "$work"' EXIT
cd "$work"
if [ "$windows" = 1 ]; then unzip -q "$archive"; else tar -xzf "$archive"; fi
[ -d "$name" ] || fail "unpacks to $(ls), not one folder $name"
top="$work/$name"
cd "$top"

# Exactly these files.
expected=(CHANGELOG.md README.md zvlink.prm.example errstop61.m "$mex"
    "standin/tank.dat" "standin/zvihome/v6.1.0/Zelvane/bin/zelvane$exe"
    "tools/${lib}mex$so" "tools/${lib}mx$so" "tools/zvsim$exe" "tools/zvtrace$exe"
    "tools/zvdoctor$exe")
diff <(printf '%s\n' "${expected[@]}" | sort) <(find . -type f | sed 's|^\./||' | sort) >"$work/files.diff" ||
    fail "unexpected file list (< missing, > extra):$(echo; cat "$work/files.diff")"

programs=("$mex" tools/* "standin/zvihome/v6.1.0/Zelvane/bin/zelvane$exe")
for f in "${programs[@]}"; do
    if strings -a "$f" | grep -q -F -e "$root" -e "$work"; then
        fail "$f holds a path of the build: $(strings -a "$f" | grep -F -m1 "$root")"
    fi
done
head -n 5 CHANGELOG.md | grep -q "^## $version" || fail "CHANGELOG.md does not start with $version"

if [ "$windows" = 0 ]; then
    for f in "${programs[@]}"; do
        paths="$(readelf -d "$f" | sed -n 's/.*(\(RPATH\|RUNPATH\)).*\[\(.*\)\]/\2/p')"
        # zvsim and zvdoctor find the libmx and libmex beside them.
        case "$f" in tools/zvsim | tools/zvdoctor) allowed='$ORIGIN' ;; *) allowed="" ;; esac
        [ "$paths" = "$allowed" ] || fail "$f has the search path '$paths'"
    done
    exports="$(nm -D --defined-only "$mex" | awk '{print $3}')"
    needed="$(readelf -d "$mex" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | tr '\n' ' ')"
    [ "$needed" = "libc.so.6 libm.so.6 libmex.so libmx.so " ] || fail "$mex needs $needed"
    run() { "$@"; }
    zvihome="$top/standin/zvihome"
else
    exports="$(x86_64-w64-mingw32-objdump -p "$mex" |
        sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\s*\[ *[0-9]*\] //p')"
    for f in "${programs[@]}"; do
        resource="$(strings -a -el "$f")"
        grep -qx "$version" <<<"$resource" || fail "$f has no version resource of $version"
        grep -qx "Zelvane link for Simulink (zelvanesl61)" <<<"$resource" ||
            fail "$f has no product name in its version resource"
    done
    export WINEPREFIX="${ZV_WINEPREFIX:-$root/build/windows/wine}" WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml="
    mkdir -p "$WINEPREFIX"
    run() { wine "$@"; }
    zvihome="$(winepath -w "$top/standin/zvihome")"
fi
[ "$exports" = mexFunction ] || fail "$mex exports $(echo $exports), not mexFunction alone"

versioned=("tools/zvsim$exe" "tools/zvtrace$exe" "tools/zvdoctor$exe"
    "standin/zvihome/v6.1.0/Zelvane/bin/zelvane$exe")
for p in "${versioned[@]}"; do
    said="$(run "$p" --version | tr -d '\r')"
    grep -q " $version\b" <<<"$said" || fail "$p --version says '$said', not $version"
done

# The demo, as the README has it, in a folder of its own.
mkdir "$work/demo"
cd "$work/demo"
cp "$top/standin/tank.dat" .
# zvdoctor finds the block one folder up, as zvsim does.
ZVIHOME="$zvihome" run "$top/tools/zvdoctor$exe" --model tank --product ZVDEMO >doctor.txt 2>&1 ||
    fail "zvdoctor failed:$(echo; cat doctor.txt)"
ZVIHOME="$zvihome" run "$top/tools/zvsim$exe" --model tank --product ZVDEMO \
    --duration-source ZELVANE --timestep 0.1 --stop-time 12 \
    --input 1=step:1,0,1 --input 2=step:4,0,1.5 --csv tank.csv --plot tank.svg >demo.txt 2>&1 ||
    fail "the demo failed:$(echo; cat demo.txt)"
rows="$(tr -d '\r' <tank.csv | wc -l)"
[ "$rows" = 101 ] || fail "the demo's tank.csv has $rows lines, not 101"
grep -q "completed simultaneously" demo.txt || fail "the demo did not end as the solver's duration says"
[ -s tank.svg ] || fail "the demo wrote no plot"
echo "check-archive: $(basename "$archive"): $(find "$top" -type f | wc -l) files, the demo ran (100 sample hits)"
