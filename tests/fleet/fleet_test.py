#!/usr/bin/env python3
"""Two headless monitors, one per site, scraped by a real Prometheus that runs docs/tessiv.rules.yml.

Site A polls one healthy host; site B one healthy host and one whose report says its location server has
stopped. The host-down alert must fire for B's faulty host, labelled with B's site, and nothing may fire or
read as down for A or for B's healthy host. Then SIGTERM must end both monitors at once with status 0.
"""

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
import time
import urllib.parse
import urllib.request
from pathlib import Path

ALERT_DEADLINE = 60  # s from the monitors' start; the first round is ~4 s in, the faulty host ~2 s later
FOR_IN_TEST = "3s"  # every `for:` of the rules, so an alert fires within seconds instead of minutes
EXIT_BOUND = 1.5  # s; the monitor promises 1 s, the rest is slack for a busy machine

HEALTHY = "status 200\n"
LOCATION_SERVER_DOWN = "app 位置服务器 | now-600\n"
FAULTY_NAME = "北区-2"  # GBK in Setting.ini, UTF-8 in the labels


class Failure(Exception):
    pass


def free_ports(count):
    # All held open together, so the kernel cannot hand out the same port twice.
    sockets = [socket.socket() for _ in range(count)]
    try:
        for s in sockets:
            s.bind(("127.0.0.1", 0))
        return [s.getsockname()[1] for s in sockets]
    finally:
        for s in sockets:
            s.close()


def wait_for(what, check, deadline, processes, interval=0.2):
    last = None
    while time.monotonic() < deadline:
        processes.check_running()
        try:
            result = check()
            last = None
            if result:
                return result
        except OSError as error:
            last = error
        time.sleep(interval)
    raise Failure(f"timed out waiting for {what}" + (f" (last error: {last})" if last else ""))


def http_get(url):
    with urllib.request.urlopen(url, timeout=5) as response:
        return response.read().decode("utf-8")


class Processes:
    """Every child started here; whatever is still running at the end is killed."""

    def __init__(self):
        self.children = []

    def start(self, name, argv, log, env=None):
        with open(log, "wb") as out:
            child = subprocess.Popen(argv, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                     env=env, start_new_session=True)
        self.children.append((name, child, log))
        return child

    def check_running(self):
        for name, child, log in self.children:
            if child.poll() is not None:
                raise Failure(f"{name} ended early with status {child.returncode}:\n{tail(log)}")

    def end_all(self):
        for _, child, _ in self.children:
            if child.poll() is None:
                child.terminate()
        for _, child, _ in self.children:
            try:
                child.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(child.pid, signal.SIGKILL)
                child.wait()


def tail(path, lines=20):
    try:
        text = Path(path).read_text(encoding="utf-8", errors="replace")
    except OSError as error:
        return f"  ({error})"
    return "\n".join("  " + line for line in text.splitlines()[-lines:])


def start_hosts(processes, root, scenarios):
    """One tessiv-testhost serving each scenario on a free port; returns their status URLs in order."""
    argv = [ARGS.testhost]
    for name, text in scenarios:
        file = root / f"{name}.txt"
        file.write_text(text, encoding="utf-8")
        argv += ["--serve", f"0={file}"]
    log = root / "testhost.out"
    processes.start("tessiv-testhost", argv, log)

    def urls():  # each host prints "URL FILE" once it listens
        lines = log.read_text(encoding="utf-8").splitlines()
        return [line.split(" ", 1)[0] for line in lines] if len(lines) == len(scenarios) else None

    return wait_for("the status hosts", urls, time.monotonic() + 10, processes)


def write_site(root, site, entries, metrics_port):
    folder = root / site
    folder.mkdir()
    setting = "".join(f"{name},{url}@1\r\n" for name, url in entries)
    (folder / "Setting.ini").write_bytes(setting.encode("gbk"))
    (folder / "tessiv.conf").write_text(
        f"[metrics]\nlisten = 127.0.0.1:{metrics_port}\n\n[history]\nenabled = false\n", encoding="utf-8")
    return folder


def headless_env():
    # As under systemd: no display of any kind and no Qt platform chosen.
    return {k: v for k, v in os.environ.items()
            if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "DBUS_SESSION_BUS_ADDRESS")}


def shortened_rules(root):
    rules = Path(ARGS.rules).read_text(encoding="utf-8")
    shortened, count = re.subn(r"^(\s*for:\s*)\S+", rf"\g<1>{FOR_IN_TEST}", rules, flags=re.M)
    if count == 0:
        raise Failure(f"{ARGS.rules} has no `for:` to shorten; the test's timing assumes TessivHostDown has one")
    path = root / "tessiv.rules.yml"
    path.write_text(shortened, encoding="utf-8")
    return path


def prometheus_config(root, rules, sites):
    # JSON is YAML; Prometheus reads it as its config.
    config = {
        "global": {"scrape_interval": "1s", "evaluation_interval": "1s"},
        "rule_files": [str(rules)],
        "scrape_configs": [{
            "job_name": "tessiv",
            "static_configs": [{"targets": [f"127.0.0.1:{port}"], "labels": {"instance": site}}
                               for site, port in sites],
        }],
    }
    path = root / "prometheus.yml"
    path.write_text(json.dumps(config, indent=2), encoding="utf-8")
    return path


def query(prometheus, expression):
    url = f"{prometheus}/api/v1/query?" + urllib.parse.urlencode({"query": expression})
    answer = json.loads(http_get(url))
    if answer.get("status") != "success":
        raise Failure(f"query {expression!r} failed: {answer}")
    return answer["data"]["result"]


def alerts(prometheus):
    return json.loads(http_get(f"{prometheus}/api/v1/alerts"))["data"]["alerts"]


def describe(alert_list):
    return "\n".join(f"  {a['state']}: {a['labels']}" for a in alert_list) or "  (none)"


def run(root):
    processes = Processes()
    try:
        healthy_a, healthy_b, faulty_b = start_hosts(
            processes, root, [("healthy-a", HEALTHY), ("healthy-b", HEALTHY), ("faulty-b", LOCATION_SERVER_DOWN)])
        metrics_a, metrics_b, prometheus_port = free_ports(3)
        site_a = write_site(root, "site-a", [("Alpha-1", healthy_a)], metrics_a)
        site_b = write_site(root, "site-b", [("Bravo-1", healthy_b), (FAULTY_NAME, faulty_b)], metrics_b)

        started = time.monotonic()
        monitors = [
            processes.start(f"monitor {site.name}", [ARGS.tessiv, "--headless", "--data-dir", str(site)],
                            root / f"{site.name}.out", env=headless_env())
            for site in (site_a, site_b)
        ]
        # Prometheus starts once both endpoints answer, so no failed scrape can raise TessivDown.
        for port in (metrics_a, metrics_b):
            wait_for(f"the metrics endpoint on port {port}",
                     lambda: http_get(f"http://127.0.0.1:{port}/metrics") is not None, started + 15, processes)

        config = prometheus_config(root, shortened_rules(root), [("site-a", metrics_a), ("site-b", metrics_b)])
        processes.start("prometheus", [
            shutil.which("prometheus"), f"--config.file={config}", f"--storage.tsdb.path={root / 'tsdb'}",
            f"--web.listen-address=127.0.0.1:{prometheus_port}", "--log.level=warn",
        ], root / "prometheus.out")
        prometheus = f"http://127.0.0.1:{prometheus_port}"

        seen = []

        def faulty_alert_firing():
            seen[:] = alerts(prometheus)
            return any(a["state"] == "firing" and a["labels"].get("alertname") == "TessivHostDown"
                       and a["labels"].get("server") == FAULTY_NAME and a["labels"].get("instance") == "site-b"
                       for a in seen)

        try:
            wait_for("TessivHostDown firing for site-b's faulty host", faulty_alert_firing,
                     started + ALERT_DEADLINE, processes, interval=0.5)
        except Failure as failure:
            raise Failure(f"{failure}; alerts seen:\n{describe(seen)}") from None

        # Every firing alert is the faulty host's own, with its URL as address; no other rule fired on either
        # site. (Pending ones are left out: one scrape missed on a busy machine starts TessivDown's count.)
        stray = [a for a in seen if a["state"] == "firing" and (
            a["labels"].get("server") != FAULTY_NAME or a["labels"].get("address") != faulty_b
            or a["labels"].get("instance") != "site-b")]
        if stray:
            raise Failure(f"alerts beyond the faulty host's:\n{describe(stray)}")

        # Over the whole run each host read as it should, under its own site: healthy hosts never down.
        states = {(r["metric"].get("instance"), r["metric"].get("server")): r["value"][1]
                  for r in query(prometheus, "min_over_time(tessiv_server_up[5m])")}
        expected = {("site-a", "Alpha-1"): "1", ("site-b", "Bravo-1"): "1", ("site-b", FAULTY_NAME): "0"}
        if states != expected:
            raise Failure(f"lowest tessiv_server_up per host was {states}, expected {expected}")

        for monitor, site in zip(monitors, (site_a, site_b)):
            sent = time.monotonic()
            monitor.send_signal(signal.SIGTERM)
            try:
                status = monitor.wait(timeout=EXIT_BOUND)
            except subprocess.TimeoutExpired:
                raise Failure(f"monitor {site.name} still running {EXIT_BOUND} s after SIGTERM") from None
            if status != 0:
                raise Failure(f"monitor {site.name} ended with status {status} after SIGTERM "
                              f"({time.monotonic() - sent:.2f} s):\n{tail(root / (site.name + '.out'))}")
        print(f"alert firing {time.monotonic() - started:.1f} s after the monitors started; both ended cleanly")
    except Failure:
        for name, _, log in processes.children:
            print(f"--- {name} ({log.name}):\n{tail(log)}", file=sys.stderr)
        raise
    finally:
        processes.end_all()


def main():
    if shutil.which("prometheus") is None:
        print("FAIL: prometheus not found; install Debian's prometheus package (scripts/setup.sh --test)",
              file=sys.stderr)
        return 1
    with tempfile.TemporaryDirectory(prefix="tessiv-fleet-") as folder:
        try:
            run(Path(folder))
        except Failure as failure:
            print(f"FAIL: {failure}", file=sys.stderr)
            return 1
    return 0


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--tessiv", required=True)
    parser.add_argument("--testhost", required=True)
    parser.add_argument("--rules", required=True, help="docs/tessiv.rules.yml")
    ARGS = parser.parse_args()
    sys.exit(main())
