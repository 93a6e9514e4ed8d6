#!/usr/bin/env bash
# The whole road with a Windows client: installs what is missing, cross-builds
# the demo client for Windows (with Ice for MinGW, built once per machine),
# builds the reference log server natively, starts it on 127.0.0.1 with a
# fresh store, runs the demo client under Wine against it, shows what the
# server stored, and stops everything it started (the server and Wine).
#   PORT             server port (default 12100)
#   BUILD_DIR        cross build directory (default: build-windows)
#   LINUX_BUILD_DIR  native build directory (default: build)
#   WORK_DIR         store and the client's log folder (default: ./windows-demo-run)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
scripts/windows-build.sh logreport-demo
build=$(cd "${BUILD_DIR:-build-windows}" && pwd)
linux=${LINUX_BUILD_DIR:-build}
port=${PORT:-12100}
work=${WORK_DIR:-windows-demo-run}
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
[ -f "$linux/CMakeCache.txt" ] || cmake -S . -B "$linux" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >/dev/null
cmake --build "$linux" -j"$(nproc)" --target logreport-server logreport-inspect

rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
server_bin=$(find "$linux/server" -name logreport-server -type f | head -n 1)
inspect_bin=$(find "$linux/tools" -name logreport-inspect -type f | head -n 1)

source scripts/wine-env.sh
"$server_bin" --endpoints "tcp -h 127.0.0.1 -p $port" --store "$work/store" > "$work/server.out" 2>&1 &
server_pid=$!
stop_all() {
  kill "$server_pid" 2>/dev/null || true
  wait "$server_pid" 2>/dev/null || true
  wineserver -k >/dev/null 2>&1 || true
}
trap stop_all EXIT
for _ in $(seq 1 100); do
  grep -q listening "$work/server.out" 2>/dev/null && break
  sleep 0.1
done
echo "== logreport-server on 127.0.0.1:$port (Linux), store $work/store"

echo "== Running the demo client under Wine ($build/bin/logreport-demo.exe)"
wine "$build/bin/logreport-demo.exe" --servers "127.0.0.1:$port;127.0.0.1:$port" \
     --log-dir "$work/client" --seconds "${SECONDS_PER_RUN:-8}"

echo
echo "== What the server stored"
(cd "$work/store" && find . -type f | sort | while read -r f; do printf '  %8d  %s\n' "$(stat -c %s "$f")" "$f"; done)
echo "== Index summary (commands per type)"
cat "$work"/store/index/*.jsonl | grep -o '"cmdType": *"[^"]*"' | sed 's/.*"\([^"]*\)"$/\1/' | sort | uniq -c | sed 's/^/  /'
echo "== The Windows client's report file"
"$inspect_bin" "$work/client/client.log.rpt" | head -n 12

stop_all
trap - EXIT
echo "== Server and Wine stopped: $(tail -n 1 "$work/server.out")"
