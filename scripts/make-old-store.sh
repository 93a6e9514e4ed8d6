#!/usr/bin/env bash
# Makes tests/server/data/old-store: a small store as the server of the
# earlier layout (single index.jsonl, a meta file per command, spare files,
# pending records) wrote it, over two UTC days, with an organisation store.
#
#   OLD_SERVER=/path/to/earlier/logreport-server SENDER=build/tests/send-commands \
#       bash scripts/make-old-store.sh [OUT]
#
# Needs faketime (Debian package faketime) to put the commands on two days.
# Afterwards, as a server killed in the middle of a command leaves them: a
# pending record whose append has no index line, with the bytes of that
# append, and a torn last index line; a shipping cursor of the earlier form
# (a byte offset into index.jsonl) for node n1 at a line boundary; and only a
# few of the empty spare files kept.
set -euo pipefail
FAKETIME_LIB=$(dpkg -L libfaketime 2>/dev/null | grep 'libfaketimeMT.so.1$' || true)
if [ -z "$FAKETIME_LIB" ]; then
    apt-get install -y faketime
    FAKETIME_LIB=$(dpkg -L libfaketime | grep 'libfaketimeMT.so.1$')
fi
OUT=${1:-tests/server/data/old-store}
: "${OLD_SERVER:?the earlier server binary}" "${SENDER:?the send-commands binary}"
rm -rf "$OUT"
mkdir -p "$OUT"
TOKENS=$(mktemp)
echo "acme tok-acme-0123456789abcdef0123" > "$TOKENS"

run_round() {  # FAKE_TIME ROUND [tokens] [SIGNAL]
    local port=$((20000 + RANDOM % 20000)) extra=() token=()
    if [ "${3:-}" = tokens ]; then extra=(--tokens "$TOKENS"); token=(tok-acme-0123456789abcdef0123); fi
    # The library preloaded rather than the faketime wrapper, so that the
    # interrupt below reaches the server itself.
    LD_PRELOAD=$FAKETIME_LIB FAKETIME="@$1" "$OLD_SERVER" --store "$OUT" --node n1 --endpoints "tcp -h 127.0.0.1 -p $port" "${extra[@]}" \
        > "$OUT.server.log" 2>&1 &
    local pid=$!
    for _ in $(seq 100); do grep -q listening "$OUT.server.log" 2>/dev/null && break; sleep 0.1; done
    "$SENDER" "$port" "$2" "${token[@]}"
    sleep 0.5  # the spare pools' refill
    kill "-${4:-INT}" "$pid"; wait "$pid" || true
}
run_round "2026-12-05 23:58:00" day1
run_round "2026-12-05 23:59:00" acme1 tokens
run_round "2026-12-06 00:01:00" day2
# Killed, as the server's last run of that store was: its spare files stay.
run_round "2026-12-06 00:02:00" acme2 tokens KILL
rm -f "$OUT.server.log" "$TOKENS"

# Keep a few spare files of each kind, enough to see them go.
for dir in "$OUT/meta" "$OUT/pending" "$OUT/acme/meta" "$OUT/acme/pending"; do
    [ -d "$dir" ] || mkdir -p "$dir"
    { ls -A "$dir" | grep '^\.spare-' || true; } | tail -n +4 | while read -r f; do rm -f "$dir/$f"; done
done
# A command killed after its append: record, appended bytes, torn index line.
size=$(stat -c %s "$OUT/errlog/pc-0.log")
printf '%s errlog/pc-0.log\n' "$size" > "$OUT/pending/999"
printf 'bytes of a command that was never confirmed\n' >> "$OUT/errlog/pc-0.log"
printf '{"seq":999,"node":"n1","time":"2026-12-06T00:0' >> "$OUT/index.jsonl"
# The earlier shipper's cursor: the first 10 lines were shipped.
head -n 10 "$OUT/index.jsonl" | wc -c | tr -d ' ' > "$OUT/index.pgcursor.n1"
echo "made $OUT: $(wc -l < "$OUT/index.jsonl") lines, $(wc -l < "$OUT/acme/index.jsonl") in acme"
