#!/usr/bin/env bash
# Runs the full-size attacks of docs/OPERATORS.md, one at a time, against a
# logreport-server at its defaults, and prints each attack's figures with the
# server's peak RSS (VmHWM) and what it left in rejected/.
#
# Usage: tools/attack/run-attacks.sh SERVER ATTACK [ATTACK...]
#   SERVER   a logreport-server binary (a Release build)
#   ATTACK   heartbeats | heartbeats-other | handshakes | handshakes-other |
#            bzip2 | zlib-bombs | orgs200 | orgs1000 | guess | receipts
# (bzip2: BZIP2_MIB, default 500, BZIP2_COUNTS, default "1 3"; SECONDS_LIMIT
# overrides an attack's duration)
# Environment: ATTACK_BIN (default: logreport-attack next to this build's
# tools), WORK (scratch folder, default: a new one under /tmp, removed at the end).
set -euo pipefail

server=$1; shift
attack_bin=${ATTACK_BIN:-$(dirname "$server")/../tools/attack/logreport-attack}
work=${WORK:-$(mktemp -d /tmp/logreport-attack.XXXXXX)}
port=$((20000 + RANDOM % 20000))
server_pid=""

cleanup() {
  if [ -n "$server_pid" ]; then kill -INT "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  [ -n "${WORK:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

# start_server NOFILE ARGS...: the server on $port with a fresh store; NOFILE
# 0 leaves the descriptor limit as it is.
start_server() {
  local nofile=$1; shift
  rm -rf "$work/store"; mkdir -p "$work/store"
  local limit=()
  [ "$nofile" = 0 ] || limit=(prlimit "--nofile=$nofile:$nofile")
  "${limit[@]}" "$server" --store "$work/store" --node n1 "$@" >"$work/server.out" 2>"$work/server.err" &
  server_pid=$!
  for _ in $(seq 1 100); do
    grep -q "listening on" "$work/server.out" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "server did not start:"; cat "$work/server.err"; exit 1
}

stop_server() {
  echo "server peak RSS MiB: $(( $(awk '/VmHWM/ {print $2}' /proc/$server_pid/status) / 1024 ))"
  echo "rejected/ MiB: $(du -sm "$work/store/rejected" 2>/dev/null | cut -f1 || echo 0)"
  echo "server stderr lines: $(wc -l <"$work/server.err")"
  kill -INT "$server_pid"; wait "$server_pid" || true
  server_pid=""
  # Its count of commands includes every wrong token it checked.
  grep -h "stopped:" "$work/server.out" "$work/server.err" || true
}

tcp() { echo "tcp -h 127.0.0.1 -p $port"; }

make_tls() {
  [ -f "$work/tls/server.p12" ] && return 0
  mkdir -p "$work/tls" && cd "$work/tls"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -keyout ca.key -out ca.pem \
    -subj /CN=ca 2>/dev/null
  printf 'subjectAltName=DNS:localhost\n' >server.ext
  openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout server.key -out server.csr \
    -subj /CN=localhost 2>/dev/null
  openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -out server.pem \
    -extfile server.ext 2>/dev/null
  openssl pkcs12 -export -in server.pem -inkey server.key -certfile ca.pem -out server.p12 -passout pass:throwaway
  cd - >/dev/null
}

for what in "$@"; do
  echo "== $what ($server)"
  case $what in
    heartbeats|heartbeats-other)
      start_server 0 --endpoints "$(tcp)"
      source=(); [ "$what" = heartbeats ] || source=(--source 127.0.0.2)
      "$attack_bin" heartbeats --port "$port" --sockets "${SOCKETS:-1000}" --seconds "${SECONDS_LIMIT:-330}" "${source[@]}"
      stop_server ;;
    handshakes|handshakes-other)
      make_tls
      start_server 1024 "--endpoints=ssl -h 127.0.0.1 -p $port" --Ice.Plugin.IceSSL=IceSSL:createIceSSL \
        "--IceSSL.CertFile=$work/tls/server.p12" --IceSSL.Password=throwaway --IceSSL.VerifyPeer=0
      source=(); [ "$what" = handshakes ] || source=(--source 127.0.0.2)
      "$attack_bin" handshakes --port "$port" --sockets "${SOCKETS:-1000}" --seconds "${SECONDS_LIMIT:-90}" --ca "$work/tls/ca.pem" \
        "${source[@]}"
      stop_server ;;
    bzip2)
      for n in ${BZIP2_COUNTS:-1 3}; do
        start_server 0 --endpoints "$(tcp)" --no-sync
        "$attack_bin" bzip2 --port "$port" --count "$n" --mib "${BZIP2_MIB:-500}"
        stop_server
      done ;;
    zlib-bombs)
      start_server 0 --endpoints "$(tcp)" --no-sync
      "$attack_bin" zlib-bombs --port "$port" --count 8 --mib 1024 --seconds "${SECONDS_LIMIT:-20}"
      echo "store MiB: $(du -sm "$work/store" | cut -f1)"
      stop_server ;;
    orgs200|orgs1000)
      n=${what#orgs}; nofile=512; [ "$n" = 1000 ] && nofile=1024
      "$attack_bin" write-tokens --count "$n" "$work/tokens"
      start_server "$nofile" --endpoints "$(tcp)" --no-sync --tokens "$work/tokens"
      "$attack_bin" organisations --port "$port" --count "$n" --rounds 2
      echo "server 'Too many open files' lines: $(grep -c 'Too many open files' "$work/server.err" || true)"
      stop_server ;;
    guess)
      "$attack_bin" write-tokens --count 1 "$work/tokens"
      start_server 0 --endpoints "$(tcp)" --no-sync --tokens "$work/tokens"
      "$attack_bin" guess --port "$port" --count 8 --seconds 10
      echo "server stderr bytes: $(wc -c <"$work/server.err")"
      stop_server ;;
    receipts)
      "$attack_bin" receipts
      # The same in the server: resident memory after 110,000 distinct commands
      # with the table and without it.
      for window in 600 0; do
        start_server 0 --endpoints "$(tcp)" --no-sync --dedupe-window "$window"
        "$attack_bin" commands --port "$port" --count 110000 --connections 4
        echo "server RSS MiB with --dedupe-window $window: $(( $(awk '/VmRSS/ {print $2}' /proc/$server_pid/status) / 1024 ))"
        stop_server
      done ;;
    *) echo "unknown attack: $what"; exit 1 ;;
  esac
done
