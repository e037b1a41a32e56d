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
case " $* " in
*" --gtest_list_tests "*)
    # Test discovery reads the list line by line; the console writes CR LF.
    # The exit status of the program, not of the filter, is the result.
    status_file=$(mktemp)
    { wine "$@"; echo $? >"$status_file"; } | tr -d '\r'
    status=$(cat "$status_file")
    rm -f "$status_file"
    exit "$status"
    ;;
esac
exec wine "$@"
