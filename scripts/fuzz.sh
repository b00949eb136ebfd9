#!/bin/sh
# Runs every fuzz target for a bounded time on a copy of its corpus; new
# crashes land in build/fuzz/crashes/<target>/.
set -e
build=${1:-build/fuzz}
secs=${2:-60}
src=$(cd "$(dirname "$0")/.." && pwd)
for f in "$build"/fuzz/fuzz_*; do
  [ -x "$f" ] || continue
  name=$(basename "$f" | sed 's/^fuzz_//')
  work="$build/corpus/$name"
  crashes="$build/crashes/$name"
  mkdir -p "$work" "$crashes"
  [ -d "$src/tests/fuzz/corpus/$name" ] && cp -r "$src/tests/fuzz/corpus/$name/." "$work/" 2>/dev/null || true
  echo "=== fuzz $name for ${secs}s"
  "$f" -max_total_time="$secs" -artifact_prefix="$crashes/" "$work" || echo "fuzz $name: crash saved in $crashes"
done
