#!/usr/bin/env python3
"""20 operators at once against a running logreport-console: each keeps the
live view (/api/events) open and searches by meeting and by client in a loop;
prints per-request latency percentiles and the console's peak RSS.

  bench/console_load.py --url http://127.0.0.1:8080 --name NAME --password PW --pid PID [--operators 20] [--seconds 30]
"""
import argparse
import json
import threading
import time
import urllib.request


def rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def session(url, name, password):
    req = urllib.request.Request(url + "/api/login", data=json.dumps({"name": name, "password": password}).encode(),
                                 headers={"Content-Type": "application/json"})
    with urllib.request.urlopen(req, timeout=60) as res:
        return res.headers["Set-Cookie"].split(";")[0]


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--url", required=True)
    p.add_argument("--name", required=True)
    p.add_argument("--password", required=True)
    p.add_argument("--pid", type=int, required=True)
    p.add_argument("--operators", type=int, default=20)
    p.add_argument("--seconds", type=float, default=30)
    a = p.parse_args()
    cookie = session(a.url, a.name, a.password)
    stop = time.monotonic() + a.seconds
    latencies, failures, events_open = [], [], []
    lock = threading.Lock()

    def live():
        req = urllib.request.Request(a.url + "/api/events", headers={"Cookie": cookie})
        with urllib.request.urlopen(req, timeout=60) as res:
            with lock:
                events_open.append(res.status == 200)
            while time.monotonic() < stop:
                if not res.readline():
                    break

    def searcher(n):
        i = 0
        while time.monotonic() < stop:
            q = "meeting=%d" % (100000 + (n * 977 + i * 31) % 50000) if i % 2 == 0 else \
                "client=%d" % (100000 + (n * 977 + i * 31) % 20000)
            t0 = time.monotonic()
            try:
                with urllib.request.urlopen(urllib.request.Request(a.url + "/api/search?" + q,
                                                                   headers={"Cookie": cookie}), timeout=60) as res:
                    res.read()
                    ok = res.status == 200
            except Exception as e:  # counted, not fatal: the figure is how many failed
                ok = False
            with lock:
                (latencies if ok else failures).append(time.monotonic() - t0)
            i += 1

    threads = [threading.Thread(target=live, daemon=True) for _ in range(a.operators)]
    threads += [threading.Thread(target=searcher, args=(n,)) for n in range(a.operators)]
    for t in threads:
        t.start()
    peak = 0
    while time.monotonic() < stop:
        peak = max(peak, rss_kb(a.pid))
        time.sleep(0.2)
    for t in threads[a.operators:]:
        t.join()
    lat = sorted(latencies)
    pct = lambda q: lat[min(len(lat) - 1, int(q * len(lat)))] * 1000 if lat else float("nan")
    print("operators=%d live_views_open=%d searches=%d failed=%d p50=%.0f ms p95=%.0f ms peak_rss=%.1f MB" %
          (a.operators, sum(events_open), len(lat), len(failures), pct(0.5), pct(0.95), peak / 1024))


if __name__ == "__main__":
    main()
