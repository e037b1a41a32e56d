#!/usr/bin/env bash
# Installs the Debian packages the build needs, and only those that are missing.
# Usage: deps.sh [octave]
set -euo pipefail
pkgs=(cmake ninja-build g++ libgtest-dev libgmock-dev binutils)
# `deps.sh octave`: only what the Octave check (scripts/octave.sh) needs.
if [ "${1:-}" = octave ]; then
    pkgs=(octave liboctave-dev)
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
