#!/bin/sh
# Usage: check_exports.sh [--exports-only] OBJDUMP MEXFILE
# Passes when the MEX file exports exactly one symbol, mexFunction, and
# (unless --exports-only) needs no library but the C runtime, the platform's
# socket and kernel libraries, libmx and libmex, with no RUNPATH: what a real
# host can load. Works on ELF (Linux) and PE (Windows) files.
set -eu
imports=1
if [ "$1" = "--exports-only" ]; then
    imports=0
    shift
fi
objdump=$1
file=$2
status=0
fail() {
    echo "$file: $1" >&2
    status=1
}

headers=$("$objdump" -p "$file")
if echo "$headers" | grep -q '^Dynamic Section'; then
    exports=$(nm -D --defined-only "$file" | awk '{ print $NF }' | sort)
    needed=$(echo "$headers" | awk '$1 == "NEEDED" { print $2 }' | sort)
    allowed='^(libc\.so\.6|libm\.so\.6|libmx\.so|libmex\.so)$'
    required='libmex.so libmx.so'
    if echo "$headers" | grep -Eq '^ *(RPATH|RUNPATH) '; then
        [ $imports = 0 ] || fail "has a search path: $(echo "$headers" | grep -E 'RPATH|RUNPATH')"
    fi
else
    # The export table lists "[ordinal] name" rows after its name pointer table.
    exports=$(echo "$headers" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
        sed -n 's/^\s*\[ *[0-9]*\] \(.*\)$/\1/p' | sort)
    needed=$(echo "$headers" | awk '/DLL Name:/ { print $3 }' | sort)
    allowed='^(kernel32|ws2_32|msvcrt|ucrtbase|api-ms-win-crt-[a-z0-9-]+|libmx|libmex)\.dll$'
    required='libmex.dll libmx.dll'
fi

[ "$exports" = "mexFunction" ] || fail "exports: $(echo $exports)"
if [ $imports = 1 ]; then
    for lib in $needed; do
        echo "$lib" | tr 'A-Z' 'a-z' | grep -Eq "$allowed" || fail "needs $lib"
    done
    for lib in $required; do
        echo "$needed" | tr 'A-Z' 'a-z' | grep -qx "$lib" || fail "does not name $lib"
    done
fi
exit $status
