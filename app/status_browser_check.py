#!/usr/bin/env python3
"""Loads the status page in headless Chromium and checks what an operator sees.

Speaks the W3C WebDriver protocol to Debian's chromedriver with the standard
library only: opens --url, waits until the tables show --callsign and --state
(and the last-heard table every --heard text), checks what the last-heard
table's cells hold and that the page loaded nothing from elsewhere, and saves
--screenshot at desktop width and a "-phone" one at phone width.
Exits 0 when every check passed, else 1 with the reason on standard output.
The chromedriver it starts (and with it the browser) is stopped in any case.
"""

import argparse
import base64
import json
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request


class CheckFailed(Exception):
    pass


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class WebDriver:
    def __init__(self, port):
        self.base = "http://127.0.0.1:%d" % port
        self.session = None

    def call(self, method, path, body=None, timeout=30):
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(self.base + path, data=data, method=method,
                                         headers={"Content-Type": "application/json"})
        try:
            with urllib.request.urlopen(request, timeout=timeout) as reply:
                return json.loads(reply.read() or b"{}").get("value")
        except urllib.error.HTTPError as e:
            raise CheckFailed("%s %s: %s" % (method, path, e.read()[:500])) from e

    def ready(self):
        try:
            return bool(self.call("GET", "/status", timeout=2).get("ready"))
        except (OSError, CheckFailed, ValueError):
            return False

    def start(self, chromium, profile):
        args = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                "--no-first-run", "--disable-background-networking",
                "--disable-component-update", "--disable-sync", "--window-size=1300,1100",
                "--user-data-dir=" + profile]
        value = self.call("POST", "/session", {"capabilities": {"alwaysMatch": {
            "browserName": "chrome",
            "goog:chromeOptions": {"binary": chromium, "args": args}}}}, timeout=60)
        self.session = value["sessionId"]

    def s(self, path):
        return "/session/%s%s" % (self.session, path)

    def script(self, source):
        return self.call("POST", self.s("/execute/sync"), {"script": source, "args": []})

    def screenshot(self, path):
        with open(path, "wb") as out:
            out.write(base64.b64decode(self.call("GET", self.s("/screenshot"))))

    def quit(self):
        if self.session is not None:
            try:
                self.call("DELETE", self.s(""), timeout=10)
            except (OSError, CheckFailed):
                pass
            self.session = None


# What the page shows, as text: the header line and each table's body.
READ_PAGE = """
const text = id => { const e = document.getElementById(id); return e ? e.innerText : ""; };
return { fresh: text("fresh"), meta: text("meta"),
         repeaters: document.querySelector("#repeaters tbody").innerText,
         links: document.querySelector("#links tbody").innerText,
         calls: document.querySelectorAll("#calls tbody tr").length,
         heard: document.querySelectorAll("#heard tbody tr").length,
         heardText: document.querySelector("#heard tbody").innerText };
"""

# The last-heard table's cells: the position as a map link (followed only on
# a click), the BER coloured, and every resource the page loaded its own.
READ_HEARD = """
const links = [...document.querySelectorAll("#heard tbody a")];
const ber = [...document.querySelectorAll("#heard tbody tr")].map(tr => tr.cells[9].className);
return { links: links.map(a => a.href), ber: ber,
         ids: [...document.querySelectorAll("#heard tbody small")].map(e => e.textContent),
         foreign: performance.getEntriesByType("resource").map(r => r.name)
                    .filter(n => !n.startsWith(location.origin)) };
"""


def check_page(driver, args, deadline):
    driver.call("POST", driver.s("/url"), {"url": args.url}, timeout=30)
    page = {}
    while time.monotonic() < deadline:
        page = driver.script(READ_PAGE)
        if (args.callsign in page["repeaters"] and args.state in page["links"]
                and page["fresh"].startswith("updated")
                and all(h in page["heardText"] for h in args.heard)):
            break
        time.sleep(0.2)
    else:
        raise CheckFailed("the page never showed %r and %r: %r"
                          % (args.callsign, args.state, page))
    if page["calls"] != 4:
        raise CheckFailed("the calls table has %d rows, not one per direction and slot"
                          % page["calls"])
    if page["heard"] < 1:
        raise CheckFailed("the last-heard table is missing")
    if args.heard:
        cells = driver.script(READ_HEARD)
        if not any(link.startswith("https://www.openstreetmap.org/?mlat=")
                   for link in cells["links"]):
            raise CheckFailed("no position links to a map: %r" % cells["links"])
        if not all(c.split()[-1] in ("ok", "warn", "bad") for c in cells["ber"]):
            raise CheckFailed("a BER cell is not coloured: %r" % cells["ber"])
        if cells["foreign"]:
            raise CheckFailed("the page loaded from elsewhere: %r" % cells["foreign"])
        print("last heard: %s" % page["heardText"].replace("\t", " | ").strip())
    print("page shows: %s | %s" % (page["repeaters"].replace("\t", " ").strip(),
                                   page["links"].replace("\t", " ").strip()))
    driver.screenshot(args.screenshot)
    # The same page at a phone's width: the tables turn into cards.
    driver.call("POST", driver.s("/window/rect"), {"width": 390, "height": 1400})
    time.sleep(0.5)
    phone = args.screenshot.rsplit(".", 1)[0] + "-phone.png"
    driver.screenshot(phone)
    print("screenshots: %s %s" % (args.screenshot, phone))


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--url", required=True)
    p.add_argument("--callsign", required=True)
    p.add_argument("--state", required=True)
    p.add_argument("--screenshot", required=True)
    p.add_argument("--chromium", default="/usr/bin/chromium")
    p.add_argument("--chromedriver", default="/usr/bin/chromedriver")
    p.add_argument("--seconds", type=float, default=60)
    p.add_argument("--heard", action="append", default=[],
                   help="text the last-heard table must show (repeatable)")
    args = p.parse_args()
    deadline = time.monotonic() + args.seconds

    # A kill from the test's own time-out still stops chromedriver.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    profile = tempfile.mkdtemp(prefix="ferrule-chromium-")
    port = free_port()
    service = subprocess.Popen([args.chromedriver, "--port=%d" % port],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    driver = WebDriver(port)
    try:
        while not driver.ready():
            if time.monotonic() > deadline or service.poll() is not None:
                raise CheckFailed("chromedriver did not start")
            time.sleep(0.1)
        driver.start(args.chromium, profile)
        check_page(driver, args, deadline)
        print("status page checks passed")
        return 0
    except (CheckFailed, OSError, KeyError, TypeError) as e:
        print("status page check failed: %s" % e)
        return 1
    finally:
        driver.quit()
        service.terminate()
        try:
            service.wait(timeout=10)
        except subprocess.TimeoutExpired:
            service.kill()
            service.wait()
        shutil.rmtree(profile, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
