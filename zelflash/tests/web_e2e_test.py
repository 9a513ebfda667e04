#!/usr/bin/env python3
"""zelflash watch --http against zelsim boards, in headless Chromium and over raw sockets.

    web_e2e_test.py --zelflash PATH --zelsim PATH --work DIR [--case NAME]

Cases (all by default):
  page     a fixture of three slots: the page in Chromium follows slot 1 from
           idle through waiting (paused from the page) to programming and
           programmed; slot 3's board, whose loader goes mute after its
           probes, shows its reason; a slot whose name holds <script>, quotes
           and a byte that is not UTF-8 shows it as text; the counts equal the
           board log; no request leaves for another host; /metrics parses with
           Prometheus's own parser and equals the board log; bad requests and
           a trickling client are refused while the boards are programmed
  streams  50 event streams, 5 of them never read, while 8 boards are
           programmed: every board programmed
  refusal  a non-loopback address without a token file: exit 2, saying why
Screenshots go to DIR/screenshots. Exit 0 when all pass, 1 when one fails,
77 when Chromium is not installed.
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
import threading
import time
import urllib.error
import urllib.request

SKIP = 77
TOKEN = "t0ken-of-the-bench-3-test-only"
WEIRD = b'slot "<script>alert(1)<img src=x onerror=alert(2)>\' \xff'


def deadline_wait(check, limit, step=0.05):
    """check() until it is true; False after `limit` seconds."""
    end = time.monotonic() + limit
    while time.monotonic() < end:
        if check():
            return True
        time.sleep(step)
    return bool(check())


class Bench:
    """zelsim and zelflash children, each in a process group of its own,
    all ended when the bench closes."""

    def __init__(self, args, name):
        self.args = args
        self.dir = os.path.join(args.work, name)
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(os.path.join(self.dir, "ports"))
        self.children = []
        self.station = None
        self.port = None

    def child(self, argv, **kw):
        p = subprocess.Popen(argv, start_new_session=True, **kw)
        self.children.append(p)
        return p

    def device(self, link, extra):
        report = os.path.join(self.dir, os.path.basename(link).hex() + ".json")
        argv = [self.args.zelsim, "--link", link, "--baud", "115200", "--time-limit-s", "60",
                "--report", report] + extra
        p = self.child(argv, stdout=subprocess.PIPE)
        p.stdout.readline()  # it listens once its link is there
        return p

    def image(self, size):
        path = os.path.join(self.dir, "fw.bin")
        with open(path, "wb") as f:
            f.write(bytes((i * 7 + i // 256) & 0xFF for i in range(size)))
        return path

    def start_station(self, argv):
        self.log = os.path.join(self.dir, "boards.jsonl")
        self.err = open(os.path.join(self.dir, "err"), "w+b")
        self.out = open(os.path.join(self.dir, "out"), "w+b")
        self.station = self.child([self.args.zelflash, "watch", "--json", "--log", self.log] + argv,
                                  stdout=self.out, stderr=self.err)
        found = deadline_wait(lambda: re.search(rb"http://127\.0\.0\.1:(\d+)/", self.stderr()), 30)
        assert found, "the station never said where its page is: " + self.stderr().decode(errors="replace")
        self.port = int(re.search(rb"http://127\.0\.0\.1:(\d+)/", self.stderr()).group(1))
        self.base = "http://127.0.0.1:%d" % self.port

    def stderr(self):
        self.err.seek(0)
        return self.err.read()

    def stop_station(self):
        self.station.send_signal(signal.SIGINT)
        return self.station.wait(timeout=60)

    def records(self):
        with open(self.log, "rb") as f:
            return [json.loads(line) for line in f if line.strip()]

    def close(self):
        for p in self.children:
            if p.poll() is None:
                os.killpg(p.pid, signal.SIGKILL)
            p.wait()


def http(base, path, method="GET", headers=None, body=None):
    """(status, body bytes) of one request; 4xx and 5xx are answers too."""
    req = urllib.request.Request(base + path, data=body, method=method, headers=headers or {})
    try:
        with urllib.request.urlopen(req, timeout=20) as r:
            return r.status, r.read()
    except urllib.error.HTTPError as e:
        return e.code, e.read()


def raw(port, data, read=True):
    """The status line's code the server answers to bytes sent as they are."""
    with socket.create_connection(("127.0.0.1", port), timeout=20) as s:
        s.sendall(data)
        answer = s.recv(4096) if read else b""
    m = re.match(rb"HTTP/1\.1 (\d+)", answer)
    return int(m.group(1)) if m else 0


def trickle(port, result):
    """A client that sends half a request and then nothing: the server must
    hang up within its read time-out (5 s), well before 20 s."""
    with socket.create_connection(("127.0.0.1", port), timeout=20) as s:
        s.sendall(b"GET /api/status HTTP/1.1\r\nHost: x\r\nX-Slow: a")
        began = time.monotonic()
        try:
            data = s.recv(4096)
        except socket.timeout:
            data = None
        result["closed"] = data is not None and (data == b"" or data.startswith(b"HTTP/1.1 4"))
        result["after"] = time.monotonic() - began


def check_bad_requests(b):
    """Unknown paths, "..", huge headers and bodies, control without or
    with a wrong token: each a 4xx."""
    cases = [
        (404, http(b.base, "/no/such/page")[0]),
        (400, raw(b.port, b"GET /../etc/passwd HTTP/1.1\r\nHost: x\r\n\r\n")),
        (400, raw(b.port, b"GET /%2e%2e/station.js HTTP/1.1\r\nHost: x\r\n\r\n")),
        (400, http(b.base, "/api/boards?since=x")[0]),
        (413, http(b.base, "/api/pause", "POST", {"Authorization": "Bearer " + TOKEN}, b"a" * 100000)[0]),
        (401, http(b.base, "/api/stop", "POST", {}, b"")[0]),
        (401, http(b.base, "/api/stop", "POST", {"Authorization": "Bearer " + TOKEN[:-1] + "X"}, b"")[0]),
        (401, http(b.base, "/api/stop", "POST", {"Authorization": TOKEN}, b"")[0]),
    ]
    big = raw(b.port, b"GET /api/status HTTP/1.1\r\nHost: x\r\nX-Big: " + b"a" * 70000 + b"\r\n\r\n")
    failures = ["expected %d, got %d (case %d)" % (want, got, i) for i, (want, got) in enumerate(cases)
                if want != got]
    if not 400 <= big < 500 and big != 0:
        failures.append("a 70 KB header answered %d" % big)
    return failures


def check_metrics(b, records):
    """/metrics read by Prometheus's parser: its counters equal the log's."""
    from prometheus_client.parser import text_string_to_metric_families
    status, text = http(b.base, "/metrics")
    samples = {}
    for family in text_string_to_metric_families(text.decode()):
        for s in family.samples:
            samples[(s.name, tuple(sorted(s.labels.items())))] = s.value
    failures = []
    outcomes = {}
    resends = {}
    for r in records:
        outcomes[r["outcome_key"]] = outcomes.get(r["outcome_key"], 0) + 1
        if r["link"] is not None:
            resends[r["port"]] = resends.get(r["port"], 0) + r["link"]["resends"]
    for key, n in outcomes.items():
        got = samples.get(("zelflash_boards_total", (("outcome", key),)))
        if got != n:
            failures.append("metrics: %s boards %r, the log %d" % (key, got, n))
    for port, n in resends.items():
        got = samples.get(("zelflash_resends_total", (("port", port),)))
        if got != n:
            failures.append("metrics: resends of %r %r, the log %d" % (port, got, n))
    ran = sum(1 for r in records if r["link"] is not None)
    if samples.get(("zelflash_board_seconds_count", ())) != ran:
        failures.append("metrics: board seconds count %r, boards that ran %d" % (
            samples.get(("zelflash_board_seconds_count", ())), ran))
    return failures


def browser(shots):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium")
    for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1920,1080",
              "--no-first-run", "--disable-background-networking", "--disable-component-update"):
        options.add_argument(a)
    options.set_capability("goog:loggingPrefs", {"performance": "ALL"})
    os.makedirs(shots, exist_ok=True)
    return webdriver.Chrome(service=Service(shutil.which("chromedriver")), options=options)


def tile_state(driver, slot):
    return driver.execute_script(
        "const t = document.querySelector('.tile[data-slot=\"' + arguments[0] + '\"]');"
        "return t ? t.dataset.state : null;", slot)


def follow_slot_one(driver, b, shots):
    """Slot 1's states as the page shows them, the station paused until its
    second board has waited a while: idle, waiting, programming, programmed."""
    seen = []
    if not deadline_wait(lambda: driver.find_element("id", "pause").is_displayed(), 20):
        return seen, ["the page given the token shows no control"]
    driver.find_element("id", "pause").click()
    def step():
        s = tile_state(driver, 1)
        if s and (not seen or seen[-1] != s):
            seen.append(s)
            driver.save_screenshot(os.path.join(shots, "%02d-slot1-%s.png" % (len(seen), s)))
        return s
    if not deadline_wait(lambda: step() == "waiting", 40):
        return seen, ["slot 1 never waited while paused: " + repr(seen)]
    began = time.monotonic()
    paused_ok = deadline_wait(lambda: step() != "waiting", 1.0) is False
    waited = time.monotonic() - began
    driver.find_element("id", "resume").click()
    deadline_wait(lambda: step() == "programmed" and "programming" in seen, 40)
    failures = [] if paused_ok else ["slot 1 started while paused (after %.2f s)" % waited]
    want = ["idle", "waiting", "programming", "programmed"]
    at = 0
    for s in seen:
        if at < len(want) and s == want[at]:
            at += 1
    if at < len(want):
        failures.append("slot 1 went " + " -> ".join(seen) + ", not through " + " -> ".join(want))
    return seen, failures


def other_hosts(driver, base):
    """Every URL the page asked for that is not the station's own."""
    asked = []
    for entry in driver.get_log("performance"):
        m = json.loads(entry["message"])["message"]
        if m.get("method") == "Network.requestWillBeSent":
            asked.append(m["params"]["request"]["url"])
    return [u for u in asked if not u.startswith(base + "/")]


def check_page_text(driver, records):
    """The counts on the page equal the log's; the odd name is text; the
    reason of the failed board is shown."""
    failures = []
    programmed = sum(1 for r in records if r["outcome_key"] in ("programmed", "unconfirmed"))
    failed = len(records) - programmed
    ok = deadline_wait(lambda: driver.find_element("id", "programmed").text == str(programmed)
                       and driver.find_element("id", "failed").text == str(failed), 10)
    if not ok:
        failures.append("page counts %s/%s, the log %d/%d" % (
            driver.find_element("id", "programmed").text, driver.find_element("id", "failed").text,
            programmed, failed))
    names = [t.text for t in driver.find_elements("css selector", ".tile .name")]
    if not any("<script>alert(1)<img src=x" in n and "\ufffd" in n for n in names):
        failures.append("the odd slot name is not shown as text: %r" % names)
    if driver.execute_script("return document.scripts.length") != 1:
        failures.append("a script element came from the data")
    found = driver.find_elements("css selector", '.tile[data-slot="3"] .detail')
    reason = found[0].text if found else None
    if reason is None or "no answer to ERASE" not in reason:
        failures.append("slot 3's reason: %r" % reason)
    if not any("<script>" in td.text for td in driver.find_elements("css selector", "#boards td")):
        failures.append("the last boards do not show the odd name as text")
    return failures


def page_bench(b):
    """Three slots: slot 1 two boards, slot 2 under an odd name, slot 3 a
    board whose loader goes mute after answering its two probes."""
    image = b.image(8192)
    ports = os.path.join(b.dir, "ports").encode()
    links = [os.path.join(ports, b"slot1"), os.path.join(ports, WEIRD), os.path.join(ports, b"slot3")]
    b.device(links[0], ["--fixture", "--boards", "2", "--present-ms", "3000", "--absent-ms", "1000"])
    b.device(links[1], ["--fixture", "--boards", "1", "--present-ms", "30000"])
    mute = ["--fixture", "--boards", "1", "--present-ms", "30000"]
    for frame in range(3, 200):  # ERASE and everything after it, the board's probes too
        mute += ["--miss-frame", str(frame)]
    b.device(links[2], mute)
    token = os.path.join(b.dir, "token")
    with open(token, "w") as f:
        f.write(TOKEN + "\n")
    argv = ["--fixture", "--probe-ms", "100", "--leave-ms", "400", "--http", "0", "--http-token-file", token]
    for link in links:
        argv += ["-p", link]
    b.start_station(argv + [image])


def case_page(args):
    b = Bench(args, "page")
    driver = None
    try:
        page_bench(b)
        slow = {}
        slow_thread = threading.Thread(target=trickle, args=(b.port, slow))
        slow_thread.start()
        shots = os.path.join(args.work, "screenshots")
        driver = browser(shots)
        driver.get(b.base + "/#token=" + TOKEN)
        seen, failures = follow_slot_one(driver, b, shots)
        done = deadline_wait(lambda: len(b.records()) == 4 if os.path.exists(b.log) else False, 60)
        failures += [] if done else ["the station did not end its four boards"]
        records = b.records() if done else []
        failures += check_page_text(driver, records)
        driver.save_screenshot(os.path.join(shots, "station.png"))
        failures += ["a request to another host: " + u for u in other_hosts(driver, b.base)]
        failures += check_bad_requests(b)
        failures += check_metrics(b, records)
        slow_thread.join(30)
        if not slow.get("closed"):
            failures.append("a trickling client was not dropped: %r" % slow)
        status = b.stop_station()
        if status != 1:
            failures.append("the station's exit status %d, not 1 (one board failed)" % status)
        programmed = sum(1 for r in records if r["outcome_key"] == "programmed")
        if programmed != 3:
            failures.append("%d boards programmed, not 3, beside the bad requests" % programmed)
        return failures
    finally:
        if driver is not None:
            driver.quit()
        b.close()


def stream_client(port, read, stop, got):
    """An event stream's client: reads until the station hangs up, or never."""
    s = socket.create_connection(("127.0.0.1", port), timeout=30)
    s.sendall(b"GET /events HTTP/1.1\r\nHost: x\r\n\r\n")
    try:
        while read and not stop.is_set():
            data = s.recv(65536)
            if not data:
                break
            got.append(len(data))
    except OSError:
        pass
    stop.wait(60)
    s.close()


def case_streams(args):
    b = Bench(args, "streams")
    stop = threading.Event()
    clients = []
    try:
        image = b.image(8192)
        b.start_station(["--glob", os.path.join(b.dir, "ports", "dev*"), "--jobs", "8", "--http", "0", image])
        got = [[] for _ in range(50)]
        for i in range(50):
            t = threading.Thread(target=stream_client, args=(b.port, i >= 5, stop, got[i]))
            t.start()
            clients.append(t)
        if not deadline_wait(lambda: all(got[i] for i in range(5, 50)), 30):
            return ["only %d of 45 event streams answered" % sum(1 for g in got[5:] if g)]
        for i in range(8):
            b.device(os.path.join(b.dir, "ports", "dev%d" % i).encode(), ["--exit-after-reset-ms", "300"])
        done = deadline_wait(lambda: os.path.exists(b.log) and len(b.records()) == 8, 60)
        records = b.records() if done else []
        failures = [] if done else ["the station did not end its 8 boards"]
        programmed = sum(1 for r in records if r["outcome_key"] == "programmed")
        if programmed != 8:
            failures.append("%d of 8 boards programmed with 50 event streams open" % programmed)
        status = b.stop_station()
        if status != 0:
            failures.append("the station's exit status %d" % status)
        return failures
    finally:
        stop.set()
        b.close()
        for t in clients:
            t.join(60)


def case_refusal(args):
    b = Bench(args, "refusal")
    failures = []
    short = os.path.join(b.dir, "short-token")
    with open(short, "w") as f:
        f.write("abc\n")
    for extra, says in ((["--http", "0.0.0.0:0"], b"--http-token-file FILE"),
                        (["--http", "127.0.0.1:0", "--http-token-file", short], b"16 to 4096 characters"),
                        (["--http", "8o8o"], b"give PORT"),
                        (["--http-token-file", short], b"give --http")):
        r = subprocess.run([args.zelflash, "watch", "--glob", os.path.join(b.dir, "ports", "*")] + extra,
                           capture_output=True, timeout=60)
        if r.returncode != 2 or says not in r.stderr:
            failures.append("%r: exit %d, %r" % (extra, r.returncode, r.stderr))
    return failures


CASES = {"refusal": case_refusal, "streams": case_streams, "page": case_page}


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--zelflash", required=True)
    ap.add_argument("--zelsim", required=True)
    ap.add_argument("--work", required=True)
    ap.add_argument("--case", choices=sorted(CASES), action="append")
    args = ap.parse_args()
    if shutil.which("chromium") is None or shutil.which("chromedriver") is None:
        print("SKIP: chromium and chromium-driver are not installed (scripts/setup installs them)")
        sys.exit(SKIP)
    failed = 0
    for name in args.case or sorted(CASES):
        began = time.monotonic()
        failures = CASES[name](args)
        print("%s: %s in %.1f s" % (name, "FAILED" if failures else "passed", time.monotonic() - began))
        for f in failures:
            print("  " + f)
        failed += 1 if failures else 0
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
