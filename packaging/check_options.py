#!/usr/bin/env python3
"""Fails when the man page source or a shell completion has fallen behind zelflash.

Reads what the built zelflash says of itself (`zelflash --help`,
`zelflash CMD --help` for each command it lists, and `zelflash CMD SUB
--help` for each of that command's own) and checks that
  - the man page source (packaging/zelflash.1.scd) names every command and
    every option, long and short, in bold (*--port*, *-p*), and every
    --format value;
  - the bash, zsh and fish completions offer every command (and the
    commands of a command, such as lot status), every option and every
    --format value;
  - the man page's EXIT STATUS names every exit code that --help's "Exit
    status" lists or zelflash/engine/exit_status.h defines (EXIT_... = N), and the page
    names every outcome text and, under *outcome_key*, every outcome key (the
    tables of keys and texts,
    {run_outcome::KEY, "key", "text"} and {board_end::KEY, ...}, in core/ or
    zelflash/).

Usage: check_options.py ZELFLASH [SOURCE_DIR]
Exit status 0 when all is covered, 1 with one line per gap otherwise.
"""
import re
import subprocess
import sys
from pathlib import Path


def help_text(zelflash, *args):
    """The --help output of zelflash or of one of its commands."""
    done = subprocess.run([zelflash, *args, "--help"], capture_output=True, text=True, timeout=30)
    if done.returncode != 0:
        sys.exit(f"check_options: {zelflash} {' '.join(args)} --help failed: {done.stderr.strip()}")
    return done.stdout


def section(text, title):
    """The lines of a CLI11 help section ("Options:", "Subcommands:")."""
    lines, inside = [], False
    for line in text.splitlines():
        if re.match(r"^\S.*:$", line):
            inside = line == title + ":"
        elif inside:
            lines.append(line)
    return lines


def options(text):
    """Every option a CLI11 help text lists: "-p,--port TEXT ..." gives -p and --port."""
    found = []
    for line in section(text, "Options"):
        m = re.match(r"^\s+((?:-[\w-]+,)*-[\w-]+)", line)
        if m:
            found += m.group(1).split(",")
    return found


def commands(text):
    return [line.split()[0] for line in section(text, "Subcommands") if line.strip()]


def format_values(text):
    """The choices of --format, as "--format TEXT:{auto,bin,ihex,srec}" shows them."""
    m = re.search(r"--format \S*\{([^}]*)\}", text)
    return m.group(1).split(",") if m else []


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    zelflash = sys.argv[1]
    root = Path(sys.argv[2]) if len(sys.argv) == 3 else Path(__file__).resolve().parent.parent
    pkg = root / "packaging"
    man = (pkg / "zelflash.1.scd").read_text()
    shells = {
        "bash": (pkg / "completions" / "zelflash.bash").read_text(),
        "zsh": (pkg / "completions" / "_zelflash").read_text(),
        "fish": (pkg / "completions" / "zelflash.fish").read_text(),
    }

    top = help_text(zelflash)
    cmds = commands(top)
    if not {"write", "watch", "list"} <= set(cmds):
        sys.exit(f"check_options: zelflash --help lists the commands {cmds}, expected write, watch and list")
    wanted = {"": options(top)}  # command -> its options
    formats = set()
    subs = []  # "job check", "lot status": the commands' own commands
    for cmd in cmds:
        text = help_text(zelflash, cmd)
        wanted[cmd] = options(text)
        formats |= set(format_values(text))
        for sub in commands(text):
            subs.append(f"{cmd} {sub}")
            wanted[f"{cmd} {sub}"] = options(help_text(zelflash, cmd, sub))
    if not formats:
        sys.exit("check_options: no --format values found in the help texts")

    gaps = []
    for cmd in cmds:
        if f"*{cmd}*" not in man:
            gaps.append(f"man page: command {cmd} is not described")
        for shell, text in shells.items():
            if not re.search(rf"\b{cmd}\b", text):
                gaps.append(f"{shell} completion: command {cmd} is missing")
    for pair in subs:
        sub = pair.split()[1]
        if not re.search(rf"\b{sub}\b", man):
            gaps.append(f"man page: command {pair} is not described")
        for shell, text in shells.items():
            if not re.search(rf"\b{sub}\b", text):
                gaps.append(f"{shell} completion: command {pair} is missing")
    for cmd, opts in wanted.items():
        where = f"zelflash {cmd} --help".replace("  ", " ")
        for opt in opts:
            if f"*{opt}*" not in man:
                gaps.append(f"man page: {opt} (in {where}) is not described")
            name = opt.lstrip("-")
            # How each shell's file spells the option.
            spelled = {
                "bash": rf"(?<![\w-]){re.escape(opt)}(?![\w-])",
                "zsh": rf"(?<![\w-]){re.escape(opt)}(?![\w-])",
                "fish": rf"-{'l' if opt.startswith('--') else 's'} {re.escape(name)}(?![\w-])",
            }
            for shell, pattern in spelled.items():
                if not re.search(pattern, shells[shell]):
                    gaps.append(f"{shell} completion: {opt} (in {where}) is missing")
    for value in sorted(formats):
        if f"*{value}*" not in man:
            gaps.append(f"man page: --format {value} is not described")
        for shell, text in shells.items():
            if not re.search(rf"\b{value}\b", text):
                gaps.append(f"{shell} completion: --format {value} is missing")

    # Exit codes, from the help and the sources; outcome texts, from the sources.
    status = man.split("# EXIT STATUS", 1)[-1].split("\n# ", 1)[0]
    codes = {m for line in section(top, "Exit status") for m in re.findall(r"^\s+(\d+)\s", line)}
    status_h = root / "zelflash" / "engine" / "exit_status.h"
    if status_h.exists():
        codes |= set(re.findall(r"\bEXIT_\w+ = (\d+)", status_h.read_text()))
    if not codes:
        gaps.append("no exit codes found in zelflash --help or zelflash/engine/exit_status.h")
    for code in sorted(codes, key=int):
        if f"*{code}*" not in status:
            gaps.append(f"man page: exit status {code} is not in EXIT STATUS")
    sources = [f for d in ("core", "zelflash") for f in sorted((root / d).rglob("*.[ch]*"))
               if "tests" not in f.relative_to(root).parts]
    named = r'\{(?:run_outcome|board_end)::\w+,\s*"(\w+)",\s*"([^"]+)"\}'
    outcomes = sorted({pair for f in sources for pair in re.findall(named, f.read_text())})
    if not outcomes:
        gaps.append("no outcome texts ({run_outcome::...: \"key\", \"text\"}) found in core/ or zelflash/")
    flat = re.sub(r"\s+", " ", man)
    keys = flat.split("*outcome\\_key*", 1)[-1].split("*log\\_version*", 1)[0].replace("\\_", "_")
    for key, text in outcomes:
        if f"*{text}*" not in flat:
            gaps.append(f"man page: the outcome \"{text}\" is not described")
        if not re.search(rf"\b{key}\b", keys):
            gaps.append(f"man page: the outcome key \"{key}\" is not under *outcome_key*")

    for gap in gaps:
        print(f"check_options: {gap}")
    total = sum(len(o) for o in wanted.values())
    print(f"check_options: {len(cmds)} commands, {total} options, {len(formats)} formats, "
          f"{len(codes)} exit codes, {len(outcomes)} outcomes; {len(gaps)} missing")
    return 1 if gaps else 0


if __name__ == "__main__":
    sys.exit(main())
