#!/usr/bin/env bash
# The operators' console on the demo road: runs the road (scripts/demo.sh:
# the reference server filled by the demo client), adds a sample store with
# two organisations, then serves logreport-console on 127.0.0.1 and prints
# its address with a one-time operator password. A new sample upload arrives
# every 15 s, to watch the live view. Ctrl-C stops everything it started.
#   PORT       console port (default 8080)
#   BUILD_DIR  build directory (default: build)
#   WORK_DIR   where the stores and the console's state go (default: ./console-demo-run)
#   ROAD=0     skip the road; serve the sample store only
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
build_dir=${BUILD_DIR:-build}
port=${PORT:-8080}
work=${WORK_DIR:-console-demo-run}
rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)

stores=()
if [ "${ROAD:-1}" = 1 ]; then
  echo "== The road: the reference server filled by the demo client"
  WORK_DIR="$work/road" BUILD_DIR="$build_dir" scripts/demo.sh
  stores+=(--store "$work/road/store")
fi

cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build_dir" -j"$(nproc)" --target logreport-console console-fixture
console_bin=$(find "$build_dir/tools/console" -name logreport-console -type f | head -n 1)
fixture_bin=$(find "$build_dir/tests" -name console-fixture -type f | head -n 1)

echo "== A sample store: organisations ACME and GLOBEX, a meeting 123456 with no sound"
mkdir -p "$work/sample"
"$fixture_bin" seed "$work/sample" >/dev/null
stores+=(--store "$work/sample")

password=$(openssl rand -hex 12)
printf '# made by console-demo.sh, valid for this run only\ndemo * %s\n' \
  "$(printf '%s\n' "$password" | "$console_bin" --hash-password 2>/dev/null | tail -n 1)" > "$work/operators"

"$console_bin" "${stores[@]}" --state-dir "$work/state" --operators "$work/operators" \
  --listen "127.0.0.1:$port" 2> "$work/console.err" &
console_pid=$!
arrivals_pid=
stop() {
  [ -n "$arrivals_pid" ] && kill "$arrivals_pid" 2>/dev/null || true
  kill "$console_pid" 2>/dev/null || true
  wait "$console_pid" 2>/dev/null || true
  echo
  echo "== Stopped the console"
}
trap stop EXIT
trap 'exit 0' INT TERM
for _ in $(seq 1 100); do
  grep -q serving "$work/console.err" 2>/dev/null && break
  kill -0 "$console_pid" 2>/dev/null || { cat "$work/console.err"; exit 1; }
  sleep 0.1
done

( seq=9000
  while sleep 15; do
    seq=$((seq + 1))
    "$fixture_bin" add "$work/sample" "PC-LIVE-$seq" 123456 ACME "$seq"
  done ) &
arrivals_pid=$!

cat <<INFO

  logreport-console: http://127.0.0.1:$port/
  name:     demo
  password: $password          (this run only)

  Try: meeting 123456; the client PC-SOUND-01; the hostile client of meeting 777.
  A sample upload arrives every 15 s (PC-LIVE-...). Ctrl-C stops everything.
INFO
wait "$console_pid"
