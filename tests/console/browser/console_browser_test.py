#!/usr/bin/env python3
"""The console in a real browser: headless Chromium driven by Selenium against
logreport-console on 127.0.0.1 over two stores: one that the real
logreport-server filled from logreport-demo (the real library, as a client
with an ordinary name and one with a hostile name), and one written by
console-fixture (two organisations, hostile names, a live arrival).

Exit status: 0 passed, 1 failed, 77 when Chromium cannot run on this machine
at all (CTest reports a skip). Screenshots of each page go to --out.

  console_browser_test.py --console BIN --fixture BIN --server BIN --demo BIN --out DIR
"""
import argparse
import glob
import hashlib
import http.cookiejar
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import traceback
import urllib.request
import zipfile

SKIP = 77
PACKAGES = ["chromium", "chromium-driver", "python3-selenium"]


def install_packages():
    """On a fresh machine, the browser and its driver come from Debian."""
    missing = [p for p in PACKAGES
               if subprocess.run(["dpkg-query", "-W", "-f=${Status}", p], capture_output=True,
                                 text=True).stdout.find("install ok installed") < 0]
    if not missing:
        return
    if os.geteuid() != 0 or not shutil.which("apt-get"):
        print("missing Debian packages: " + " ".join(missing))
        return
    print("installing " + " ".join(missing), flush=True)
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    subprocess.run(["apt-get", "update", "-qq"], env=env, check=False)
    subprocess.run(["apt-get", "install", "-y", "-qq"] + missing, env=env, check=False)


install_packages()
try:
    from selenium import webdriver
    from selenium.common.exceptions import StaleElementReferenceException, TimeoutException, WebDriverException
    from selenium.webdriver.chrome.service import Service as ChromeService
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    # Debian's package is for Debian's interpreter, which another python3
    # on PATH (pyenv, a venv) does not see.
    if os.path.exists("/usr/bin/python3") and os.path.realpath(sys.executable) != os.path.realpath("/usr/bin/python3"):
        os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv)
    print("FAIL: python3-selenium is not installed and could not be")
    sys.exit(1)

DEADLINE = 20  # seconds any condition may take on a loaded machine


def is_error_line(line):
    return any(word in ("ERROR", "FATAL") for word in re.split(r"[ \t\r]+", line))


# The clients that upload through the real library: (pcid, nickname, meeting).
ROAD_CLIENT = ("PC-ROAD-01", "robin", "654321")
ROAD_HOSTILE = ("<img src=x onerror=window.__xss=1></script><script>window.__xss=2</script>",
                "</script><img src=x onerror=window.__xss=3>", "655")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(cond, timeout=DEADLINE):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if cond():
            return True
        time.sleep(0.05)
    return cond()


def fill_road(server_bin, demo_bin, work):
    """logreport-server on 127.0.0.1 with a fresh store, two logreport-demo
    sessions uploading to it at once; returns the store once the server has
    stopped, so the console reads what the server wrote."""
    store = os.path.join(work, "store")
    port = free_port()
    out_path = os.path.join(work, "server.out")
    os.makedirs(work)
    with open(out_path, "w") as out:
        server = subprocess.Popen([server_bin, "--endpoints", "tcp -h 127.0.0.1 -p %d" % port, "--store", store,
                                   "--node", "road"], stdout=out, stderr=subprocess.STDOUT)
    try:
        if not wait_for(lambda: "listening" in open(out_path).read() or server.poll() is not None):
            raise RuntimeError("logreport-server did not start: " + open(out_path).read())
        demos = []
        for n, (pcid, nick, meeting) in enumerate((ROAD_CLIENT, ROAD_HOSTILE)):
            log = open(os.path.join(work, "demo%d.out" % n), "w")
            demos.append((subprocess.Popen(
                [demo_bin, "--servers", "127.0.0.1:%d;127.0.0.1:%d" % (port, port), "--log-dir",
                 os.path.join(work, "client%d" % n), "--pcid", pcid, "--nick", nick, "--meeting", meeting,
                 "--seconds", "3"], stdout=log, stderr=subprocess.STDOUT), log))
        for proc, log in demos:
            proc.wait(timeout=120)
            log.close()
            if proc.returncode != 0:
                raise RuntimeError("logreport-demo failed: " + open(log.name).read())
    finally:
        server.terminate()
        server.wait(timeout=DEADLINE)
    return store


class Console:
    def __init__(self, binary, stores, state, operators):
        command = [binary, "--state-dir", state, "--operators", operators, "--listen", "127.0.0.1:0"]
        for store in stores:
            command += ["--store", store]
        self.proc = subprocess.Popen(command, stderr=subprocess.PIPE, text=True)
        line = self.proc.stderr.readline()
        match = re.search(r"serving (http://127\.0\.0\.1:\d+)/", line)
        if not match:
            self.proc.kill()
            raise RuntimeError("the console did not start: " + line + self.proc.stderr.read())
        self.url = match.group(1)

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(timeout=DEADLINE)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            raise RuntimeError("the console did not stop on SIGTERM")
        if self.proc.returncode != 0:
            raise RuntimeError("the console exited with %d" % self.proc.returncode)


def hash_password(binary, password):
    out = subprocess.run([binary, "--hash-password"], input=password + "\n", capture_output=True, text=True,
                         check=True)
    return out.stdout.strip().splitlines()[-1]


def start_browser(downloads):
    options = webdriver.ChromeOptions()
    for arg in ["--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                "--window-size=1280,900"]:
        options.add_argument(arg)
    chromium = shutil.which("chromium")
    if chromium:
        options.binary_location = chromium
    options.add_experimental_option("prefs", {"download.default_directory": downloads,
                                              "download.prompt_for_download": False})
    service = ChromeService(executable_path=shutil.which("chromedriver") or "/usr/bin/chromedriver")
    return webdriver.Chrome(service=service, options=options)


class Suite:
    def __init__(self, args):
        self.args = args
        self.out = os.path.abspath(args.out)
        shutil.rmtree(self.out, ignore_errors=True)
        os.makedirs(self.out)
        self.tmp = tempfile.mkdtemp(prefix="console_browser_")
        self.store = os.path.join(self.tmp, "store")
        self.downloads = os.path.join(self.tmp, "downloads")
        os.makedirs(self.store)
        os.makedirs(self.downloads)
        self.failures = []

    # -- helpers --

    def check(self, cond, what):
        if not cond:
            self.failures.append(what)
            print("FAIL: " + what, flush=True)
        else:
            print("ok: " + what, flush=True)

    def wait(self, cond, what, timeout=DEADLINE):
        try:
            # A page being replaced while it is looked at is "not yet".
            WebDriverWait(self.driver, timeout, poll_frequency=0.05,
                          ignored_exceptions=(IndexError, StaleElementReferenceException)).until(lambda d: cond())
            return True
        except TimeoutException:
            self.check(False, what + " (waited %ds)" % timeout)
            return False

    def shot(self, name):
        self.driver.save_screenshot(os.path.join(self.out, name + ".png"))

    def open(self, path):
        self.driver.get(self.console.url + path)

    def css(self, selector):
        return self.driver.find_elements(By.CSS_SELECTOR, selector)

    def page_ready(self):
        return not self.css("main p.muted") or self.css("#failure")

    def sign_in(self, name, password):
        self.open("/login")
        self.wait(lambda: self.css("#login"), "the sign-in form shows")
        self.css("#name")[0].clear()
        self.css("#name")[0].send_keys(name)
        self.css("#password")[0].clear()
        self.css("#password")[0].send_keys(password)
        self.css("#signin")[0].click()

    def api(self, path):
        """GET with the browser's session cookie (it is HttpOnly: scripts cannot read it)."""
        jar = http.cookiejar.CookieJar()
        opener = urllib.request.build_opener(urllib.request.HTTPCookieProcessor(jar))
        cookie = "; ".join("%s=%s" % (c["name"], c["value"]) for c in self.driver.get_cookies())
        req = urllib.request.Request(self.console.url + path, headers={"Cookie": cookie})
        try:
            with opener.open(req, timeout=DEADLINE) as res:
                return res.status, res.read()
        except urllib.error.HTTPError as e:
            return e.code, e.read()

    def download(self, link_selector, suffix):
        before = set(os.listdir(self.downloads))
        self.css(link_selector)[0].click()
        found = []

        def done():
            new = [f for f in set(os.listdir(self.downloads)) - before if f.endswith(suffix)]
            if new and not glob.glob(os.path.join(self.downloads, "*.crdownload")):
                found.append(os.path.join(self.downloads, new[0]))
                return True
            return False
        self.wait(done, "the download of " + suffix + " finishes")
        return found[0] if found else None

    def ids(self, query):
        status, body = self.api("/api/search?" + query)
        return [it["id"] for it in json.loads(body)["items"]] if status == 200 else []

    # -- the scenario --

    def run(self):
        manifest = json.loads(subprocess.run([self.args.fixture, "seed", self.store], capture_output=True,
                                             text=True, check=True).stdout)
        password = "s3cret-" + str(os.getpid())
        operators = os.path.join(self.tmp, "operators")
        pw_hash = hash_password(self.args.console, password)
        with open(operators, "w") as f:
            f.write("# browser test\nops * %s\nacme ACME %s\n" % (pw_hash, pw_hash))
        started = time.monotonic()
        self.road = fill_road(self.args.server, self.args.demo, os.path.join(self.tmp, "road"))
        print("the road store filled in %.1f s" % (time.monotonic() - started), flush=True)
        self.console = Console(self.args.console, [self.store, self.road], os.path.join(self.tmp, "state"), operators)
        try:
            try:
                self.driver = start_browser(self.downloads)
            except WebDriverException as e:
                print("SKIP: Chromium cannot run here: %s" % str(e).splitlines()[0])
                return SKIP
            try:
                self.scenario(manifest, password)
            finally:
                self.driver.quit()
        finally:
            self.console.stop()
        return 1 if self.failures else 0

    def scenario(self, m, password):
        # Signed out, a page sends the operator to sign in and back.
        self.open("/search?meeting=123456")
        self.wait(lambda: "/login" in self.driver.current_url, "a page without a session goes to sign-in")
        self.shot("login")

        # Wrong passwords are slowed: the next attempt, even the right one, must wait.
        self.sign_in("ops", "wrong")
        self.wait(lambda: "wrong name or password" in self.css("#message")[0].text, "a wrong password is refused")
        self.css("#password")[0].clear()
        self.css("#password")[0].send_keys(password)
        self.css("#signin")[0].click()
        self.wait(lambda: "too many failed sign-ins" in self.css("#message")[0].text,
                  "right after a wrong password, sign-in is slowed")
        self.shot("login-slowed")

        def signed_in():
            if "/search" in self.driver.current_url:
                return True
            if self.css("#signin"):
                self.css("#signin")[0].click()
            return False
        self.wait(signed_in, "after the wait, the right password signs in")

        # Search by meeting finds the client, and nothing of another organisation is hidden from "ops".
        self.open("/search")
        self.wait(lambda: self.css("#f-meeting"), "the search form shows")
        self.css("#f-meeting")[0].send_keys("123456")
        self.css("#go")[0].click()
        self.wait(lambda: "meeting=123456" in self.driver.current_url and self.css("#results"),
                  "the search by meeting has its own URL and results")
        clients = [e.text for e in self.css("#results a.client")]
        self.check("PC-SOUND-01" in clients, "search by meeting finds the client")
        self.check("PC-GLOBEX-9" in clients, "an operator of every organisation sees GLOBEX too")
        self.shot("search")

        # The log view marks exactly the stored file's ERROR and FATAL lines.
        log_id = [i for i in self.ids("meeting=123456&kind=reportLog")][0]
        self.open("/item?id=" + log_id)
        self.wait(lambda: self.css("#read"), "an error log's item page links to its log")
        self.shot("item-log")
        self.css("#read")[0].click()
        self.wait(lambda: self.css("#log .line"), "the log view shows lines")
        status, stored = self.api("/api/file/" + log_id)
        expected = sum(1 for line in stored.decode("utf-8", "replace").split("\n") if is_error_line(line))
        marked = len(self.css(".log-error"))
        self.check(status == 200 and expected > 0 and marked == expected,
                   "the log view marks %d lines, the stored bytes hold %d ERROR/FATAL lines" % (marked, expected))
        self.check(len(self.css("#log .line")) == stored.count(b"\n"), "every line of the command is shown")
        self.css("#next-error")[0].click()
        self.wait(lambda: self.css(".log-error.current"), "\"next error\" goes to an error line")
        self.shot("log")

        # A dump's download has the stored file's SHA-256.
        dump_id = self.ids("meeting=123456&kind=reportDump&org=ACME")[0]
        self.open("/item?id=" + dump_id)
        self.wait(lambda: self.css("#download") and self.css("#info"), "the dump's page shows its info")
        self.shot("dump")
        path = self.download("#download", ".dmp")
        stored_dump = glob.glob(os.path.join(self.store, "ACME", "dumps", "*", "%d.dmp" % m["dumpSeq"]))
        self.check(path and stored_dump and hashlib.sha256(open(path, "rb").read()).hexdigest() ==
                   hashlib.sha256(open(stored_dump[0], "rb").read()).hexdigest(),
                   "the dump's download has the stored file's SHA-256")

        # "Download all" holds every attachment.
        report_id = self.ids("meeting=123456&kind=reportUser")[0]
        self.open("/item?id=" + report_id)
        self.wait(lambda: self.css("#download-all"), "the report's page offers download all")
        self.check("alice@example.org" in self.css("#contact")[0].text, "the report shows its contact")
        self.shot("report")
        path = self.download("#download-all", ".zip")
        stored = sorted(glob.glob(os.path.join(self.store, "ACME", "reports", str(m["reportSeq"]), "attachments", "*")))
        if path:
            with zipfile.ZipFile(path) as z:
                got = sorted(z.read(n) for n in z.namelist())
            want = sorted(open(p, "rb").read() for p in stored)
            self.check(len(stored) == 3 and got == want, "download all holds every attachment (%d)" % len(got))

        # Hostile client names show as text and run nothing.
        self.open("/search?meeting=777")
        self.wait(lambda: self.css("#results a.client"), "the hostile client is found")
        self.check(m["hostile"] in [e.text for e in self.css("#results a.client")], "a hostile name shows as text")
        self.check(not self.css("#results img") and not self.css("main script"), "no element comes from a client's name")
        self.check(self.driver.execute_script("return window.__xss === undefined"), "no script of a client ran")
        self.shot("hostile-search")
        self.css("#results a.client")[0].click()
        self.wait(lambda: self.css("#client-name") and self.css("svg.chart"), "the client page shows charts")
        self.check(self.css("#client-name")[0].text == m["hostile"], "the client page shows the name as text")
        self.check(self.driver.execute_script("return window.__xss === undefined"), "no script ran on the client page")
        self.open("/client?client=PC-SOUND-01")
        self.wait(lambda: self.css("svg.chart rect.bar"), "the client's chart has bars")
        self.shot("client")

        # A new upload appears live within 2 s of its index line. The two ends
        # are taken where they happen, on the same wall clock: the line's
        # write is the index day's modification time (not when the fixture
        # process was started or returned), and its arrival is stamped by the
        # page itself when the row is inserted (not when Selenium next polls).
        # What remains is the console's own path: a refresh every 0.5 s, a
        # refresh of one line, one server-sent event.
        self.open("/search")
        self.wait(lambda: self.css("#live[data-state=on]"), "the live view connects")
        self.driver.execute_script(
            "window.__arrivals = {};"
            "new MutationObserver(() => { for (const a of document.querySelectorAll('tr.live a.client'))"
            " if (!(a.textContent in window.__arrivals)) window.__arrivals[a.textContent] = Date.now(); })"
            ".observe(document.body, { childList: true, subtree: true });")
        subprocess.run([self.args.fixture, "add", self.store, "PC-LIVE-7", "424242", "ACME", "9000"], check=True)
        days = glob.glob(os.path.join(self.store, "ACME", "index", "*.jsonl"))
        written_ms = max(os.stat(d).st_mtime_ns for d in days) / 1e6
        arrived = self.wait(lambda: self.driver.execute_script("return window.__arrivals['PC-LIVE-7'] || 0") > 0,
                            "a new upload appears live")
        if arrived:
            latency = (self.driver.execute_script("return window.__arrivals['PC-LIVE-7']") - written_ms) / 1000
            self.check(latency <= 2.0, "it appeared %.2f s after its index line was written" % latency)
        self.shot("live")

        self.road_scenario()

        # An operator of one organisation finds nothing of another and gets 404 on its ids.
        other_id = self.ids("org=GLOBEX")[0]
        road_id = self.ids("meeting=" + ROAD_CLIENT[2])[0]
        self.css("#signout")[0].click()
        self.wait(lambda: "/login" in self.driver.current_url, "sign-out leads to sign-in")
        self.sign_in("acme", password)
        self.wait(lambda: "/search" in self.driver.current_url, "the ACME operator signs in")
        self.open("/search?meeting=123456")
        self.wait(lambda: self.css("#results"), "the ACME operator's search answers")
        clients = [e.text for e in self.css("#results a.client")]
        self.check("PC-SOUND-01" in clients and "PC-GLOBEX-9" not in clients, "ACME finds nothing of GLOBEX")
        self.open("/item?id=" + other_id)
        self.wait(lambda: self.css("#failure"), "GLOBEX's item page fails for ACME")
        self.check(self.css("#failure")[0].text == "no such item", "GLOBEX's id is not found")
        for api in ("item", "file", "log", "zip"):
            status, _ = self.api("/api/%s/%s" % (api, other_id))
            self.check(status == 404, "/api/%s of GLOBEX's id answers 404 to ACME" % api)
        self.check(not self.ids("meeting=" + ROAD_CLIENT[2]), "ACME finds nothing of the store without organisation")
        self.check(self.api("/api/item/" + road_id)[0] == 404, "its ids answer 404 to ACME")
        self.shot("other-organisation")

    # -- over the store the real server filled through the real library --

    def stored_bytes(self, item_id):
        """The command's bytes as the server stored them, read from the store on disk."""
        status, body = self.api("/api/item/" + item_id)
        item = json.loads(body)["item"] if status == 200 else {}
        path = os.path.join(self.road, item.get("path", "?"))
        if not os.path.isfile(path):
            return None
        with open(path, "rb") as f:
            if "offset" in item:
                f.seek(item["offset"])
                return f.read(item["length"])
            return f.read()

    def road_scenario(self):
        pcid, nick, meeting = ROAD_CLIENT
        self.open("/search?meeting=" + meeting)
        self.wait(lambda: self.css("#results a.client"), "the real library's uploads are found by meeting")
        self.check(pcid in [e.text for e in self.css("#results a.client")], "search by meeting finds the library's client")
        self.shot("road-search")

        # Its error log: the marks are the stored command's ERROR and FATAL lines.
        log_id = self.ids("client=%s&kind=reportLog" % pcid)[0]
        stored = self.stored_bytes(log_id)
        self.open("/log?id=" + log_id)
        self.wait(lambda: self.css("#log .line"), "the library's error log shows lines")
        shown = [e.text for e in self.css("#log .line .text")]
        lines = stored.decode("utf-8", "replace").split("\n")[:len(shown)] if stored else []
        expected = sum(1 for line in lines if is_error_line(line))
        marked = len(self.css(".log-error"))
        self.check(stored is not None and shown == [l.rstrip("\r") for l in lines],
                   "the log view shows the stored command's lines (%d)" % len(shown))
        self.check(expected > 0 and marked == expected,
                   "the library's error log: %d lines marked, %d ERROR/FATAL lines stored" % (marked, expected))
        self.shot("road-log")

        # Its dump, downloaded, is the stored file.
        dump_id = self.ids("client=%s&kind=reportDump" % pcid)[0]
        self.open("/item?id=" + dump_id)
        self.wait(lambda: self.css("#download") and self.css("#info"), "the library's dump has its page")
        path = self.download("#download", ".dmp")
        stored_dump = self.stored_bytes(dump_id)
        self.check(path and stored_dump and hashlib.sha256(open(path, "rb").read()).hexdigest() ==
                   hashlib.sha256(stored_dump).hexdigest(), "the library's dump downloads with the stored SHA-256")

        # Its user report: "download all" holds the attachment the library sent.
        report_id = self.ids("client=%s&kind=reportUser" % pcid)[0]
        self.open("/item?id=" + report_id)
        self.wait(lambda: self.css("#download-all"), "the library's report offers download all")
        self.check(nick + "@example.org" in self.css("#contact")[0].text, "the library's report shows its contact")
        self.shot("road-report")
        path = self.download("#download-all", ".zip")
        names = [e.text for e in self.css("#attachments a.attachment")]
        self.check(names == ["settings.txt", "settings.txt.txt"],
                   "the attachment the library sent is listed under its name, its caption beside it: %s" % names)
        if path:
            with zipfile.ZipFile(path) as z:
                got = [z.read(n) for n in z.namelist()]
            self.check(got == [b"mic=default\ngain=0.8\n", b"audio settings"],
                       "download all holds the library's attachment and its caption")

        # A hostile client name, sent through the library, shows as text.
        hostile, hostile_nick, hostile_meeting = ROAD_HOSTILE
        self.open("/search?meeting=" + hostile_meeting)
        self.wait(lambda: self.css("#results a.client"), "the hostile library client is found")
        self.check(hostile in [e.text for e in self.css("#results a.client")], "its name, sent by the library, shows as text")
        self.check(not self.css("#results img") and not self.css("main script"), "no element comes from its name")
        self.check(self.driver.execute_script("return window.__xss === undefined"), "no script of its name ran")
        self.shot("road-hostile")
        # Its detail logs carry no client: a name with "/" in it does not
        # survive the detail file's name, and those rows show "(unknown)".
        [e for e in self.css("#results a.client") if e.text == hostile][0].click()
        self.wait(lambda: self.css("#client-name") and self.css("svg.chart"), "the hostile client's page shows")
        self.check(self.css("#client-name")[0].text == hostile, "its page shows the name as text")
        self.check(self.driver.execute_script("return window.__xss === undefined"), "no script ran on its page")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--console", required=True)
    parser.add_argument("--fixture", required=True)
    parser.add_argument("--server", required=True)
    parser.add_argument("--demo", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    started = time.monotonic()
    suite = Suite(args)
    try:
        status = suite.run()
    except Exception:
        traceback.print_exc()
        status = 1
    finally:
        shutil.rmtree(suite.tmp, ignore_errors=True)
    print("browser suite: %s in %.1f s; screenshots in %s" %
          ({0: "passed", SKIP: "skipped"}.get(status, "FAILED"), time.monotonic() - started, suite.out))
    return status


if __name__ == "__main__":
    sys.exit(main())
