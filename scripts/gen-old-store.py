#!/usr/bin/env python3
"""Writes a store of the earlier single-index layout with N commands, for
measuring the conversion at start (docs/OPERATORS.md):

    python3 scripts/gen-old-store.py OUT [LINES] [DAYS]

Half the commands are error logs of 100 clients (no meta file), 40 % detail
logs of 1000 files, 5 % dumps and 5 % user reports (each with a meta file),
spread evenly over DAYS UTC days; the appended files hold exactly the bytes
their index lines count, as the earlier server left them.
"""
import json
import os
import sys
from datetime import datetime, timedelta, timezone

out = sys.argv[1]
lines = int(sys.argv[2]) if len(sys.argv) > 2 else 1000000
days = int(sys.argv[3]) if len(sys.argv) > 3 else 10
start = datetime(2026, 1, 1, tzinfo=timezone.utc)
step = timedelta(days=days) / lines
for d in ("meta", "errlog", "detail/f", "pending"):
    os.makedirs(os.path.join(out, d), exist_ok=True)
ERR = b"x" * 199 + b"\n"
DETAIL = b"d" * 99 + b"\n"
sizes = {}
with open(os.path.join(out, "index.jsonl"), "w") as index:
    for seq in range(1, lines + 1):
        t = start + step * seq
        time = t.strftime("%Y-%m-%dT%H:%M:%S.") + "%03dZ" % (t.microsecond // 1000)
        line = {"seq": seq, "node": "n1", "time": time, "peer": "127.0.0.1:5000"}
        kind = seq % 20
        meta = None
        if kind < 10:
            client = "pc-%d" % (seq % 100)
            path = "errlog/%s.log" % client
            line.update(cmdId=11047, cmdType="reportLog", name=client, client=client, compressedSize=90,
                        inflatedSize=len(ERR), path=path)
            sizes[path] = sizes.get(path, 0) + 1
        elif kind < 18:
            name = "f/f_pc-%d_app.log" % (seq % 1000)
            path = "detail/" + name
            meta = json.dumps({"confId": 7, "filename": name}, separators=(",", ":"))
            line.update(cmdId=11048, cmdType="reportDetail", name=name, confId=7, compressedSize=40,
                        inflatedSize=len(DETAIL), path=path)
            sizes[path] = sizes.get(path, 0) + 1
        elif kind == 18:
            meta = json.dumps({"info": {"conferenceID": 7, "client": "pc-1"}}, separators=(",", ":"))
            line.update(cmdId=11049, cmdType="reportDump", name="pc-1", compressedSize=10, inflatedSize=10,
                        path="dumps/pc-1/n1-%d.dmp" % seq)
        else:
            meta = json.dumps({"conferenceID": 7, "client": "pc-1", "content": "c"}, separators=(",", ":"))
            line.update(cmdId=11050, cmdType="reportUser", name="pc-1", compressedSize=10, inflatedSize=10,
                        path="reports/n1-%d" % seq)
        if meta is not None:
            line["meta"] = "meta/n1-%d.json" % seq
            with open(os.path.join(out, line["meta"]), "w") as m:
                m.write(meta)
        index.write(json.dumps(line, separators=(",", ":")) + "\n")
for path, count in sizes.items():
    with open(os.path.join(out, path), "wb") as f:
        f.write((ERR if path.startswith("errlog/") else DETAIL) * count)
with open(os.path.join(out, "seq.reserved"), "w") as f:
    f.write("%d\n" % (lines + 64))
print("made %s: %d lines over %d days" % (out, lines, days))
