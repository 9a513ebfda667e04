#!/usr/bin/env python3
"""Prints the version record of a Windows executable, and checks it.

Usage: pe_version.py EXE [VERSION]

Reads the VERSIONINFO resource the way Windows' file properties do: the fixed
part (VS_FIXEDFILEINFO: file and product version as four numbers) and the
"FileVersion" and "ProductVersion" strings. With VERSION ("1.1.0"), exits 1
unless the numbers are VERSION.0 and both strings are VERSION.
"""
import struct
import sys
from pathlib import Path

FIXED_SIGNATURE = struct.pack("<I", 0xFEEF04BD)


def fixed_versions(data):
    """(file version, product version) from VS_FIXEDFILEINFO, as "a.b.c.d"."""
    at = data.find(FIXED_SIGNATURE)
    if at < 0:
        return None, None
    # dwSignature, dwStrucVersion, dwFileVersionMS, LS, dwProductVersionMS, LS
    _, _, fms, fls, pms, pls = struct.unpack_from("<6I", data, at)

    def text(ms, ls):
        return f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"
    return text(fms, fls), text(pms, pls)


def string_value(data, key):
    """The value of a String entry of StringFileInfo: wLength, wValueLength,
    wType, the key in UTF-16 with its NUL, padding to 32 bits, the value."""
    needle = (key + "\0").encode("utf-16-le")
    at = data.find(needle)
    if at < 6:
        return None
    _, value_chars, _ = struct.unpack_from("<3H", data, at - 6)
    start = at + len(needle)
    start += (-start) % 4
    value = data[start:start + 2 * value_chars].decode("utf-16-le")
    return value.rstrip("\0")


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    data = Path(sys.argv[1]).read_bytes()
    file_fixed, product_fixed = fixed_versions(data)
    file_text, product_text = string_value(data, "FileVersion"), string_value(data, "ProductVersion")
    print(f"{sys.argv[1]}: FILEVERSION {file_fixed}, PRODUCTVERSION {product_fixed}, "
          f"FileVersion {file_text!r}, ProductVersion {product_text!r}")
    if len(sys.argv) == 3:
        want = sys.argv[2]
        if (file_fixed, product_fixed, file_text, product_text) != (want + ".0", want + ".0", want, want):
            print(f"pe_version: the version record does not say {want}")
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
