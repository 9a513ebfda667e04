#!/usr/bin/env python3
"""End-to-end tests of zel.exe: the real program under wine on its own Xvfb
display, its dialog worked through zelctl as a user would, against zelsim
devices on ptys that are the only COM ports of a private wine prefix.

Usage: e2e.py --zel zel.exe --zelctl zelctl.exe --zelsim zelsim --image image.bin
              --work DIR --artifacts DIR --case NAME
Cases: discovery_two, discovery_one, no_port, program, late_then_missed,
second_press, close_idle, close_programming, port_gone (or "all").
Exit status 0 when every check of the case holds.
"""
import argparse
import datetime
import os
import re
import sys
import time
import traceback

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from world import Trouble, World, bracketed, parse_tool_arguments  # noqa: E402

CHUNK = 256
LINE_SPEED = 115200
IDLE, PROGRAMMING, DONE = " - Idle - ", "Programming...", "Done"
FATAL_PORT = "Unable to open serial port. In use already, or not present"
# late_then_missed: frames as the device counts them (from 1), and how late
# that reply leaves. The device sends one reply at a time: 150 ms late, the
# resent frame's answer comes right behind the late one and the dialog's 10 ms
# drain swallows it, which keeps the conversation in step; 112 ms late, the late
# answer leaves before the device has the resent frame, far enough ahead of
# that frame's answer for the drain to end between the two.
LATE_FRAME, LATE_MS, MISSED_FRAME = 20, 112, 30


def log(text):
    print(text, flush=True)


class Checks:
    def __init__(self):
        self.failed = []
        self.count = 0

    def __call__(self, ok, what, detail=""):
        self.count += 1
        log(("ok   " if ok else "FAIL ") + what + ("" if ok or not detail else "\n       " + detail))
        if not ok:
            self.failed.append(what)
        return ok

    def equal(self, got, want, what):
        return self(got == want, what, "got %r, want %r" % (got, want))


# --- what zelctl says ------------------------------------------------------

def parse_ports(line):
    m = re.match(r"ports selected=(-?\d+) count=(\d+)((?: \[[^\]]*\])*)$", line)
    if not m:
        raise Trouble("unexpected ports line: " + line)
    names = re.findall(r"\[([^\]]*)\]", m.group(3))
    return int(m.group(1)), names


def status_of(lines):
    texts = [bracketed(l, "status") for l in lines if bracketed(l, "status") is not None]
    if not texts:
        raise Trouble("no status in zelctl's output")
    return texts[-1]


def seen_of(lines):
    return [bracketed(l, "seen") for l in lines if bracketed(l, "seen") is not None]


def changes(values):
    """The values with repeats in a row taken as one: a poll that comes before
    the posted press is handled sees the status it had before."""
    return [v for i, v in enumerate(values) if i == 0 or v != values[i - 1]]


def rect_of(lines):
    for l in lines:
        m = re.match(r"rect (-?\d+) (-?\d+) (\d+) (\d+)$", l)
        if m:
            return tuple(int(v) for v in m.groups())
    raise Trouble("no rect in zelctl's output")


# --- what the device saw ----------------------------------------------------

def expected_commands(length):
    """The conversation for an image of `length` bytes at address 0."""
    cmds = [("ERASE", 0, length, 0), ("PROGRAM", 0, 0, 0)]
    cmds += [("PROGRAM", a, a + CHUNK, CHUNK) for a in range(0, length, CHUNK)]
    cmds += [("PROGRAM", 0, CHUNK, CHUNK), ("RTC_SET",), ("RESET",)]
    return cmds


def command_key(c):
    if c["name"] in ("RTC_SET", "RESET"):
        return (c["name"],)
    return (c["name"], c["param1"], c["param2"], c["data_length"])


def text_mode(text):
    """What the C runtime's text-mode stdout makes of a line break."""
    return text.replace("\n", "\r\n")


def console_pattern(port, length, report):
    """zel.exe's console text, exactly, for the commands the device received
    (one piece per transmission, retries included); the clock setting is a
    group so that its time can be compared with what the device got."""
    parts = [re.escape(text_mode(" . Opening serial port %s at %d baud\n" % (port, LINE_SPEED))),
             re.escape(text_mode("\nFlash Image Size %x\n" % length))]
    for c in report["commands"]:
        if c["name"] == "ERASE":
            parts.append(re.escape(text_mode("Erasing...")))
        elif c["name"] == "PROGRAM" and c["data_length"] == 0:
            parts.append(re.escape(text_mode("Waiting for erase complete...")))
        elif c["name"] == "PROGRAM":
            parts.append(re.escape(text_mode("\rProgramming %4x\r" % c["param1"])))
        elif c["name"] == "RTC_SET":
            parts.append(r"\rSetting time to (\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)\r")
        elif c["name"] == "RESET":
            parts.append(re.escape(text_mode("\nRESET\n")))
        else:
            parts.append("(?!)")  # the tool sends nothing else
    return "".join(parts)


def check_flash(check, sim, image):
    with open(sim.flash_path, "rb") as f:
        flash = f.read()
    check.equal(len(flash), 2 * 1024 * 1024, "the flash dump holds the whole 2 MiB")
    want = image + b"\xff" * (len(flash) - len(image))
    first = next((i for i in range(len(flash)) if flash[i] != want[i]), None) if flash != want else None
    check(flash == want, "flash is the image at 0 and erased (0xFF) everywhere else, byte for byte",
          "first difference at 0x%x" % first if first is not None else "length differs")


def check_full_run(check, sim, report, image, port, console, strict_sequence, end="reset"):
    """The device got the whole image through `port`, the console says so."""
    check.equal(report["end"], end, "%s: the run ended by %s" % (port, end))
    check.equal(report.get("image_length"), len(image), "%s: image length in the report" % port)
    check.equal(report.get("image_addr"), 0, "%s: image address" % port)
    check.equal(report.get("image_match"), True, "%s: the device's flash matches the image" % port)
    check.equal(report["bad_frames"], 0, "%s: no bad frames" % port)
    check.equal(report["resets"], 1, "%s: one RESET" % port)
    check_flash(check, sim, image)
    cmds = report["commands"]
    answered = [command_key(c) for c in cmds if c["answered"]]
    want = expected_commands(len(image))
    check.equal(answered[:3], want[:3], "%s: ERASE(0, 0x%x), PROGRAM(0, 0), PROGRAM(0, 0x100) come first"
                % (port, len(image)))
    check(answered == want, "%s: the answered commands are ERASE, the erase wait, %d chunks 0x0..0x%x, "
          "the first chunk again, RTC_SET, RESET" % (port, (len(image) + CHUNK - 1) // CHUNK,
                                                     (len(image) - 1) // CHUNK * CHUNK),
          "first difference at %s" % next((i for i, (a, b) in enumerate(zip(answered, want)) if a != b),
                                          "the end (%d vs %d)" % (len(answered), len(want))))
    if strict_sequence:
        check.equal(len(cmds), len(want), "%s: no command was sent twice" % port)
    else:
        extra = [c for c in cmds if not c["answered"]]
        check(all(c["name"] == "PROGRAM" and c["data_length"] == 0 and c["outcome"] in ("superseded", "waiting")
                  for c in extra), "%s: the only repeats are erase waits" % port, repr(extra[:3]))
    # Console: byte-exact against the device's log.
    m = re.fullmatch(console_pattern(port, len(image), report), console, re.S)
    check(m is not None, "%s: zel.exe's console is exactly the progress of that conversation" % port,
          "console (%d chars) begins %r and ends %r" % (len(console), console[:120], console[-120:]))
    rtc = report["rtc"]
    if check.equal(len(rtc), 1, "%s: one clock record" % port):
        check(rtc[0]["records_equal"], "%s: the RTC_SET's two time records are equal" % port)
        if m:
            check.equal(m.group(1), rtc[0]["time"], "%s: the console shows the time the device got" % port)
        when = datetime.datetime.strptime(rtc[0]["time"], "%Y-%m-%d %H:%M:%S")
        skew = abs((datetime.datetime.now() - when).total_seconds())
        check(skew < 300, "%s: the device clock is set to the PC's local time" % port,
              "%s is %.0f s from now" % (rtc[0]["time"], skew))


def report_after_reset(sim):
    if sim.proc.wait(20) is None:
        raise Trouble("the device on com%d did not end after its RESET" % sim.port)
    return sim.report()


def untouched(check, sim, port):
    report = sim.finish()
    check.equal(report["line"]["bytes_to_device"], 0, "%s: nothing was sent to it" % port)
    check.equal(report["commands"], [], "%s: no commands" % port)


# --- the cases ---------------------------------------------------------------

def start(world, ports, sim_options=()):
    world.start_xvfb()
    world.make_prefix()
    for p in ports:
        world.add_simulator(p, sim_options)
    found = world.open_ports()
    if found != ["com%d" % p for p in ports]:
        raise Trouble("the prefix's ports are %s, not the simulators' %s" % (found, ports))
    tool = world.start_tool()
    world.ctl(["find", 30])
    return tool


def closes_with(check, world, tool, code, what):
    world.ctl(["close", "wait-gone", 15])
    status = tool.wait(20)
    check.equal(status, code, what)


def case_discovery_two(check, world, image):
    tool = start(world, [3, 10], ["--image", image.path, "--exit-after-reset-ms", "300"])
    lines = world.ctl(["ports", "status"])
    selected, names = parse_ports(lines[0])
    check.equal(names, ["com3", "com10"], "ports 3 and 10: the list reads com3, com10")
    check.equal(selected, 0, "com3 is selected at start")
    check.equal(status_of(lines), IDLE, "status ' - Idle - '")
    lines = world.ctl(["select", 1, "ports", "press", "wait-status", DONE, 90])
    check.equal(parse_ports(lines[1])[0], 1, "com10 chosen")
    check.equal(status_of(lines), DONE, "programming through com10 ends in Done")
    sim10 = world.sims[10]
    check_full_run(check, sim10, report_after_reset(sim10), image.data, "com10", tool.text(), strict_sequence=True)
    untouched(check, world.sims[3], "com3")
    closes_with(check, world, tool, 0, "closing in Done: exit status 0")


def case_discovery_one(check, world, image):
    tool = start(world, [12])
    lines = world.ctl(["ports", "status"])
    selected, names = parse_ports(lines[0])
    check.equal(names, ["com12"], "port 12 alone: the list reads com12")
    check.equal(selected, 0, "com12 is selected at start")
    check.equal(status_of(lines), IDLE, "status ' - Idle - '")
    # No entry chosen: the press must do nothing at all.
    lines = world.ctl(["select", -1, "ports", "press", "sleep", 1500, "status", "no-box"])
    check.equal(parse_ports(lines[1])[0], -1, "no entry chosen")
    check.equal(status_of(lines), IDLE, "a press with no entry chosen leaves the status Idle")
    check(tool.alive(), "zel.exe still runs after that press")
    check.equal(tool.text(), "", "no console output: no port was opened")
    closes_with(check, world, tool, 0, "closing in Idle: exit status 0")
    untouched(check, world.sims[12], "com12")


def case_no_port(check, world, image):
    tool = start(world, [])
    lines = world.ctl(["ports", "status"])
    selected, names = parse_ports(lines[0])
    check.equal(names, [], "no port: the list is empty")
    check.equal(selected, -1, "nothing selected")
    check.equal(status_of(lines), IDLE, "status ' - Idle - '")
    lines = world.ctl(["press", "sleep", 1500, "status", "no-box", "press-command", "sleep", 1000, "status",
                       "no-box"])
    check.equal([bracketed(l, "status") for l in lines if l.startswith("status")], [IDLE, IDLE],
                "presses (a click, then the button's command) with an empty list leave the status Idle")
    check(tool.alive(), "zel.exe still runs after them")
    check.equal(tool.text(), "", "no console output: no port was opened")
    closes_with(check, world, tool, 0, "closing in Idle: exit status 0")


def case_program(check, world, image):
    tool = start(world, [3], ["--image", image.path, "--exit-after-reset-ms", "300"])
    lines = world.ctl(["ports", "status", "press", "wait-status", DONE, 90, "rect"])
    check.equal(parse_ports(lines[0])[1], ["com3"], "the list reads com3")
    seen = changes([status_of(lines[:2])] + seen_of(lines))
    check.equal(seen, [IDLE, PROGRAMMING, DONE],
                "the status goes ' - Idle - ', 'Programming...', 'Done' (values seen while polling)")
    shot = world.screenshot(os.path.join(world.artifacts, "zel-done.png"), rect_of(lines))
    log("     screenshot of the dialog at Done: " + shot)
    sim = world.sims[3]
    report = report_after_reset(sim)
    check_full_run(check, sim, report, image.data, "com3", tool.text(), strict_sequence=True)
    log("     line time %.1f ms of %.1f ms total in the device" % (report["line"]["wire_ms_total"],
                                                                   report["total_ms"]))
    with open(os.path.join(world.artifacts, "zel-console.txt"), "w", encoding="latin-1") as f:
        f.write(tool.text())
    closes_with(check, world, tool, 0, "closing in Done: exit status 0")


def case_late_then_missed(check, world, image):
    # A reply late past the time-out, so the chunk goes twice and its late ACK
    # comes on top; then a frame the device misses. No stray ACK may answer
    # that frame: "Done" only with every chunk written.
    tool = start(world, [3], ["--image", image.path, "--exit-after-reset-ms", "300", "--baud", str(LINE_SPEED),
                              "--late-frame", "%d:%d" % (LATE_FRAME, LATE_MS), "--miss-frame", str(MISSED_FRAME)])
    lines = world.ctl(["press", "wait-status", DONE, 90])
    check.equal(seen_of(lines)[-1:], [DONE], "the job ends in Done")
    sim = world.sims[3]
    report = report_after_reset(sim)
    check.equal(report.get("image_match"), True, "Done, and the device's flash matches the image")
    check_flash(check, sim, image.data)
    taken = {c["frame"]: command_key(c) for c in report["commands"]}
    late = [c["frame"] for c in report["commands"] if c.get("fault") == "late_reply"]
    check.equal(late, [LATE_FRAME], "the reply to frame %d alone was late" % LATE_FRAME)
    check.equal(taken.get(LATE_FRAME + 1), taken.get(LATE_FRAME), "the next frame sent that command again")
    check.equal(report["frames"]["ignored"], 1, "the device ignored one frame")
    check(MISSED_FRAME not in taken, "the device ignored frame %d" % MISSED_FRAME)
    closes_with(check, world, tool, 0, "closing in Done: exit status 0")


def case_second_press(check, world, image):
    # 15 sectors at 200 ms: three seconds of erase keep the job running. The
    # device stays on after its RESET, so that anything sent later shows.
    tool = start(world, [3], ["--image", image.path, "--erase-ms-per-sector", "200"])
    lines = world.ctl(["press", "wait-status", PROGRAMMING, 30, "press", "press-command", "sleep", 500,
                       "status"])
    check.equal(status_of(lines), PROGRAMMING, "presses during the job leave the status 'Programming...'")
    lines = world.ctl(["wait-status", DONE, 90])
    check.equal(seen_of(lines)[-1:], [DONE], "the job ends in Done")
    lines = world.ctl(["press", "watch", 1500, "press-command", "watch", 1500])
    check.equal(seen_of(lines), [DONE, DONE], "presses after Done: the status reads 'Done' throughout")
    check(tool.alive(), "zel.exe still runs")
    sim = world.sims[3]
    report = sim.finish()
    erases = [c for c in report["commands"] if c["name"] == "ERASE"]
    check.equal(len(erases), 1, "exactly one ERASE: no second job")
    check.equal(report["frames"]["received"], len(report["commands"]),
                "every frame the device got was a command of the one job")
    check.equal(report["commands"][-1:] and report["commands"][-1]["name"], "RESET",
                "nothing reached the device after the RESET")
    console = tool.text()
    check.equal(console.count(" . Opening serial port"), 1, "the port was opened once")
    check.equal(console.count("Flash Image Size"), 1, "the image was copied once")
    check_full_run(check, sim, report, image.data, "com3", console, strict_sequence=False, end="signal")
    closes_with(check, world, tool, 0, "closing in Done: exit status 0")


def case_close_idle(check, world, image):
    tool = start(world, [3])
    check.equal(status_of(world.ctl(["status"])), IDLE, "Idle")
    closes_with(check, world, tool, 0, "closing in Idle: exit status 0")
    untouched(check, world.sims[3], "com3")


def case_close_programming(check, world, image):
    # 50 ms a chunk: about 12 s of programming, closed early on.
    tool = start(world, [3], ["--image", image.path, "--program-ms", "50"])
    lines = world.ctl(["press", "wait-status", PROGRAMMING, 30, "sleep", 1500, "status"])
    check.equal(status_of(lines), PROGRAMMING, "still Programming... when closed")
    closes_with(check, world, tool, 0, "closing in Programming: exit status 0")
    report = world.sims[3].finish()
    names = [c["name"] for c in report["commands"]]
    check(names[:1] == ["ERASE"] and "PROGRAM" in names, "the job had started", repr(names[:4]))
    check("RESET" not in names, "the job did not finish: no RESET", repr(names[-3:]))
    check.equal(report.get("image_match"), False, "the flash is incomplete")


def case_port_gone(check, world, image):
    tool = start(world, [3])
    lines = world.ctl(["ports"])
    check.equal(parse_ports(lines[0])[1], ["com3"], "com3 discovered")
    # The device goes away: its simulator ends, taking its pty and link along.
    sim = world.sims[3]
    sim.finish()
    if os.path.lexists(sim.link):
        os.unlink(sim.link)
    check(world.open_ports() == [], "com3 no longer opens")
    lines = world.ctl(["press", "box", 20, "status"])
    box = next((l for l in lines if l.startswith("box ")), "")
    m = re.match(r"box owner=(\w+) text=\[(.*)\]$", box)
    if not check(m is not None, "the fatal box appears", box):
        return
    check.equal(m.group(1), "zel", "the box is owned by the dialog")
    check.equal(status_of(lines), IDLE, "the status still reads ' - Idle - ' under the box")
    text = bracketed("t [" + m.group(2) + "]", "t")
    shot = world.screenshot(os.path.join(world.artifacts, "zel-fatal.png"))
    log("     screenshot with the fatal box: " + shot)
    lines_of_box = text.split("\n")
    code_line = lines_of_box[4] if len(lines_of_box) > 4 else ""
    code = re.fullmatch(r"Error number (-?\d+) reported", code_line)
    if check(code is not None and int(code.group(1)) != 0, "the box names a non-zero error number", repr(code_line)):
        number = int(code.group(1))
        log("     error number %d" % number)
        description = bracketed(world.ctl(["describe", number])[-1], "describe %d" % number)
        want = ("\n\nAn Error has occurred as follows:\n"
                "          " + FATAL_PORT + "\n"
                "Error number %d reported\n" % number + description +
                "\n\n The program will now abort\n\n\n")
        check(description.strip() != "", "the system describes error %d: %r" % (number, description.strip()))
        check.equal(text, want, "the box text, line by line: heading, message, number, description, closing")
    check(tool.alive(), "zel.exe waits for the box")
    check.equal(tool.text(), text_mode(" . Opening serial port com3 at %d baud\n" % LINE_SPEED),
                "the console shows the open attempt and nothing after it")
    world.ctl(["box-ok"])
    status = tool.wait(20)
    check.equal(status, 1, "after OK: exit status 1")


CASES = {
    "discovery_two": case_discovery_two,
    "discovery_one": case_discovery_one,
    "no_port": case_no_port,
    "program": case_program,
    "late_then_missed": case_late_then_missed,
    "second_press": case_second_press,
    "close_idle": case_close_idle,
    "close_programming": case_close_programming,
    "port_gone": case_port_gone,
}


class Image:
    def __init__(self, path):
        self.path = path
        with open(path, "rb") as f:
            self.data = f.read()


def run_case(name, args):
    log("== e2e %s" % name)
    check = Checks()
    began = time.monotonic()
    world = None
    try:
        world = World(name, args.zel, args.zelctl, args.zelsim, args.work, log)
        world.artifacts = args.artifacts
        CASES[name](check, world, Image(args.image))
    except Trouble as e:
        check(False, "case ran to its end", str(e))
    except Exception:
        check(False, "case ran to its end", traceback.format_exc())
    finally:
        if world:
            world.close()
    log("== e2e %s: %d checks, %d failed, %.1f s" % (name, check.count, len(check.failed),
                                                    time.monotonic() - began))
    return not check.failed


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--artifacts", required=True)
    ap.add_argument("--case", required=True, choices=sorted(CASES) + ["all"])
    args = parse_tool_arguments(
        ap, ("zel", "zelctl", "zelsim", "image", "work", "artifacts"))
    names = sorted(CASES) if args.case == "all" else [args.case]
    results = {n: run_case(n, args) for n in names}
    if len(names) > 1:
        for n, ok in results.items():
            log("%-20s %s" % (n, "passed" if ok else "FAILED"))
    sys.exit(0 if all(results.values()) else 1)


if __name__ == "__main__":
    main()
