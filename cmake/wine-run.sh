#!/bin/sh
# Runs one Windows program of the build under Wine: the emulator of the
# cross build (ctest, test discovery). The Wine prefix lives in the build
# folder ($ZV_WINEPREFIX, else build/windows/wine), so a build never touches
# the user's own ~/.wine.
here=$(cd "$(dirname "$0")" && pwd)
export WINEPREFIX="${ZV_WINEPREFIX:-$here/../build/windows/wine}"
export WINEDEBUG=-all
# No Mono or Gecko set-up dialogs when the prefix is made.
export WINEDLLOVERRIDES="mscoree,mshtml="
# One Wine server for the whole run, so that no program pays Wine's start-up;
# it ends a minute after the last program. When it starts, Wine's own
# background programs start too: they must not inherit the standard output
# of the program run here, or whoever reads that (ctest) would wait for them.
mkdir -p "$WINEPREFIX"
if wineserver -p60 2>/dev/null; then
    wine wineboot >/dev/null 2>&1 </dev/null
fi
case " $* " in
*" --gtest_list_tests "*)
    # Test discovery reads the list line by line; the console writes CR LF.
    # The exit status of the program, not of the filter, is the result.
    list=$(mktemp)
    wine "$@" >"$list"
    status=$?
    tr -d '\r' <"$list"
    rm -f "$list"
    exit "$status"
    ;;
esac
exec wine "$@"
