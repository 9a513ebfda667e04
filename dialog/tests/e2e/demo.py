#!/usr/bin/env python3
"""The demo behind scripts/demo: zel.exe programs a simulated device over a
line with the timing of a real 115200-baud serial port, on the user's display
when there is one (else on an Xvfb of its own), and the simulator's verdict
ends it. Exit status 0 only when the device's flash matches the image."""
import argparse
import os
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from world import Trouble, World, bracketed, parse_tool_arguments  # noqa: E402

USER_WAIT_S = 20  # on a real display: time for the user to press "Program"
SIM_OPTIONS = ["--baud", "115200", "--erase-ms-per-sector", "25", "--program-ms", "1",
               "--exit-after-reset-ms", "500"]


def say(text):
    print("demo: " + text, flush=True)


def quiet(text):
    pass


def usable_display():
    display = os.environ.get("DISPLAY")
    if not display:
        return None
    try:
        ok = subprocess.run(["xdpyinfo", "-display", display], stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=10).returncode == 0
    except (OSError, subprocess.SubprocessError):
        ok = False
    return display if ok else None


def status(world):
    for line in world.ctl(["status"]):
        text = bracketed(line, "status")
        if text is not None:
            return text
    return None


def console_echo(chunk):
    sys.stdout.buffer.write(chunk)
    sys.stdout.buffer.flush()


def run(args):
    began = time.monotonic()
    display = usable_display()
    world = World("run", args.zel, args.zelctl, args.zelsim, args.work, quiet, display=display,
                  time_limit_s=900)
    try:
        if display:
            say("using your display " + display)
        else:
            world.start_xvfb()
            say("no usable display: running on Xvfb " + world.display)
        say("preparing a private wine prefix in " + world.dir)
        world.make_prefix()
        sim = world.add_simulator(3, SIM_OPTIONS + ["--image", args.image])
        say("zelsim listens as com3 (115200 baud, 25 ms per erased sector, 1 ms per chunk)")
        tool = world.start_tool(echo=console_echo)
        world.ctl(["find", 60])
        say("zel.exe is up; its console follows")
        pressed_by = "the demo"
        if display:
            say("press \"Program\" in the dialog (the demo presses it in %d s)" % USER_WAIT_S)
            deadline = time.monotonic() + USER_WAIT_S
            while time.monotonic() < deadline:
                if status(world) != " - Idle - ":
                    pressed_by = "you"
                    break
                time.sleep(0.3)
        if pressed_by == "the demo":
            world.ctl(["press"])
        pressed = time.monotonic()
        world.ctl(["wait-status", "Done", 600])
        done = time.monotonic()
        print(flush=True)
        rect = None
        for line in world.ctl(["rect"]):
            if line.startswith("rect "):
                rect = tuple(int(v) for v in line.split()[1:])
        shot = world.screenshot(os.path.join(world.dir, "zel-done.png"), rect)
        if sim.proc.wait(30) is None:
            raise Trouble("the device did not end after its RESET")
        report = sim.report()
        world.ctl(["close", "wait-gone", 15])
        exit_status = tool.wait(20)

        commands = report["commands"]
        first = commands[0]["time_ms"] if commands else 0.0
        reset = next((c["time_ms"] for c in commands if c["name"] == "RESET"), None)
        line = report["line"]
        line_s = line["wire_ms_total"] / 1000.0
        job_s = (reset - first) / 1000.0 if reset is not None else done - pressed
        match = report.get("image_match") is True
        print("", flush=True)
        say("the simulator's verdict")
        print("  image length      %d bytes (0x%x)" % (report.get("image_length", 0), report.get("image_length", 0)))
        print("  image address     0x%x" % report.get("image_addr", 0))
        print("  flash matches     %s" % ("yes" if match else "NO"))
        print("  commands          %d (%d ERASE, %d PROGRAM, %d RTC_SET, %d RESET); bad frames %d" % (
            len(commands), *(sum(c["name"] == n for c in commands) for n in ("ERASE", "PROGRAM", "RTC_SET", "RESET")),
            report["bad_frames"]))
        if report["rtc"]:
            print("  clock set to      %s" % report["rtc"][0]["time"])
        print("  screenshot        %s" % shot)
        print("  pressed by        %s" % pressed_by)
        print("  total time        %.2f s (first command to RESET at the device; press to Done %.2f s)" % (
            job_s, done - pressed))
        print("  line time         %.2f s (wire time of %d + %d bytes at %d baud)" % (
            line_s, line["bytes_to_device"], line["bytes_from_device"], line["wire_baud"]))
        if line_s > 0:
            print("  ratio             %.2f (total / line)" % (job_s / line_s))
        print("  zel.exe exit      %s after closing" % exit_status)
        print("  demo wall time    %.1f s (this script; building not counted)" % (time.monotonic() - began))
        return 0 if match and exit_status == 0 else 1
    finally:
        world.close()


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    args = parse_tool_arguments(ap)
    try:
        sys.exit(run(args))
    except Trouble as e:
        say("failed: %s" % e)
        sys.exit(1)


if __name__ == "__main__":
    main()
