#!/usr/bin/env python3
"""The installed bash, zsh and fish completions offer what zelflash takes.

Usage: completion_test.py --root DIR [--shells bash,zsh,fish]

DIR is an installed tree (the Debian package unpacked with dpkg -x): its
usr/bin/zelflash is run for its --help texts, and each shell finds the
completion where the package put it (bash-completion's loader through
XDG_DATA_DIRS, zsh's fpath, fish's vendor_completions.d through
XDG_DATA_DIRS). Each command line below is completed in every shell, in a
scratch folder with image files of every extension and a few that are not
(a job file among them), with a stand-in zelflash first on PATH: it answers
"list" with three ports, refuses every other command without running
anything, and records each call, so that the test can prove that no shell
ran a line it was only asked to complete (a real "zelflash write" or
"watch" on the machine's ports).
Each shell is given at most 30 s a line, three times over when it hangs.
"""
import argparse
import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
PORTS = ["/dev/ttyUSB0", "/dev/ttyACM0", "/dev/ttyS0"]
LIST_OUTPUT = ("/dev/ttyUSB0  FT232R USB UART  usb 0403:6001  serial A50285BI  by FTDI\n"
               "/dev/ttyACM0  Pico  usb 2e8a:000a\n"
               "/dev/ttyS0  ttyS0\n")
IMAGES = ["a.bin", "b.hex", "c.ihex", "d.ihx", "e.srec", "f.s19", "g.s28", "h.s37", "i.mot", "J.BIN", "k.Hex"]
OTHERS = ["notes.txt", "image.elf", "bin", "station.toml"]  # "bin": a file without an extension
failures = []
passes = []


def help_of(zelflash, *command):
    return subprocess.run([zelflash, *command, "--help"], capture_output=True, text=True, timeout=30).stdout


def long_options(text):
    """The long options a CLI11 help text lists."""
    return {o for o in re.findall(r"^\s+(?:-\w,)?(--[\w-]+)", text, re.M)}


def short_options(text):
    return set(re.findall(r"^\s+(-\w),", text, re.M))


def bash_words(line):
    """COMP_WORDS as bash splits the line: at spaces, and "=" and ":" words of their own."""
    out = []
    for w in line.split(" "):  # a trailing space gives the empty word being completed
        out += [p for p in re.split(r"([=:])", w) if p != ""] if re.search("[=:]", w) else [w]
    return out  # "--format=" ends in "=": the word being completed is "=", as in bash


def run_shell(cmd, env, work, tries=3):
    """The shell's run, tried again when it hangs: zsh's driver types the line
    into a fresh interactive shell, which now and then takes the keys before
    its line editor has the terminal and never completes."""
    for _ in range(tries):
        try:
            return subprocess.run(cmd, capture_output=True, text=True, timeout=30, cwd=work, env=env)
        except subprocess.TimeoutExpired:
            continue
    return None


def complete(shell, line, env, work, root):
    """What SHELL offers for LINE, as a set of strings (directories without a trailing /)."""
    if shell == "bash":
        cmd = ["bash", str(HERE / "complete.bash"), "--share", str(root / "usr/share"), *bash_words(line)]
    elif shell == "zsh":
        cmd = ["zsh", str(HERE / "complete.zsh"), str(root / "usr/share/zsh/vendor-completions"), str(work), line]
    else:
        cmd = ["fish", "-c", "complete -C " + shlex_quote(line)]
    done = run_shell(cmd, env, work)
    if done is None:
        return {f"<{shell} gave no answer in 3 tries>"}
    if done.returncode != 0:
        return {f"<{shell} failed: {done.stderr.strip()}>"}
    offered = set()
    for item in done.stdout.splitlines():
        item = item.split("\t")[0]  # fish: "match<TAB>description"
        if line.endswith("=") and "=" in item and shell == "fish":
            item = item.split("=", 1)[1]  # fish offers "--format=ihex"
        if item:
            offered.add(item.rstrip("/"))
    return offered


def shlex_quote(text):
    return "'" + text.replace("\\", "\\\\").replace("'", "\\'") + "'"


def expect(shell, line, offered, wanted, exact=True):
    ok = offered == wanted if exact else wanted <= offered
    what = f"{shell}: {line!r} offers {'exactly ' if exact else ''}{sorted(wanted)}"
    print(("ok   " if ok else "FAIL ") + what)
    if not ok:
        print(f"     offered {sorted(offered)}")
    (passes if ok else failures).append(what)


def write_stub(path, calls):
    """The stand-in zelflash: each call's arguments appended to CALLS, one
    call a line; "list" answered with three ports, anything else refused
    (status 2) and never passed on to a real zelflash."""
    path.parent.mkdir()
    path.write_text("#!/bin/sh\n"
                    f"printf '%s\\n' \"$*\" >>'{calls}'\n"
                    f"if [ \"$*\" = list ]; then printf '%s' '{LIST_OUTPUT}'; exit 0; fi\n"
                    "echo \"zelflash (completion test stand-in): refused: $*\" >&2\n"
                    "exit 2\n")
    path.chmod(path.stat().st_mode | stat.S_IXUSR)


def expect_only_list_ran(shell, calls):
    """Completing asks "zelflash list" (for -p and --match) and nothing else:
    a shell that ran a completed line left that line's arguments here."""
    ran = calls.read_text().splitlines()
    expect(shell, "(the commands the stand-in zelflash was run with)", set(ran), {"list"})


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", required=True, type=Path)
    parser.add_argument("--shells", default="bash,zsh,fish")
    args = parser.parse_args()
    root = args.root.resolve()
    zelflash = root / "usr/bin/zelflash"

    top, commands = help_of(zelflash), {}
    for command in ("write", "watch", "list", "job", "job check", "report", "lot", "lot create", "lot status"):
        commands[command] = help_of(zelflash, *command.split())
    formats = set(re.search(r"--format \S*\{([^}]*)\}", commands["write"]).group(1).split(","))
    on_failure = set(re.search(r"--on-failure \S*\{([^}]*)\}", commands["write"]).group(1).split(","))

    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        work = tmp / "work"
        (work / "firmware").mkdir(parents=True)
        for name in IMAGES + OTHERS:
            (work / name).write_bytes(b"\xff")
        stub, calls = tmp / "bin" / "zelflash", tmp / "calls"
        write_stub(stub, calls)
        home = tmp / "home"  # no user's shell configuration
        home.mkdir()
        env = dict(os.environ, PATH=f"{stub.parent}:{root / 'usr/bin'}:{os.environ['PATH']}", HOME=str(home),
                   XDG_CONFIG_HOME=str(home), XDG_DATA_HOME=str(home), XDG_DATA_DIRS=str(root / "usr/share"))

        image_dir = set(IMAGES) | {"firmware"}  # the images and the folder, nothing else
        job_dir = {"station.toml", "firmware"}
        every_file = set(IMAGES) | set(OTHERS) | {"firmware"}
        cases = [
            ("zelflash w", {"write", "watch"}, True),
            ("zelflash wr", {"write"}, True),
            ("zelflash l", {"list", "lot"}, True),
            ("zelflash li", {"list"}, True),
            ("zelflash --", long_options(top), True),
            ("zelflash write --format ", formats, True),
            ("zelflash watch --format=", formats, True),
            ("zelflash write --format i", {f for f in formats if f.startswith("i")}, True),
            ("zelflash write ", image_dir, True),
            ("zelflash watch -q ", image_dir, True),
            ("zelflash write -p ", set(PORTS), "ports"),
            ("zelflash write -p /dev/ttyA", {"/dev/ttyACM0"}, True),
            ("zelflash watch --match ", {"0403:6001", "2e8a:000a"}, True),
            # bash replaces only what follows the ":" (a word break for it).
            ("zelflash watch --match 0403:", {"bash": {"6001"}, "zsh": {"0403:6001"}, "fish": {"0403:6001"}}, True),
            ("zelflash watch --match 2e8a:0", {"bash": {"000a"}, "zsh": {"2e8a:000a"}, "fish": {"2e8a:000a"}}, True),
            ("zelflash write -p /dev/ttyS0 -", short_options(commands["write"]), False),
            ("zelflash j", {"job"}, True),
            ("zelflash r", {"report"}, True),
            ("zelflash job ", {"check", "init"}, True),
            ("zelflash job check ", job_dir, True),
            ("zelflash write --job ", job_dir, True),
            ("zelflash watch --on-failure ", on_failure, True),
            ("zelflash write --serial 0x1F000:le32:", set(), True),
            ("zelflash watch --set ", set(), True),
            ("zelflash report ", every_file, True),
            ("zelflash report --by ", {"image", "label:"}, True),
            ("zelflash report --json --by image ", every_file, True),
            ("zelflash lot ", {"create", "extend", "recover", "status"}, True),
            ("zelflash lot e", {"extend"}, True),
            ("zelflash lot status ", job_dir, True),
            ("zelflash lot status --json ", job_dir, True),
        ]
        for command, text in commands.items():
            cases.append((f"zelflash {command} --", long_options(text), True))

        for shell in args.shells.split(","):
            if shutil.which(shell) is None:
                expect(shell, "(the shell)", {"missing"}, {f"{shell} installed"})
                continue
            calls.write_text("")
            for line, wanted, exact in cases:
                # zsh adds file names beside the ports for -p (a pty or a link
                # can be typed): the ports must be among its matches.
                if exact == "ports":
                    exact = shell != "zsh"
                if isinstance(wanted, dict):
                    wanted = wanted[shell]
                expect(shell, line, complete(shell, line, env, work, root), wanted, exact)
            expect_only_list_ran(shell, calls)

        # The bash file alone, without bash-completion: the same for a command.
        done = subprocess.run(["bash", str(HERE / "complete.bash"), "--file",
                               str(root / "usr/share/bash-completion/completions/zelflash"), "zelflash", "w"],
                              capture_output=True, text=True, timeout=30, cwd=work, env=env)
        expect("bash (no bash-completion)", "zelflash w", set(done.stdout.split()), {"write", "watch"})

    print(f"completion_test: {len(passes)} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
