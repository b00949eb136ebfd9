#!/bin/sh
# Builds a demo project from examples/demo under the build tree and runs the
# stack on it in the foreground until Ctrl-C.
set -e
build=${1:-build/release}
src=$(cd "$(dirname "$0")/.." && pwd)
bin="$src/$build/bin"
proj="$src/$build/demo-project"
mkdir -p "$proj"
cp -r "$src/examples/demo/." "$proj/"
echo "demo: project directory $proj"
echo "demo: logs in $proj/logs"
if [ ! -x "$bin/zqsup" ]; then
  echo "demo: the programs are built in $bin; the supervisor is not built yet"
  ls "$bin"
  exit 0
fi
cd "$proj"
exec "$bin/zqsup"
