#!/usr/bin/env bash
# Alternating rounds of road_bench, one repetition of each build in turn, the
# order alternating, the load average noted before each run:
#   bench/road-rounds.sh NEW_ROAD_BENCH OLD_ROAD_BENCH [ROUNDS]
set -euo pipefail
new=$1
old=$2
rounds=${3:-8}
out=$(mktemp)
trap 'rm -f "$out"' EXIT
for r in $(seq 1 "$rounds"); do
  order="new old"
  if [ $((r % 2)) -eq 0 ]; then order="old new"; fi
  for b in $order; do
    load=$(cut -d' ' -f1 /proc/loadavg)
    "${!b}" --benchmark_repetitions=1 --benchmark_out="$out" --benchmark_out_format=json >/dev/null 2>&1
    python3 - "$out" "$r" "$b" "$load" <<'PY'
import json, sys
path, r, build, load = sys.argv[1:]
for bm in json.load(open(path))['benchmarks']:
    keys = ('client_wall_s', 'client_cpu_s', 'client_work_cpu_s', 'limit_cpu_s', 'cpu_over_limit',
            'work_cpu_over_limit', 'wall_over_limit', 'peak_rss_MiB')
    print(r, build, 'load=' + load, ' '.join(f'{k}={bm[k]:.3f}' for k in keys if k in bm))
PY
  done
done
