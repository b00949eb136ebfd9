#!/bin/sh
# Runs every benchmark program of a release build. Figures only: nothing
# here fails on time.
set -e
build=${1:-build/release}
status=0
for b in "$build"/bench/bench_*; do
  [ -x "$b" ] || continue
  echo "=== $(basename "$b")"
  "$b" --benchmark_counters_tabular=true || status=1
done
exit $status
