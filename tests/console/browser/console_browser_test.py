#!/usr/bin/env python3
"""The console in a real browser: headless Chromium driven by Selenium against
logreport-console on 127.0.0.1 over a store written by console-fixture.

Exit status: 0 passed, 1 failed, 77 when Chromium cannot run on this machine
at all (CTest reports a skip). Screenshots of each page go to --out.

  console_browser_test.py --console BIN --fixture BIN --out DIR
"""
import argparse
import glob
import hashlib
import http.cookiejar
import json
import os
import re
import shutil
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


class Console:
    def __init__(self, binary, store, state, operators):
        self.proc = subprocess.Popen(
            [binary, "--store", store, "--state-dir", state, "--operators", operators, "--listen", "127.0.0.1:0"],
            stderr=subprocess.PIPE, text=True)
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
        self.console = Console(self.args.console, self.store, os.path.join(self.tmp, "state"), operators)
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

        # A new upload appears live.
        self.open("/search")
        self.wait(lambda: self.css("#live[data-state=on]"), "the live view connects")
        started = time.monotonic()
        subprocess.run([self.args.fixture, "add", self.store, "PC-LIVE-7", "424242", "ACME", "9000"], check=True)
        arrived = self.wait(lambda: any(e.text == "PC-LIVE-7" for e in self.css("tr.live a.client")),
                            "a new upload appears live")
        latency = time.monotonic() - started
        self.check(arrived and latency <= 2.0, "it appeared %.2f s after its index line" % latency)
        self.shot("live")

        # An operator of one organisation finds nothing of another and gets 404 on its ids.
        other_id = self.ids("org=GLOBEX")[0]
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
        self.shot("other-organisation")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--console", required=True)
    parser.add_argument("--fixture", required=True)
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
