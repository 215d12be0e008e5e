#!/bin/sh
# Runs every built libFuzzer target for a bounded time on a copy of its seed corpus
# and prints the executions, for CI.
#
#   fuzz/run-all.sh BUILD_DIR SECONDS_PER_TARGET
#
# BUILD_DIR is a build configured with clang and -DPRISMARA_FUZZ=ON (targets in
# BUILD_DIR/fuzz/). New inputs and crash artifacts go to a scratch folder, never into
# the source tree; a crash input is copied to BUILD_DIR/fuzz/artifacts/. Exits
# non-zero when a target crashes or no target was found.
set -eu
if [ "$#" -ne 2 ]; then
  echo "usage: run-all.sh BUILD_DIR SECONDS_PER_TARGET" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
seconds=$2
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

total=0
targets=0
failed=0
for target in "$build"/fuzz/fuzz_*; do
  [ -f "$target" ] && [ -x "$target" ] || continue
  name=$(basename "$target")
  corpus_name=${name#fuzz_}
  seeds=$here/corpus/$corpus_name
  work=$scratch/$corpus_name
  mkdir -p "$work/corpus" "$work/artifacts"
  set -- "$work/corpus"
  [ -d "$seeds" ] && set -- "$@" "$seeds"
  status=0
  "$target" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$work/artifacts/" "$@" >"$work/log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *\([0-9][0-9]*\).*/\1/p' "$work/log" | tail -n 1)
  runs=${runs:-0}
  targets=$((targets + 1))
  total=$((total + runs))
  if [ "$status" -ne 0 ]; then
    failed=$((failed + 1))
    echo "$name: FAILED (exit $status) after $runs executions" >&2
    tail -n 40 "$work/log" >&2
    mkdir -p "$build/fuzz/artifacts"
    cp "$work"/artifacts/* "$build/fuzz/artifacts/" 2>/dev/null || true
  else
    echo "$name: $runs executions in ${seconds}s"
  fi
done

if [ "$targets" -eq 0 ]; then
  echo "no fuzz targets in $build/fuzz" >&2
  exit 1
fi
echo "fuzz total: $total executions over $targets targets, $failed failed"
[ "$failed" -eq 0 ]
