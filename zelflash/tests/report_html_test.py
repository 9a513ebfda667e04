#!/usr/bin/env python3
"""zelflash report --html, driven as a user would, on a board log whose port
names, labels, outcomes and file name hold markup, quotes and bytes that are
not UTF-8:

  page   the page is well-formed HTML (every element closed in order, read
         by Python's html.parser), holds no script, no event handler and no
         link to anything outside it, has its A4 print rules, shows every
         hostile name as text, and every figure it carries (its data-key /
         data-value pairs, the charts' bars among them) equals the figure of
         report --json made in the same run;
  pdf    Chromium prints the page to a PDF without error (skipped, exit 77,
         when Chromium is not installed: scripts/setup installs it).

    report_html_test.py page|pdf ZELFLASH
"""
import html.parser
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile

VOID = {"meta", "br", "hr", "img", "input", "link", "wbr", "col", "area", "base", "source", "track"}
HOSTILE_PORT = "<script>alert('port')</script>"
QUOTED_LABEL = "lot \"A\" & 'B' </style>"
CONTROL_PORT = "/dev/\x1b[2J\x9bx"  # a terminal's codes, as a JSON string may hold them
CONTROL_SHOWN = "/dev/\ufffd[2J\ufffdx"
LOG_NAME = b"boards <&\"'>\xff\xc0\xaf.jsonl"  # a file name of bytes that are not UTF-8
LOG_SHOWN = "boards <&\"'>\ufffd\ufffd\ufffd.jsonl"


def record(start, port, outcome, seconds, serial, lot, key=True):
    keys = {"programmed": "programmed", "no answer": "no_answer"}
    r = {"start": start, "end": start, "port": port, "serial": serial, "image": "<b>fw</b>.hex",
         "image_sha256": "ab12", "file_sha256": None, "seconds": seconds, "outcome": outcome,
         "labels": {"lot": lot}, "link": {"frames": 100, "resends": 3 if outcome != "programmed" else 0,
                                          "late_replies": 1, "bad_frames": 0, "quiet_waits": 0, "unasked_acks": 0}}
    if key and outcome in keys:
        r["outcome_key"] = keys[outcome]
    return json.dumps(r).encode()


def board_log():
    """Records over hours 08, 09 and 12 (10 and 11 empty), one undated, a
    board failing and then programmed, an outcome of markup, a port named
    with a terminal's codes, a rejected line with a byte that is not UTF-8
    and a note."""
    lines = []
    ports = ["/dev/ttyUSB0", HOSTILE_PORT, "/dev/ttyUSB2"]
    for i in range(30):
        hour = [8, 9, 12][i % 3]
        outcome = "no answer" if i % 7 == 3 else "programmed"
        lines.append(record(f"2026-03-02T{hour:02d}:{i:02d}:00.000Z", ports[i % 3], outcome, 4.5 + (i * 37 % 50) / 7,
                            f"S{i % 20}", QUOTED_LABEL if i % 2 else "L1"))
    lines.append(record("yesterday", "/dev/ttyUSB0", "programmed", 9.25, "S99", "L1"))
    lines.append(record("2026-03-02T12:59:00.000Z", "/dev/ttyUSB2", "<i>melted</i> \"x\"", 1.0, "S98", "L1", False))
    lines.append(record("2026-03-02T12:58:00.000Z", CONTROL_PORT, "programmed", 3.0, "S97", "L1"))
    lines.append(b"not a record <script>alert('line')</script> \xff")
    lines.append(json.dumps({"note": "still_in_loader", "port": "/dev/ttyUSB0"}).encode())
    return b"\n".join(lines) + b"\n"


class Page(html.parser.HTMLParser):
    """Checks nesting as it reads; keeps the text, the figures and what must
    not be there."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.open, self.text, self.figures, self.faults = [], [], [], []
        self.pending = None  # a figure whose shown text is being read
        self.doctype = False

    def handle_decl(self, decl):
        self.doctype = self.doctype or decl.lower() == "doctype html"

    def handle_starttag(self, tag, attrs):
        self.check(tag, attrs)
        if tag not in VOID:
            self.open.append(tag)
        names = dict(attrs)
        if "data-key" in names:
            self.figures.append({"tag": tag, "key": names["data-key"], "value": names["data-value"], "text": ""})
            self.pending = self.figures[-1] if tag in ("td", "span") else None

    def handle_startendtag(self, tag, attrs):
        self.check(tag, attrs)

    def handle_endtag(self, tag):
        if not self.open or self.open[-1] != tag:
            self.faults.append(f"</{tag}> closes {self.open[-1:] or 'nothing'}")
            return
        self.open.pop()
        self.pending = None

    def handle_data(self, data):
        self.text.append(data)
        if self.pending is not None:
            self.pending["text"] += data

    def check(self, tag, attrs):
        if tag == "script":
            self.faults.append("a <script> element")
        for name, value in attrs:
            if name.startswith("on") or name in ("src", "href", "xlink:href", "srcset", "action"):
                self.faults.append(f"<{tag} {name}={value!r}>: a handler or a link")


def resolve(document, key):
    """A data-key: a JSON pointer, POINTER#N for the N-th member of an
    object, or two of them with ' - ' or ' / ' between."""
    for op, apply in ((" - ", lambda a, b: a - b), (" / ", lambda a, b: a / b)):
        if op in key:
            left, right = key.split(op)
            return apply(resolve(document, left), resolve(document, right))
    pointer, _, member = key.partition("#")
    node = document
    for part in pointer.split("/")[1:]:
        part = part.replace("~1", "/").replace("~0", "~")
        node = node[int(part)] if isinstance(node, list) else node[part]
    return list(node.values())[int(member)] if member else node


def run(zelflash, *args):
    done = subprocess.run([zelflash, "report", *args], capture_output=True, timeout=120)
    if done.returncode != 0:
        sys.exit(f"zelflash report {args}: exit {done.returncode}: {done.stderr.decode(errors='replace')}")
    return done.stdout


def check_page(page_bytes, report, shown_texts):
    faults = []
    try:
        page = page_bytes.decode("utf-8")
    except UnicodeDecodeError as e:
        return [f"not UTF-8: {e}"]
    if re.search(r"[\x00-\x08\x0b-\x1f\x7f-\x9f]", page):
        faults.append("a control character in the page")
    if "<script" in page.lower():
        faults.append("'<script' in the page's source")
    for rule in ("@page", "size: A4", "@media print", "Content-Security-Policy", "default-src 'none'"):
        if rule not in page:
            faults.append(f"no {rule!r}")
    parser = Page()
    parser.feed(page)
    parser.close()
    faults += parser.faults + [f"<{t}> never closed" for t in parser.open]
    if not parser.doctype:
        faults.append("no <!DOCTYPE html>")
    text = "".join(parser.text)
    for shown in (HOSTILE_PORT, "<i>melted</i> \"x\"", CONTROL_SHOWN, LOG_SHOWN, *shown_texts):
        if shown not in text:
            faults.append(f"{shown!r} not shown as text")
    return faults + check_figures(parser.figures, report)


def check_figures(figures, report):
    faults = []
    for f in figures:
        try:
            expected = resolve(report, f["key"])
        except (KeyError, IndexError, ValueError, TypeError) as e:
            faults.append(f"{f['key']}: not in report --json ({e!r})")
            continue
        if json.loads(f["value"]) != expected:
            faults.append(f"{f['key']}: the page has {f['value']}, report --json {expected!r}")
        if f["tag"] in ("td", "span") and isinstance(expected, int) and f["text"] != str(expected):
            faults.append(f"{f['key']}: shows {f['text']!r} for {expected}")
    keys = {f["key"] for f in figures}
    total = report["total"]
    wanted = ["/total/boards", "/total/first_pass/boards", "/total/seconds/median", "/total/per_hour/undated"]
    wanted += [f"/total/per_hour/hours/{i}/programmed" for i in range(len(total["per_hour"]["hours"]))]
    wanted += [f"/total/seconds/histogram/counts/{i}" for i in range(len(total["seconds"]["histogram"]["counts"]))]
    wanted += [f"/total/failures#{i}" for i in range(len(total["failures"]))]
    wanted += [f"/total/ports/{i}/failed" for i in range(len(total["ports"]))]
    wanted += [f"/groups/{i}/boards" for i in range(len(report["groups"]))]
    faults += [f"{k}: no figure in the page" for k in wanted if k not in keys]
    return faults


def page_test(zelflash, work):
    log = os.path.join(os.fsencode(work), LOG_NAME)
    with open(log, "wb") as f:
        f.write(board_log())
    faults = []
    for grouping, shown in (([], []), (["--by", "label:lot"], [QUOTED_LABEL]), (["--by", "image"], ["<b>fw</b>.hex"])):
        out = os.path.join(work, "report.html")
        report = json.loads(run(zelflash, "--html", out, "--json", *grouping, log))
        if len(report["total"]["per_hour"]["hours"]) != 3 or report["total"]["per_hour"]["undated"] != 1:
            faults.append(f"the log's hours read as {report['total']['per_hour']}")
        with open(out, "rb") as f:
            faults += [f"{' '.join(grouping) or 'no groups'}: {x}" for x in check_page(f.read(), report, shown)]
    if sorted(os.listdir(os.fsencode(work))) != sorted([LOG_NAME, b"report.html"]):
        faults.append(f"the folder holds {os.listdir(os.fsencode(work))}: a temporary file left behind?")
    return faults


def pdf_test(zelflash, work):
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if browser is None:
        print("SKIP: no chromium on PATH (scripts/setup installs it)")
        sys.exit(77)
    log, page, pdf = (os.path.join(work, n) for n in ("boards.jsonl", "report.html", "report.pdf"))
    with open(log, "wb") as f:
        f.write(board_log())
    run(zelflash, "--html", page, log)
    args = [browser, "--headless", "--disable-gpu", "--no-first-run", "--no-pdf-header-footer",
            f"--user-data-dir={os.path.join(work, 'profile')}", f"--print-to-pdf={pdf}", "file://" + page]
    if os.geteuid() == 0:
        args.insert(1, "--no-sandbox")  # Chromium refuses root without it
    child = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, start_new_session=True)
    try:
        output, _ = child.communicate(timeout=120)
    except subprocess.TimeoutExpired:
        os.killpg(child.pid, signal.SIGKILL)
        child.communicate()
        return ["chromium took more than 120 s"]
    finally:
        try:
            os.killpg(child.pid, signal.SIGKILL)  # its helpers, should any outlive it
        except ProcessLookupError:
            pass
    faults = [] if child.returncode == 0 else [f"chromium exit {child.returncode}: {output.decode(errors='replace')}"]
    data = open(pdf, "rb").read() if os.path.exists(pdf) else b""
    if not data.startswith(b"%PDF-") or b"%%EOF" not in data[-1024:]:
        faults.append(f"no whole PDF made ({len(data)} bytes)")
    return faults


def main():
    mode, zelflash = sys.argv[1], sys.argv[2]
    with tempfile.TemporaryDirectory(prefix="zel-report-html-") as work:
        faults = page_test(zelflash, work) if mode == "page" else pdf_test(zelflash, work)
    for fault in faults:
        print("FAIL:", fault)
    print("ok" if not faults else f"{len(faults)} faults")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
