#!/usr/bin/env python3
"""The demo's lot: two zelflash stations share one lot in PostgreSQL.

A private PostgreSQL server (initdb into WORK/pg, listening on a unix socket
in that folder only, run as the user zeltest when this runs as root), the lot
made with `zelflash lot create`, then two stations (two `zelflash watch`
processes, bench-1 and bench-2) with four simulated boards each, every board
getting a serial number and a MAC address of its own from the lot. Then
`zelflash lot status` and `zelflash report --lot`. The server is stopped and
its folder removed at the end, also on failure. Exit status 0 only when every
board was programmed, its flash carries the values its record names, and no
value went to two boards.
"""
import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "test_support"))
from pg_scratch import pg_scratch  # noqa: E402

LOT = "L2026-1208"
STATIONS = ("bench-1", "bench-2")
BOARDS_EACH = 4
SERIAL_AT, MAC_AT = 0xE000, 0xE010  # inside the demo image, which goes at address 0


def write_job(work, image, station, conninfo):
    folder = os.path.join(work, station)
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(work, station + ".toml")
    with open(path, "w") as f:
        f.write(f"""version = 1
[image]
path = "{os.path.abspath(image)}"
address = 0x0
[station]
glob = "{folder}/board*"
jobs = 4
include_present = true
log = "{station}.jsonl"
[[field]]
name = "serial"
address = {SERIAL_AT:#x}
kind = "counter"
format = "le32"
start = 26120001
last = 26129999
[[field]]
name = "mac"
address = {MAC_AT:#x}
kind = "list"
format = "bytes6"
list = "macs.txt"
[lot]
database = "{conninfo}"
name = "{LOT}"
station = "{station}"
lease = 4
""")
    return path


def start_board(zelsim, work, station, n):
    link = os.path.join(work, station, f"board{n}")
    dump = os.path.join(work, f"{station}-board{n}.flash")
    args = [zelsim, "--link", link, "--baud", "115200", "--erase-ms-per-sector", "30", "--time-limit-s", "120",
            "--flash-dump", dump, "--report", os.path.join(work, f"{station}-board{n}.json")]
    proc = subprocess.Popen(args, stdout=subprocess.PIPE, text=True)
    proc.stdout.readline()  # "zelsim: listening on ..." once the link is there
    return proc, link, dump


def records(work, station):
    path = os.path.join(work, station + ".jsonl")
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return [json.loads(line) for line in f if line.strip()]


def flashed(dump):
    with open(dump, "rb") as f:
        flash = f.read()
    serial = str(int.from_bytes(flash[SERIAL_AT:SERIAL_AT + 4], "little"))
    mac = ":".join(f"{b:02x}" for b in flash[MAC_AT:MAC_AT + 6])
    return serial, mac


def command(args, **kw):
    print("$ " + " ".join(args), flush=True)
    return subprocess.run(args, timeout=120, **kw).returncode


def run_stations(args, work, jobs, boards):
    """The two stations until each has logged its four boards; True when both stopped cleanly."""
    watches = []
    try:
        for station in STATIONS:
            out = open(os.path.join(work, station + ".out"), "w")
            print(f"$ {args.zelflash} watch --job {jobs[station]} --quiet &", flush=True)
            watches.append(subprocess.Popen([args.zelflash, "watch", "--job", jobs[station], "--quiet"],
                                            stdout=out, stderr=subprocess.STDOUT))
        for station in STATIONS:
            for n in range(1, BOARDS_EACH + 1):
                boards.append((station,) + start_board(args.zelsim, work, station, n))
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline and any(len(records(work, s)) < BOARDS_EACH for s in STATIONS):
            time.sleep(0.2)
        ok = True
        for station, watch in zip(STATIONS, watches):
            watch.send_signal(signal.SIGINT)
            status = watch.wait(timeout=60)
            ok = ok and status == 0
            with open(os.path.join(work, station + ".out")) as f:
                said = f.read().strip()
            print(f"{station}: zelflash watch ended with status {status}" + (f"; it said:\n{said}" if said else ""))
        return ok
    finally:
        for watch in watches:
            if watch.poll() is None:
                watch.kill()
                watch.wait()


def judge(work, boards):
    """Each board's record against its flash; True when all were programmed with values of their own."""
    ok, seen = True, set()
    for station, proc, link, dump in boards:
        proc.send_signal(signal.SIGTERM)
        proc.wait(timeout=30)
        record = next((r for r in records(work, station) if r["port"] == link), None)
        if record is None or record["outcome"] != "programmed":
            print(f"{link}: NOT programmed ({record['outcome'] if record else 'never started'})")
            ok = False
            continue
        values = (record["values"]["serial"], record["values"]["mac"])
        matches = flashed(dump) == values
        twice = values[0] in seen or values[1] in seen
        seen.update(values)
        ok = ok and matches and not twice
        print(f"{station} {os.path.basename(link)}: serial {values[0]}, MAC {values[1]}; flash "
              f"{'carries them' if matches else 'DOES NOT carry them'}{'; A VALUE TWICE' if twice else ''}")
    return ok


def run(args):
    work = os.path.abspath(args.work)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    with open(os.path.join(work, "macs.txt"), "w") as f:
        f.writelines(f"02:26:12:08:00:{n:02x}\n" for n in range(1, 33))
    with pg_scratch(os.path.join(work, "pg")) as pg:
        pg.psql("CREATE DATABASE zeldemo")
        conninfo = pg.conninfo("zeldemo")
        jobs = {s: write_job(work, args.image, s, conninfo) for s in STATIONS}
        if command([args.zelflash, "lot", "create", jobs[STATIONS[0]]]) != 0:
            return 1
        boards = []
        try:
            stopped = run_stations(args, work, jobs, boards)
            judged = judge(work, boards)
        finally:
            for _, proc, _, _ in boards:
                if proc.poll() is None:
                    proc.kill()
                    proc.wait()
        status = command([args.zelflash, "lot", "status", jobs[STATIONS[0]]])
        # zelflash report --lot: the same report as from the boards' logs, read from the lot's database.
        report = command([args.zelflash, "report", "--lot", jobs[STATIONS[0]]])
        for name, code in (("lot status", status), ("report --lot", report)):
            if code != 0:
                print(f"zelflash {name} ended with status {code}")
        ok = stopped and judged and status == 0 and report == 0
        print(f"lot {LOT}: {len(STATIONS) * BOARDS_EACH} boards on {len(STATIONS)} stations, "
              f"{'each with values of its own' if ok else 'FAILED'}")
        return 0 if ok else 1


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--zelflash", required=True)
    ap.add_argument("--zelsim", required=True)
    ap.add_argument("--image", required=True)
    ap.add_argument("--work", required=True)
    sys.exit(run(ap.parse_args()))


if __name__ == "__main__":
    main()
