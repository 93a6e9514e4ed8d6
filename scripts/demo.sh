#!/usr/bin/env bash
# The whole road on one machine: installs what is missing, builds, starts the
# reference log server on 127.0.0.1 with a fresh store, runs the demo client
# against it, shows what the server stored, and stops the server.
#   PORT       server port (default 12100)
#   BUILD_DIR  build directory (default: build)
#   WORK_DIR   where the store and the demo's log folder go (default: ./demo-run)
#   TLS=1      run over TLS with an organisation token: makes a throw-away CA
#              and server certificate with openssl under WORK_DIR/tls
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
build_dir=${BUILD_DIR:-build}
port=${PORT:-12100}
work=${WORK_DIR:-demo-run}
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build_dir" -j"$(nproc)" --target logreport-server logreport-demo logreport-inspect

rm -rf "$work"
mkdir -p "$work"
server_bin=$(find "$build_dir/server" -name logreport-server -type f | head -n 1)
demo_bin=$(find "$build_dir/tools" -name logreport-demo -type f | head -n 1)
inspect_bin=$(find "$build_dir/tools" -name logreport-inspect -type f | head -n 1)

server_args=(--endpoints "tcp -h 127.0.0.1 -p $port" --store "$work/store")
servers="127.0.0.1:$port;127.0.0.1:$port"
store_view="$work/store"
if [ "${TLS:-0}" = 1 ]; then
  # Clients name the server "localhost": the certificate carries that name.
  tls="$work/tls"
  mkdir -p "$tls"
  ( cd "$tls"
    ec=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
    openssl req -x509 "${ec[@]}" -days 2 -keyout ca.key -out ca.pem -subj /CN=demo-ca
    openssl req "${ec[@]}" -keyout server.key -out server.csr -subj /CN=localhost
    printf 'subjectAltName=DNS:localhost\n' > san.ext
    openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile san.ext -out server.pem
    openssl pkcs12 -export -in server.pem -inkey server.key -out server.p12 -passout pass:demo
    printf 'demo %s\n' "$(openssl rand -hex 16)" > tokens ) >/dev/null 2>&1
  server_args=(--endpoints "ssl -h 127.0.0.1 -p $port" --store "$work/store" --tokens "$tls/tokens"
               --Ice.Plugin.IceSSL=IceSSL:createIceSSL "--IceSSL.CertFile=$tls/server.p12"
               --IceSSL.Password=demo --IceSSL.VerifyPeer=0)
  printf 'LogReport.Transport=ssl\nIceSSL.CAs=%s\nLogReport.Token=%s\n' \
    "$(cd "$tls" && pwd)/ca.pem" "$(cut -d' ' -f2 "$tls/tokens")" > "$tls/client.config"
  export ICE_CONFIG="$tls/client.config"
  servers="localhost:$port;localhost:$port"
  store_view="$work/store/demo"
fi
"$server_bin" "${server_args[@]}" > "$work/server.out" 2>&1 &
server_pid=$!
trap 'kill $server_pid 2>/dev/null || true; wait $server_pid 2>/dev/null || true' EXIT
for _ in $(seq 1 100); do
  grep -q listening "$work/server.out" 2>/dev/null && break
  sleep 0.1
done
echo "== logreport-server on 127.0.0.1:$port ($([ "${TLS:-0}" = 1 ] && echo "ssl, token" || echo tcp)), store $work/store"

echo "== Running the demo client"
"$demo_bin" --servers "$servers" --log-dir "$work/client" --seconds "${SECONDS_PER_RUN:-8}"

echo
echo "== What the server stored"
(cd "$work/store" && find . -type f | sort | while read -r f; do printf '  %8d  %s\n' "$(stat -c %s "$f")" "$f"; done)
echo "== Index summary (commands per type)"
cat "$store_view"/index/*.jsonl | grep -o '"cmdType": *"[^"]*"' | sed 's/.*"\([^"]*\)"$/\1/' | sort | uniq -c | sed 's/^/  /'
echo "== The client's report file"
"$inspect_bin" "$work/client/client.log.rpt" | head -n 12

kill "$server_pid"; wait "$server_pid" 2>/dev/null || true
trap - EXIT
echo "== Server stopped: $(tail -n 1 "$work/server.out")"
