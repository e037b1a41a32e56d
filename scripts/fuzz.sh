#!/usr/bin/env bash
# Runs every fuzz target of the asan preset (clang, ASan + UBSan) for a bounded
# number of inputs and at most SECONDS seconds each (default 20), starting
# from its corpus in fuzz/corpus. New inputs go to a scratch copy, so the
# repository's corpus stays as it is. A finding stops the script with the
# crashing input kept in build/asan/fuzz-findings.
#   scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-20}"
bin=build/asan/bin
if [ ! -x "$bin/zv_fuzz_pipeline" ]; then
  scripts/deps.sh asan
  cmake --preset asan >/dev/null
  cmake --build --preset asan --target zv_fuzz_return zv_fuzz_messages zv_fuzz_handshake \
    zv_fuzz_datafile zv_fuzz_settings zv_fuzz_solver_call zv_fuzz_pipeline
fi
findings="$PWD/build/asan/fuzz-findings"
mkdir -p "$findings"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
for target in return messages handshake datafile settings solver_call pipeline; do
  mkdir -p "$scratch/$target"
  cp fuzz/corpus/"$target"/* "$scratch/$target/"
  echo "fuzz: $target (${seconds} s at most)"
  if ! "$bin/zv_fuzz_$target" -runs=2000000 -max_total_time="$seconds" -max_len=16384 \
      -timeout=10 -rss_limit_mb=2048 -artifact_prefix="$findings/$target-" \
      -print_final_stats=1 "$scratch/$target" >"$scratch/$target.log" 2>&1; then
    tail -n 60 "$scratch/$target.log"
    echo "fuzz: $target found a fault; input kept in $findings" >&2
    exit 1
  fi
  grep -E "^stat::number_of_executed_units|^Done" "$scratch/$target.log" || true
done
echo "fuzz: no findings"
