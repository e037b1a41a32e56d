#!/bin/sh
# Every quoted #include of the tree resolved to its file, then two rules: no
# file includes one on a higher floor, and no two files include each other.
# Floors, lowest first: mexapi, xsocket, log, protocol, link, remote, the
# frame's services (what the block's methods read and report through), the
# block, then the frame's entry and dispatch (which calls the block's
# methods), and everything outside src (hosts, solver, tools, tests) on top.
# Usage: check_floors.sh ROOT
set -eu
root="${1:?usage: check_floors.sh ROOT}"
cd "$root"
find mexapi src host solver tools bench fuzz tests \
    \( -name '*.h' -o -name '*.cpp' -o -name '*.c' \) | sort | awk '
function floor(path) {
    if (path ~ /^mexapi\//) return 0
    if (path ~ /^src\/xsocket\//) return 1
    if (path ~ /^src\/log\//) return 2
    if (path ~ /^src\/protocol\//) return 3
    if (path ~ /^src\/link\//) return 4
    if (path ~ /^src\/remote\//) return 5
    if (path ~ /^src\/frame\/(services|rtw)\./) return 6
    if (path ~ /^src\/block\//) return 7
    if (path ~ /^src\/frame\//) return 8
    if (path ~ /^src\//) {
        print "no floor for the folder of " path
        bad = 1
        return 99
    }
    return 9
}
function exists(path,    line, found) {
    found = (getline line < path) >= 0
    close(path)
    return found
}
# The include roots the builds use, the including file'"'"'s own folder first.
function resolve(file, name,    dir, i, n, roots) {
    dir = file
    sub(/\/[^\/]*$/, "", dir)
    n = split(dir " src mexapi host/include host tests bench tools/zvtrace", roots, " ")
    for (i = 1; i <= n; i++)
        if (exists(roots[i] "/" name)) return roots[i] "/" name
    if (exists(name)) return name
    return ""
}
{
    file = $0
    while ((getline line < file) > 0) {
        if (line !~ /^[ \t]*#[ \t]*include[ \t]*"/) continue
        name = line
        sub(/^[^"]*"/, "", name)
        sub(/".*/, "", name)
        target = resolve(file, name)
        if (target == "" || target == file) continue
        ++edges
        seen[file " " target] = 1
        if (floor(target) > floor(file)) {
            print "up a floor: " file " includes " target
            bad = 1
        }
    }
    close(file)
}
END {
    if (edges == 0) {
        print "no includes found"
        exit 1
    }
    for (pair in seen) {
        split(pair, f, " ")
        if ((f[2] " " f[1]) in seen && f[1] < f[2]) {
            print "circle: " f[1] " and " f[2] " include each other"
            bad = 1
        }
    }
    exit bad
}'
