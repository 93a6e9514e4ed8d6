#!/usr/bin/env bash
# A fleet on one machine: a private IceGrid registry, two IceGrid nodes each
# running one logreport-server (deploy/icegrid/logreport.xml), a private
# PostgreSQL holding the shared index, and two demo clients uploading to both
# servers. While they upload, one server and then one whole node are killed
# and come back. At the end logreport-query shows that every line each client
# wrote is stored exactly once (at most twice for a command outstanding at a
# kill) and that PostgreSQL holds every index line of both stores.
# Starts no system service; everything runs on 127.0.0.1 from a temporary
# folder and is stopped by its own process id at the end.
#   BUILD_DIR  build directory (default: build)
#   LINES      lines each client writes (default: 30000, about 40 s)
#   KEEP=1     keep the temporary folder
#   NO_BUILD=1 use what BUILD_DIR holds (the test suite's short run)
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${BUILD_DIR:-build}
lines=${LINES:-30000}
if [ "${NO_BUILD:-0}" != 1 ]; then
  scripts/deps.sh
  cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build_dir" -j"$(nproc)" --target logreport-server logreport-query logreport-faultharness
fi

work=$(mktemp -d /tmp/logreport-fleet-XXXXXX)
chmod 0755 "$work"
pids=()
cleanup() {
  set +e
  # Nodes first (each stops its server), then the registry, then the database.
  for p in "${client_pids[@]:-}" "${node_pids[@]:-}" "${pids[@]:-}"; do [ -n "$p" ] && kill "$p" 2>/dev/null; done
  for p in "${node_pids[@]:-}" "${pids[@]:-}"; do [ -n "$p" ] && wait "$p" 2>/dev/null; done
  for p in "${orphans[@]:-}"; do [ -n "$p" ] && kill -9 "$p" 2>/dev/null; done
  [ -f "$work/pg/data/postmaster.pid" ] && scripts/private-pg.sh stop "$work/pg"
  [ "${KEEP:-0}" = 1 ] && echo "== kept $work" || rm -rf "$work"
}
trap cleanup EXIT
node_pids=()
client_pids=()
orphans=()

# IceGrid and PostgreSQL refuse root (or run its servers only when told to):
# as root, everything of the fleet runs as "nobody".
# Runs in the background as that account; $! is then the program's own pid.
spawn_fleet() {
  if [ "$(id -u)" -eq 0 ]; then
    (exec setpriv --reuid=nobody --regid=nogroup --clear-groups -- "$@") &
  else
    (exec "$@") &
  fi
}
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])' 2>/dev/null ||
              shuf -i 20000-60000 -n 1; }

mkdir -p "$work/bin" "$work/stores" "$work/registry" "$work/node1" "$work/node2"
cp "$build_dir/server/logreport-server" "$build_dir/tools/query/logreport-query" \
   "$build_dir/tools/faultharness/logreport-faultharness" "$work/bin/"
[ "$(id -u)" -eq 0 ] && chown -R nobody:nogroup "$work/stores" "$work/registry" "$work/node1" "$work/node2"

pg_port=$(free_port); reg_port=$(free_port); port1=$(free_port); port2=$(free_port)
index_db="postgresql://logreport@127.0.0.1:$pg_port/postgres"
echo "== private PostgreSQL on 127.0.0.1:$pg_port"
scripts/private-pg.sh start "$work/pg" "$pg_port"

locator="FleetDemo/Locator:tcp -h 127.0.0.1 -p $reg_port"
cat > "$work/registry.conf" <<CONF
IceGrid.InstanceName=FleetDemo
IceGrid.Registry.Client.Endpoints=tcp -h 127.0.0.1 -p $reg_port
IceGrid.Registry.Server.Endpoints=tcp -h 127.0.0.1
IceGrid.Registry.Internal.Endpoints=tcp -h 127.0.0.1
IceGrid.Registry.LMDB.Path=$work/registry
IceGrid.Registry.LMDB.MapSize=16
IceGrid.Registry.PermissionsVerifier=FleetDemo/NullPermissionsVerifier
IceGrid.Registry.AdminPermissionsVerifier=FleetDemo/NullPermissionsVerifier
CONF
for n in 1 2; do
  cat > "$work/node$n.conf" <<CONF
Ice.Default.Locator=$locator
IceGrid.Node.Name=node$n
IceGrid.Node.Endpoints=tcp -h 127.0.0.1
IceGrid.Node.Data=$work/node$n
IceGrid.Node.Output=$work/node$n
IceGrid.Node.WaitTime=10
CONF
done
start_node() {
  spawn_fleet icegridnode --Ice.Config="$work/node$1.conf" >>"$work/node$1.log" 2>&1
  node_pids[$1]=$!
}
admin() { icegridadmin --Ice.Default.Locator="$locator" -u demo -p demo -e "$1"; }

echo "== IceGrid registry on 127.0.0.1:$reg_port, nodes node1 and node2"
spawn_fleet icegridregistry --Ice.Config="$work/registry.conf" >"$work/registry.log" 2>&1
pids+=($!)
for _ in $(seq 1 100); do admin "application list" >/dev/null 2>&1 && break; sleep 0.1; done
start_node 1
start_node 2
for _ in $(seq 1 100); do [ "$(admin "node list" 2>/dev/null | wc -l)" -ge 2 ] && break; sleep 0.1; done

# The operator's descriptor, with this machine's paths and one port per server.
awk -v p1="$port1" -v p2="$port2" '
  /<node name="node1">/ { port = p1 } /<node name="node2">/ { port = p2 }
  /<server-instance template="LogReportServer"\/>/ {
    sub(/\/>/, " endpoints=\"tcp -h 127.0.0.1 -p " port "\"/>") }
  { print }' deploy/icegrid/logreport.xml > "$work/logreport.xml"
admin "application add $work/logreport.xml exe=$work/bin/logreport-server store=$work/stores ssl-plugin= index-db=$index_db"
wait_listening() {  # node, port
  for _ in $(seq 1 200); do (exec 3<>"/dev/tcp/127.0.0.1/$2") 2>/dev/null && return 0; sleep 0.1; done
  echo "server of node$1 does not listen on $2" >&2; return 1
}
wait_listening 1 "$port1"; wait_listening 2 "$port2"
echo "== deployed: logreport-node1 on 127.0.0.1:$port1, logreport-node2 on 127.0.0.1:$port2"

# Client 1 knows only node1's server, client 2 only node2's; client 3 knows
# both and uses whichever answers first, failing over to the other.
clients=(1 2 3)
list[1]="127.0.0.1:$port1;127.0.0.1:$port1"
list[2]="127.0.0.1:$port2;127.0.0.1:$port2"
list[3]="127.0.0.1:$port1;127.0.0.1:$port2"
echo "== three clients upload $lines lines each"
client_pids=()
for c in "${clients[@]}"; do
  mkdir -p "$work/client$c"
  servers=${list[$c]}
  "$work/bin/logreport-faultharness" --child --trial "$c" --log-dir "$work/client$c" --servers "$servers" \
    --timeout-ms 2000 --lines "$lines" >"$work/client$c.out" 2>&1 &
  client_pids+=($!)
done

server_pid() { { admin "server pid logreport-node$1" 2>/dev/null || true; } | tr -dc 0-9; }
sleep 6
p=$(server_pid 1)
echo "== kill -9 logreport-node1 (pid $p); its node starts it again"
kill -9 "$p"
t0=$(date +%s%N)
for _ in $(seq 1 100); do q=$(server_pid 1); [ -n "$q" ] && [ "$q" != "$p" ] && break; sleep 0.05; done
wait_listening 1 "$port1"
echo "   restarted as pid $(server_pid 1), listening again after $((($(date +%s%N) - t0) / 1000000)) ms"

sleep 6
p=$(server_pid 2)
echo "== kill -9 node2 (pid ${node_pids[2]}) and its server (pid $p)"
kill -9 "${node_pids[2]}" "$p"
wait "${node_pids[2]}" 2>/dev/null || true
sleep 5
echo "== node2 starts again"
start_node 2
wait_listening 2 "$port2"

echo "== waiting for the clients to finish and drain their queues"
for c in "${clients[@]}"; do
  if ! wait "${client_pids[$((c - 1))]}"; then
    "$work/bin/logreport-faultharness" --child --drain --trial "$c" --log-dir "$work/client$c" \
      --servers "${list[$c]}" --timeout-ms 2000 >>"$work/client$c.out" 2>&1 || true
  fi
done
client_pids=()

stores=(--store "$work/stores/node1" --store "$work/stores/node2")
index_lines=$(cat "$work/stores"/node*/index/*.jsonl | wc -l)
for _ in $(seq 1 300); do
  rows=$(psql -X -tA -h 127.0.0.1 -p "$pg_port" -U logreport -d postgres -c "SELECT count(*) FROM logreport_index" 2>/dev/null || echo 0)
  [ "$rows" = "$index_lines" ] && break
  sleep 0.2
done

echo
echo "== logreport-query --db: what arrived from PC-H, per node and command type"
"$work/bin/logreport-query" --db "$index_db" --pcid PC-H --json |
  grep -o '"node":"[^"]*","seq":[0-9]*,"time":"[^"]*","cmdId":[0-9]*,"cmdType":"[^"]*"' |
  sed 's/"node":"\([^"]*\)".*"cmdType":"\([^"]*\)"/\1 \2/' | sort | uniq -c | sed 's/^/  /'
echo "== logreport-query --store (both stores), the last three entries"
"$work/bin/logreport-query" "${stores[@]}" | tail -n 4 | sed 's/^/  /'

echo
echo "== every line each client wrote, counted in both stores' detail logs"
written=0; once=0; twice=0; more=0; missing=0
detail=$(find "$work/stores"/node*/detail -type f -print0 | xargs -0 cat | grep -o 'trial [0-9] line [0-9]* ' | sort | uniq -c)
for c in "${clients[@]}"; do
  w=$(grep -c "trial $c line " "$work/client$c/client.log")
  written=$((written + w))
  counts=$(echo "$detail" | awk -v t="$c" '$3 == t {print $1}')
  once=$((once + $(echo "$counts" | grep -cx 1 || true)))
  twice=$((twice + $(echo "$counts" | grep -cx 2 || true)))
  more=$((more + $(echo "$counts" | awk '$1 > 2' | wc -l)))
  seen=$(echo "$counts" | grep -c . || true)
  missing=$((missing + w - seen))
  echo "  client $c (${list[$c]}): $w lines written, $seen stored"
done
echo "  lines written: $written; stored once: $once; twice: $twice; more often: $more; missing: $missing"
echo "  index lines in both stores: $index_lines; rows in PostgreSQL: $rows"
status=0
[ "$missing" -eq 0 ] && [ "$more" -eq 0 ] && [ "$rows" = "$index_lines" ] || status=1
[ $status = 0 ] && echo "== fleet demo passed" || echo "== fleet demo FAILED"
exit $status
