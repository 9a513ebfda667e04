#!/usr/bin/env python3
"""check_options.py catches what it is there for.

Usage: check_options_test.py ZELFLASH

Runs packaging/check_options.py on copies of the man page source, the
completions and the headers it reads, each spoiled in one way, and on a
stand-in zelflash whose help shows an option nobody has documented yet; each
run must fail and name the gap. The untouched copies must pass.
"""
import shutil
import stat
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent.parent
CHECK = ROOT / "packaging" / "check_options.py"
FILES = ["packaging/zelflash.1.scd", "packaging/completions/zelflash.bash", "packaging/completions/_zelflash",
         "packaging/completions/zelflash.fish", "zelflash/engine/exit_status.h", "core/run.h",
         "zelflash/engine/board_end.h"]
# (what check_options.py reads besides zelflash's help)
failures = []
passes = []


def tree(tmp, name):
    """A copy of the files check_options.py reads, in tmp/name."""
    root = Path(tmp) / name
    for f in FILES:
        (root / f).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(ROOT / f, root / f)
    return root


def run(zelflash, root):
    done = subprocess.run([sys.executable, str(CHECK), str(zelflash), str(root)], capture_output=True, text=True)
    return done.returncode, done.stdout + done.stderr


def expect(case, status, output, wanted_status, wanted_text):
    ok = status == wanted_status and wanted_text in output
    print(("ok   " if ok else "FAIL ") + case)
    if not ok:
        print(f"     status {status}, wanted {wanted_status} with {wanted_text!r}; output:\n{output}")
    (passes if ok else failures).append(case)


def spoil(root, path, old, new=""):
    f = root / path
    text = f.read_text()
    assert old in text, f"{old!r} not in {path}"
    f.write_text(text.replace(old, new))


# One piece of documentation spoilt at a time: (tree, file, text, replacement,
# what the case is, what the check must then report).
SPOILT = [
    ("man", "packaging/zelflash.1.scd", "*--fill-gaps*", "fill gaps",
     "an option missing from the man page", "man page: --fill-gaps"),
    ("bash", "packaging/completions/zelflash.bash", "--include-present ", "",
     "an option missing from the bash completion", "bash completion: --include-present"),
    ("zsh", "packaging/completions/_zelflash", "'--erase-timeout=", "",
     "an option missing from the zsh completion", "zsh completion: --erase-timeout"),
    ("fish", "packaging/completions/zelflash.fish", "-l flash-size", "-l flash",
     "an option missing from the fish completion", "fish completion: --flash-size"),
    ("exit", "packaging/zelflash.1.scd", "*130*", "one hundred and thirty",
     "an exit status missing from the man page", "exit status 130"),
    ("outcome", "core/run.h", '"no_answer", "no answer"}', '"no_answer", "no answer at all"}',
     "an outcome text the man page does not have", '"no answer at all"'),
    ("key", "packaging/zelflash.1.scd", "no\\_memory, board", "board",
     "an outcome key the man page does not list", 'the outcome key "no_memory"'),
]


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    zelflash = Path(sys.argv[1]).resolve()
    with tempfile.TemporaryDirectory() as tmp:
        status, out = run(zelflash, tree(tmp, "clean"))
        expect("the project as it is passes", status, out, 0, "0 missing")

        for name, path, old, new, case, wanted in SPOILT:
            root = tree(tmp, name)
            spoil(root, path, old, new)
            status, out = run(zelflash, root)
            expect(case, status, out, 1, wanted)

        # A zelflash with an option added since the page was written: its
        # help is the real one with one more line in write's options.
        fake = Path(tmp) / "zelflash"
        fake.write_text(f"""#!/bin/sh
if [ "$1" = write ]; then
    "{zelflash}" "$@" | sed 's/^Options:$/Options:\\n  --verify-after              Read the flash back/'
else
    exec "{zelflash}" "$@"
fi
""")
        fake.chmod(fake.stat().st_mode | stat.S_IXUSR)
        status, out = run(fake, tree(tmp, "new"))
        expect("a new option in write --help", status, out, 1, "man page: --verify-after (in zelflash write --help)")
        expect("a new option, in every completion", status, out, 1,
               "fish completion: --verify-after (in zelflash write --help)")

    print(f"check_options_test: {len(passes)} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
