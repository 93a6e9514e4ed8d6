#!/usr/bin/env bash
# A private PostgreSQL for tests and the fleet demo: its own cluster in a
# folder, listening on 127.0.0.1 only, superuser "logreport" with trust
# authentication on loopback. Started by its own pg_ctl, never as a system
# service. PostgreSQL refuses to run as root: as root it runs as "nobody".
#   private-pg.sh start DIR PORT    creates the cluster when missing, starts it
#   private-pg.sh stop DIR          fast shutdown
#   private-pg.sh kill DIR          immediate shutdown, as after a crash
set -euo pipefail

pgbin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
[ -x "$pgbin/initdb" ] || { echo "private-pg: PostgreSQL server binaries not found (postgresql-15)" >&2; exit 3; }

as_pg() {
  if [ "$(id -u)" -eq 0 ]; then
    setpriv --reuid=nobody --regid=nogroup --clear-groups -- "$@"
  else
    "$@"
  fi
}

# The server outlives this script: it must not keep the caller's sockets and
# pipes open (a client's connection would then never close).
for fd in /proc/$$/fd/*; do
  fd=${fd##*/}
  [ "$fd" -gt 2 ] && eval "exec $fd>&-" 2>/dev/null || true
done

cmd=${1:?usage: private-pg.sh start DIR PORT | stop DIR | kill DIR}
dir=${2:?folder}
case "$cmd" in
  start)
    port=${3:?port}
    mkdir -p "$dir"
    chmod 0755 "$dir"
    [ "$(id -u)" -eq 0 ] && chown nobody:nogroup "$dir"
    cd "$dir"
    if [ ! -f "$dir/data/PG_VERSION" ]; then
      as_pg "$pgbin/initdb" -D "$dir/data" -U logreport -A trust -E UTF8 --no-sync >"$dir/initdb.log" 2>&1 ||
        { cat "$dir/initdb.log" >&2; exit 1; }
    fi
    as_pg "$pgbin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
      -o "-p $port -k $dir -c listen_addresses=127.0.0.1 -c fsync=off" start >/dev/null
    ;;
  stop) cd "$dir"; as_pg "$pgbin/pg_ctl" -D "$dir/data" -m fast -w -t 60 stop >/dev/null ;;
  kill) cd "$dir"; as_pg "$pgbin/pg_ctl" -D "$dir/data" -m immediate -w -t 60 stop >/dev/null ;;
  *) echo "private-pg: unknown command $cmd" >&2; exit 2 ;;
esac
