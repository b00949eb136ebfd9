#!/bin/sh
# Builds a demo project from examples/demo under the build tree and runs the
# stack on it in the foreground until Ctrl-C: the controller simulator in the
# background, then the supervisor, which starts the driver, the recorder and
# the web server.
set -e
build=${1:-build/release}
src=$(cd "$(dirname "$0")/.." && pwd)
bin="$src/$build/bin"
proj="$src/$build/demo-project"
mkdir -p "$proj"
cp -r "$src/examples/demo/." "$proj/"
port=$(sed -n 's/^ *port: *\([0-9]*\).*/\1/p' "$proj/config.yaml" | head -1)

for p in zqplcsim zqsup; do
  if [ ! -x "$bin/$p" ]; then
    echo "demo: $bin/$p is missing; build first (make demo does)" >&2
    exit 1
  fi
done

simlog="$proj/logs/zqplcsim.out"
mkdir -p "$proj/logs"
"$bin/zqplcsim" --addr 127.0.0.1 --tags "$proj/plcsim-tags.yaml" --name DEMO_BOILER >"$simlog" 2>&1 &
sim=$!
trap 'kill $sim 2>/dev/null' EXIT
i=0
until grep -q "listening on" "$simlog" 2>/dev/null; do
  i=$((i + 1))
  if [ $i -gt 50 ] || ! kill -0 $sim 2>/dev/null; then
    echo "demo: the controller simulator did not start:" >&2
    cat "$simlog" >&2
    exit 1
  fi
  sleep 0.1
done

# A local trend server shows the push to a central server: the demo's
# recorder writes version-2 files and copies each day's files to it.
trendsrv_port=8091
if [ -x "$bin/zqtrendsrv" ] && ! grep -q '^  push:' "$proj/config.yaml"; then
  sed -i 's|^  mainpath_linux: ./Trends$|&\n  mainpath_format: 2\n  push:\n    - url: http://127.0.0.1:'$trendsrv_port'/\n      token: demo-push-token|' "$proj/config.yaml"
fi
if [ -x "$bin/zqtrendsrv" ]; then
  mkdir -p "$src/$build/demo-trendsrv"
  "$bin/zqtrendsrv" --dir "$src/$build/demo-trendsrv" --port $trendsrv_port --bind 127.0.0.1 \
    --token demo-push-token >"$proj/logs/zqtrendsrv.out" 2>&1 &
  trendsrv=$!
  trap 'kill $sim $trendsrv 2>/dev/null' EXIT
fi

echo "demo: project directory  $proj"
echo "demo: logs               $proj/logs"
echo "demo: controller         simulator on 127.0.0.1:44818 (log $simlog)"
echo "demo: operator page      http://127.0.0.1:${port:-8080}/screen1.html"
echo "demo: alarms             http://127.0.0.1:${port:-8080}/alarms.html"
echo "demo: engineering editor http://127.0.0.1:${port:-8080}/eng/ (password: eng_password in $proj/config.yaml)"
echo "demo: calculation        $proj/calc/calc.st (shift report $proj/calc/reports/shift.csv, variables $proj/calc/vars.json)"
echo "demo: health, metrics    http://127.0.0.1:${port:-8080}/api/health  http://127.0.0.1:${port:-8080}/metrics"
echo "demo: backups            $proj/backups (daily; the editor's Резервні копії tab makes one now)"
echo "demo: trend push         zqtrendsrv on 127.0.0.1:$trendsrv_port stores $src/$build/demo-trendsrv/demo-project; state in $proj/run/push_status.json"
echo "demo: live database      $bin/zqshm dump --name /logix_drv_demo-project"
echo "demo: Ctrl-C stops the stack"
cd "$proj"
# The supervisor ignores SIGINT (its children do not), so Ctrl-C is turned
# into the ordered stop with SIGTERM. Background jobs of sh get /dev/null as
# input; keep the terminal for the supervisor's console keys.
exec 3<&0
"$bin/zqsup" "$proj" 0<&3 3<&- &
sup=$!
trap 'kill -TERM $sup 2>/dev/null' INT TERM
wait $sup || true
wait $sup 2>/dev/null || true
kill $sim ${trendsrv:-} 2>/dev/null || true
