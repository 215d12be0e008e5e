#!/bin/sh
# fuzz/run-all.sh BUILD_DIR SECONDS_PER_TARGET: runs every libFuzzer target of a clang build with
# -DPRISMARA_FUZZ=ON for a bounded time on a scratch copy of its seed corpus (never the source
# tree) and prints the executions, for CI. Crash inputs are copied to BUILD_DIR/fuzz/artifacts/;
# exits non-zero when a target crashes or none was found.
set -eu
[ "$#" -eq 2 ] || { echo "usage: run-all.sh BUILD_DIR SECONDS_PER_TARGET" >&2; exit 2; }
build=$(cd "$1" && pwd)
seconds=$2
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
total=0 targets=0 failed=0
for target in "$build"/fuzz/fuzz_*; do
  [ -f "$target" ] && [ -x "$target" ] || continue
  name=$(basename "$target")
  work=$scratch/${name#fuzz_}
  mkdir -p "$work/corpus" "$work/artifacts"
  set -- "$work/corpus"
  [ -d "$here/corpus/${name#fuzz_}" ] && set -- "$@" "$here/corpus/${name#fuzz_}"
  status=0
  "$target" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$work/artifacts/" "$@" >"$work/log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *\([0-9][0-9]*\).*/\1/p' "$work/log" | tail -n 1)
  targets=$((targets + 1)) total=$((total + ${runs:-0}))
  [ "$status" -eq 0 ] && { echo "$name: ${runs:-0} executions in ${seconds}s"; continue; }
  failed=$((failed + 1))
  echo "$name: FAILED (exit $status) after ${runs:-0} executions" >&2
  tail -n 40 "$work/log" >&2
  mkdir -p "$build/fuzz/artifacts" && cp "$work"/artifacts/* "$build/fuzz/artifacts/" 2>/dev/null || true
done
[ "$targets" -gt 0 ] || { echo "no fuzz targets in $build/fuzz" >&2; exit 1; }
echo "fuzz total: $total executions over $targets targets, $failed failed"
[ "$failed" -eq 0 ]
