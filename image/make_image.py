#!/usr/bin/env python3
"""Writes the stand-in device image: 60044 bytes, the same on every run.

We have no device firmware, so the tool carries this stand-in. Its bytes come
from a fixed-seed xorshift32 generator (not Python's own generator, whose
output may change between versions) behind a short ASCII banner. They include
the SLIP bytes 0xC0 and 0xDB, so every programming run exercises escaping.

Usage: make_image.py [output]   (default: image.bin beside this script)
"""
import os
import sys

LENGTH = 60044
SEED = 0x2E1C0DB5
BANNER = b"zel stand-in device image\0"


def xorshift32(state):
    while True:
        state ^= (state << 13) & 0xFFFFFFFF
        state ^= state >> 17
        state ^= (state << 5) & 0xFFFFFFFF
        yield state


def image():
    out = bytearray(BANNER)
    for word in xorshift32(SEED):
        if len(out) >= LENGTH:
            break
        out += word.to_bytes(4, "little")
    out = bytes(out[:LENGTH])
    assert out.count(0xC0) > 0 and out.count(0xDB) > 0
    return out


def main():
    target = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "image.bin")
    with open(target, "wb") as f:
        f.write(image())


if __name__ == "__main__":
    main()
