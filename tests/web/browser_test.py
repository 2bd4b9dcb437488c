#!/usr/bin/env python3
"""The status page in a real browser: Debian's Chromium, headless, driven over the DevTools protocol, against
the real `tessiv --headless` watching real status test hosts.

It checks what a person at the page sees: the faulty host's row and since when, the row turning normal after
the next round without a reload, a host named <script>alert(1)</script> shown as those characters with no
dialog and no console error, and no request to any other origin."""

import argparse
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

import websocket

CHROMIUM = "/usr/bin/chromium"
HOSTILE = "<script>alert(1)</script>"
FAULTY = "中心A"


def fail(message):
    print("FAIL: " + message, file=sys.stderr)
    sys.exit(1)


def wait_for(what, condition, limit):
    """Polls condition until it gives something true, at most `limit` seconds."""
    end = time.monotonic() + limit
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        time.sleep(0.2)
    fail("timed out after %d s waiting for %s" % (limit, what))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def get(url):
    try:
        with urllib.request.urlopen(url, timeout=5) as answer:
            return answer.read().decode("utf-8")
    except OSError:
        return None


class DevTools:
    """One page target: commands with their answers, and every event kept for the checks at the end."""

    def __init__(self, url):
        self.socket = websocket.create_connection(url, timeout=10, suppress_origin=True)
        self.next_id = 0
        self.answers = {}
        self.events = []
        self.lock = threading.Condition()
        self.reader = threading.Thread(target=self.read, daemon=True)
        self.reader.start()

    def read(self):
        while True:
            try:
                message = json.loads(self.socket.recv())
            except Exception:
                return
            with self.lock:
                if "id" in message:
                    self.answers[message["id"]] = message
                else:
                    self.events.append(message)
                self.lock.notify_all()

    def call(self, method, **params):
        with self.lock:
            self.next_id += 1
            number = self.next_id
        self.socket.send(json.dumps({"id": number, "method": method, "params": params}))
        with self.lock:
            if not self.lock.wait_for(lambda: number in self.answers, timeout=15):
                fail("no answer to " + method)
            answer = self.answers.pop(number)
        if "error" in answer:
            fail("%s: %s" % (method, answer["error"]))
        return answer["result"]

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True)
        if "exceptionDetails" in result:
            fail("evaluating %s: %s" % (expression, result["exceptionDetails"]))
        return result["result"].get("value")

    def seen(self, method):
        with self.lock:
            return [event["params"] for event in self.events if event["method"] == method]


ROWS = """[...document.querySelectorAll('#hosts tbody tr')].map(tr =>
  [tr.cells[0].textContent, tr.cells[1].textContent, tr.cells[2].textContent])"""


def row(devtools, name):
    for cells in devtools.evaluate(ROWS) or []:
        if cells[0] == name:
            return cells
    return None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tessiv", required=True)
    parser.add_argument("--testhost", required=True)
    args = parser.parse_args()
    if not os.access(CHROMIUM, os.X_OK):
        fail(CHROMIUM + " is missing: scripts/setup.sh --test installs it")

    work = tempfile.mkdtemp(prefix="tessiv-browser-")
    children = []
    try:
        run(args, work, children)
    finally:
        for child in reversed(children):
            if child.poll() is None:
                child.send_signal(signal.SIGTERM)
                try:
                    child.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    child.kill()
                    child.wait()
        shutil.rmtree(work, ignore_errors=True)
    print("ok")


def run(args, work, children):
    faulty_file = os.path.join(work, "faulty.txt")
    normal_file = os.path.join(work, "normal.txt")
    with open(faulty_file, "w", encoding="utf-8") as f:
        f.write("app 空间不足 | now\n")
    with open(normal_file, "w", encoding="utf-8") as f:
        f.write("# a normal report\n")
    hosts = subprocess.Popen([args.testhost, "--serve", "0=" + faulty_file, "--serve", "0=" + normal_file],
                             stdout=subprocess.PIPE, text=True)
    children.append(hosts)
    urls = [hosts.stdout.readline().split(" ")[0] for _ in range(2)]
    if not all(url.startswith("http://127.0.0.1:") for url in urls):
        fail("the test hosts did not start: %r" % urls)

    data = os.path.join(work, "data")
    os.mkdir(data)
    with open(os.path.join(data, "Setting.ini"), "wb") as f:
        f.write(("%s,%s@1\r\n%s,%s@1\r\n" % (FAULTY, urls[0], HOSTILE, urls[1])).encode("gbk"))
    port = free_port()
    origin = "http://127.0.0.1:%d" % port
    with open(os.path.join(data, "tessiv.conf"), "w", encoding="utf-8") as f:
        f.write("[web]\nlisten = %d\n[metrics]\nlisten = 127.0.0.1:%d\n" % (port, port))
    environment = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    out = open(os.path.join(work, "tessiv.out"), "wb")
    tessiv = subprocess.Popen([args.tessiv, "--headless", "--data-dir", data], stdout=out, stderr=out,
                              env=environment)
    children.append(tessiv)

    def faulty_shown():
        text = get(origin + "/api/status")
        if not text:
            return None
        hosts = json.loads(text)["hosts"]
        return any(h["name"] == FAULTY and h["state"] == "disk" for h in hosts)

    wait_for("the first round on /api/status", faulty_shown, 40)
    metrics = get(origin + "/metrics") or ""
    if "tessiv_rounds_total" not in metrics:
        fail("/metrics on the page's address gave no metrics: %r" % metrics[:200])

    profile = os.path.join(work, "profile")
    chromium = subprocess.Popen(
        [CHROMIUM, "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
         "--no-default-browser-check", "--disable-background-networking", "--disable-component-update",
         "--user-data-dir=" + profile, "--remote-debugging-port=0", "--window-size=1024,768", "about:blank"],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    children.append(chromium)
    active = os.path.join(profile, "DevToolsActivePort")
    wait_for("Chromium's DevTools port", lambda: os.path.exists(active) and open(active).read().count("\n") >= 1, 30)
    debug_port = int(open(active).read().split("\n")[0])

    def page_target():
        text = get("http://127.0.0.1:%d/json/list" % debug_port)
        pages = [t for t in json.loads(text) if t["type"] == "page"] if text else []
        return pages[0]["webSocketDebuggerUrl"] if pages else None

    devtools = DevTools(wait_for("a page in Chromium", page_target, 15))
    for domain in ("Page", "Runtime", "Network", "Log"):
        devtools.call(domain + ".enable")
    devtools.call("Page.navigate", url=origin + "/")
    wait_for("the page to load", lambda: devtools.seen("Page.loadEventFired"), 15)
    navigations = len(devtools.seen("Page.frameNavigated"))

    cells = wait_for("the faulty host's row", lambda: row(devtools, FAULTY), 10)
    if not cells[1].startswith("空间不足"):
        fail("the faulty host's state reads %r" % cells[1])
    if not re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d", cells[2]):
        fail("the faulty host's since reads %r" % cells[2])
    if not row(devtools, HOSTILE):
        fail("no row shows the name %s as text" % HOSTILE)
    if devtools.evaluate("document.getElementById('headline').textContent") != "1 台服务器异常":
        fail("the headline does not count the faulty host")
    devtools.evaluate("window.stayed = true")

    # The host recovers: after the next round the row turns normal, with no reload.
    with open(faulty_file, "w", encoding="utf-8") as f:
        f.write("# normal again\n")
    wait_for("the row to turn normal after the next round",
             lambda: (row(devtools, FAULTY) or ["", ""])[1] == "正常", 150)
    if devtools.evaluate("document.getElementById('headline').textContent") != "全部正常":
        fail("the headline did not change with the row")
    if devtools.evaluate("window.stayed === true") is not True or len(devtools.seen("Page.frameNavigated")) != navigations:
        fail("the page was reloaded instead of updated in place")
    if not row(devtools, HOSTILE):
        fail("the redrawn table lost the name %s as text" % HOSTILE)

    dialogs = devtools.seen("Page.javascriptDialogOpening")
    exceptions = devtools.seen("Runtime.exceptionThrown")
    console = [e for e in devtools.seen("Runtime.consoleAPICalled") if e["type"] in ("error", "assert")]
    logged = [e["entry"] for e in devtools.seen("Log.entryAdded") if e["entry"]["level"] == "error"]
    if dialogs or exceptions or console or logged:
        fail("dialogs %r, exceptions %r, console errors %r, log errors %r" % (dialogs, exceptions, console, logged))
    requests = [e["request"]["url"] for e in devtools.seen("Network.requestWillBeSent")]
    foreign = [url for url in requests if not url.startswith(origin + "/")]
    if foreign or not any(url.endswith("/api/status") for url in requests):
        fail("requests beyond %s: %r (all: %r)" % (origin, foreign, requests))

    # A reload moves the page and leaves the metrics alone at their address.
    moved = free_port()
    with open(os.path.join(data, "tessiv.conf"), "w", encoding="utf-8") as f:
        f.write("[web]\nlisten = %d\n[metrics]\nlisten = 127.0.0.1:%d\n" % (moved, port))
    tessiv.send_signal(signal.SIGHUP)
    wait_for("the page at its new address", lambda: "全部正常" in (get("http://127.0.0.1:%d/" % moved) or ""), 30)
    if "tessiv_rounds_total" not in (get(origin + "/metrics") or ""):
        fail("the metrics left their address with the page")


if __name__ == "__main__":
    main()
