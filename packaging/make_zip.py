#!/usr/bin/env python3
"""Writes the Windows zip: the same bytes from the same inputs, every time.

Usage: make_zip.py --out ZIP --folder NAME --readme README.md --epoch N FILE...

The zip holds one folder NAME with the FILEs (zel.exe, zelflash.exe), the
README as README.txt with Windows line ends, and SHA256SUMS, the SHA-256 of
each of those ("HASH  NAME" lines, as sha256sum -c reads them). Entries are
sorted by name, dated N (seconds since 1970, UTC; the zip format starts in
1980), with fixed permissions and compression, so nothing of the machine, the
build directory or the time of the run gets in.
"""
import argparse
import hashlib
import time
import zipfile
from pathlib import Path

ZIP_EPOCH = 315532800  # 1980-01-01, the earliest date a zip entry can hold


def entry(name, epoch, executable):
    """A zip entry header with nothing in it that varies from run to run."""
    info = zipfile.ZipInfo(name, date_time=time.gmtime(max(epoch, ZIP_EPOCH))[:6])
    info.compress_type = zipfile.ZIP_DEFLATED
    info.create_system = 3  # Unix, so the permissions below mean what they say
    info.external_attr = (0o100755 if executable else 0o100644) << 16
    return info


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", required=True, type=Path)
    parser.add_argument("--folder", required=True)
    parser.add_argument("--readme", required=True, type=Path)
    parser.add_argument("--epoch", required=True, type=int)
    parser.add_argument("files", nargs="+", type=Path)
    args = parser.parse_args()

    contents = {f.name: f.read_bytes() for f in args.files}
    text = args.readme.read_bytes().replace(b"\r\n", b"\n")
    contents["README.txt"] = text.replace(b"\n", b"\r\n")
    sums = "".join(f"{hashlib.sha256(data).hexdigest()}  {name}\n" for name, data in sorted(contents.items()))
    contents["SHA256SUMS"] = sums.encode()

    args.out.parent.mkdir(parents=True, exist_ok=True)
    part = args.out.with_name(args.out.name + ".part")
    with zipfile.ZipFile(part, "w") as z:
        for name in sorted(contents):
            z.writestr(entry(f"{args.folder}/{name}", args.epoch, name.endswith(".exe")), contents[name],
                       compresslevel=9)
    part.replace(args.out)
    print(f"make_zip: {args.out} ({', '.join(sorted(contents))})")


if __name__ == "__main__":
    main()
