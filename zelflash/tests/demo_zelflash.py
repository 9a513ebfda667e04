#!/usr/bin/env python3
"""The second half of the demo: zelflash programs two simulated devices at once.

Two zelsim devices at 115200 baud with 30 ms per erased sector, each on a pty
linked under WORK; zelflash writes the embedded image to both (its live view
when this runs on a terminal, progress lines otherwise). Ends with each
simulator's verdict; exit status 0 only when both flashes match the image.
"""
import argparse
import json
import os
import subprocess
import sys
import time


def start_device(zelsim, work, name, image):
    link = os.path.join(work, name)
    report = os.path.join(work, name + "-report.json")
    args = [zelsim, "--link", link, "--baud", "115200", "--erase-ms-per-sector", "30",
            "--exit-after-reset-ms", "300", "--time-limit-s", "60",
            "--image", image, "--report", report]
    proc = subprocess.Popen(args, stdout=subprocess.PIPE, text=True)
    proc.stdout.readline()  # "zelsim: listening on ..." once the link is there
    return proc, link, report


def run(args):
    os.makedirs(args.work, exist_ok=True)
    devices = [start_device(args.zelsim, args.work, n, args.image) for n in ("dev1", "dev2")]
    try:
        command = [args.zelflash, "write"]
        for _, link, _ in devices:
            command += ["-p", link]
        print("$ " + " ".join(command), flush=True)
        began = time.monotonic()
        status = subprocess.run(command, timeout=120).returncode
        took = time.monotonic() - began
        ok = status == 0
        for proc, link, report in devices:
            proc.wait(timeout=30)
            with open(report) as f:
                verdict = json.load(f)
            match = verdict.get("image_match") is True
            ok = ok and match
            print(f"{link}: flash {'matches' if match else 'DOES NOT match'} the image, "
                  f"wire time {verdict['line']['wire_ms_total'] / 1000:.2f} s")
        print(f"zelflash exit status {status}, both devices in {took:.2f} s")
        return 0 if ok else 1
    finally:
        for proc, _, _ in devices:
            if proc.poll() is None:
                proc.kill()
                proc.wait()


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--zelflash", required=True)
    ap.add_argument("--zelsim", required=True)
    ap.add_argument("--image", required=True)
    ap.add_argument("--work", required=True)
    sys.exit(run(ap.parse_args()))


if __name__ == "__main__":
    main()
