#!/usr/bin/env bash
# Installs the Debian packages the build needs, and only those that are missing.
# Usage: deps.sh [asan|windows|octave|package]
# With "asan", also clang and its sanitizer and fuzzer runtimes.
# With "windows", also what the Windows cross build and its tests need
# (MinGW-w64 and Wine, about 170 MB; GoogleTest for Windows is built from the
# sources that libgtest-dev brings). With "octave", only what the Octave check
# (scripts/octave.sh) needs. With "package", only what packing and trying
# the release archives needs besides the builds (zip, unzip).
set -euo pipefail
pkgs=(cmake ninja-build g++ libgtest-dev libgmock-dev binutils)
if [ "${1:-}" = "asan" ]; then
    pkgs+=(clang libclang-rt-14-dev)
elif [ "${1:-}" = "windows" ]; then
    pkgs+=(googletest g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64)
elif [ "${1:-}" = octave ]; then
    pkgs=(octave liboctave-dev)
elif [ "${1:-}" = package ]; then
    pkgs=(zip unzip binutils)
fi
missing=()
for p in "${pkgs[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing missing packages: ${missing[*]}"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi
