#!/bin/sh
# Usage: check_exports.sh MEXFILE
# Passes when the dynamic symbol table defines exactly one symbol, mexFunction.
set -eu
symbols=$(nm -D --defined-only "$1" | awk '{ print $NF }' | sort)
if [ "$symbols" = "mexFunction" ]; then
    exit 0
fi
echo "$1 exports:" >&2
echo "$symbols" >&2
exit 1
