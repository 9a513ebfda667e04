#!/usr/bin/env python3
"""The generated zel_version.h says the project's version and the commit built.

Usage: version_header_test.py HEADER VERSION SOURCE_DIR [CXX]

Checks the build's header against VERSION and `git rev-parse --short HEAD`;
compiles the line zelflash's main uses with CXX and runs it; and writes the
header for a source tree that is no git checkout, where the commit is empty.
"""
import re
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
failures = []
passes = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what)
    (passes if ok else failures).append(what)


def macros(path):
    return dict(re.findall(r'#define (ZEL_\w+) "([^"]*)"', Path(path).read_text()))


def main():
    if len(sys.argv) not in (4, 5):
        sys.exit(__doc__)
    header, version, source = sys.argv[1], sys.argv[2], Path(sys.argv[3])
    cxx = sys.argv[4] if len(sys.argv) == 5 else "c++"
    m = macros(header)
    check(m.get("ZEL_VERSION") == version, f"ZEL_VERSION is {m.get('ZEL_VERSION')!r}, the project's {version!r}")

    head = subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=source, capture_output=True, text=True)
    if head.returncode == 0:
        wanted = "g" + head.stdout.strip()
        check(re.fullmatch(re.escape(wanted) + r"(-dirty)?", m.get("ZEL_COMMIT", "")) is not None,
              f"ZEL_COMMIT is {m.get('ZEL_COMMIT')!r}, HEAD is {wanted}")
    else:
        check(m.get("ZEL_COMMIT") == "", "outside a checkout ZEL_COMMIT is empty")
    long_wanted = f"{version} ({m.get('ZEL_COMMIT')})" if m.get("ZEL_COMMIT") else version
    check(m.get("ZEL_VERSION_LONG") == long_wanted, f"ZEL_VERSION_LONG is {m.get('ZEL_VERSION_LONG')!r}")

    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        # The version line zelflash's main.cpp uses, compiled and run.
        program = tmp / "version.cpp"
        program.write_text('#include <cstdio>\n#include "zel_version.h"\n'
                           'static const char version_text[] = "zelflash " ZEL_VERSION_LONG;\n'
                           'int main() { std::puts(version_text); }\n')
        built = subprocess.run([cxx, "-I", str(Path(header).parent), str(program), "-o", str(tmp / "version")],
                               capture_output=True, text=True)
        check(built.returncode == 0, f"the version line compiles {built.stderr.strip()}")
        if built.returncode == 0:
            out = subprocess.run([str(tmp / "version")], capture_output=True, text=True).stdout.strip()
            check(out == "zelflash " + long_wanted, f"it prints {out!r}")

        # A source tree that is no checkout (an unpacked tarball): no commit.
        bare = tmp / "bare"
        bare.mkdir()
        out_header = tmp / "zel_version.h"
        subprocess.run(["cmake", f"-DZEL_SOURCE_DIR={bare}", "-DZEL_VERSION=9.8.7", f"-DZEL_HEADER={out_header}",
                        "-P", str(HERE.parent / "version_header.cmake")], check=True)
        m = macros(out_header)
        check(m == {"ZEL_VERSION": "9.8.7", "ZEL_COMMIT": "", "ZEL_VERSION_LONG": "9.8.7"},
              f"without git: {m}")
        # Written again with the same text, the file is left alone (no rebuild).
        before = out_header.stat().st_mtime_ns
        subprocess.run(["cmake", f"-DZEL_SOURCE_DIR={bare}", "-DZEL_VERSION=9.8.7", f"-DZEL_HEADER={out_header}",
                        "-P", str(HERE.parent / "version_header.cmake")], check=True)
        check(out_header.stat().st_mtime_ns == before, "the same text leaves the header untouched")

    print(f"version_header_test: {len(passes)} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
