#!/usr/bin/env python3
"""Device end for ser_wine_test.exe: makes a pseudo-terminal, maps its slave
side to a COM port of the wine prefix (dosdevices/comN -> /dev/pts/K), runs
the program under wine and answers its frames from the master side.

Usage: ser_wine_device.py WINE_RUN PROGRAM PORT [program args...]
The prefix is $ZEL_WINEPREFIX (as cmake/wine-run uses it). Exit status: the
program's."""
import os
import select
import struct
import subprocess
import sys
import termios
import threading
import tty
import zlib

END, ESC, ESC_END, ESC_ESC = 0xC0, 0xDB, 0xDC, 0xDD
# The program under wine, a first boot of the prefix included, ends well
# within this; past it, it is stopped and the run fails.
RUN_LIMIT_S = 400


def slip(message):
    out = bytearray([END])
    for b in message:
        if b == END:
            out += bytes([ESC, ESC_END])
        elif b == ESC:
            out += bytes([ESC, ESC_ESC])
        else:
            out.append(b)
    out.append(END)
    return bytes(out)


def unslip(raw):
    out = bytearray()
    it = iter(raw[1:-1])
    for b in it:
        if b == ESC:
            e = next(it, None)
            out.append(END if e == ESC_END else ESC if e == ESC_ESC else (e or 0))
        else:
            out.append(b)
    return bytes(out)


def answer(raw):
    message = unslip(raw)
    kind = message[:1]
    if kind == b"E":
        return slip(raw)
    if kind == b"A":
        return bytes([0xC0, 0x41, 0xDB, 0xC0, 0x42, 0xC0]) + slip(b"JUNK") + b"\x01\x02"
    if kind == b"B":
        return bytes([0xC0, 0xC0, 0xC0, 0x41, 0xC0])
    if kind == b"C":
        return bytes([0xC0, 0x41, 0xDB, 0x42, 0xC0])
    if kind == b"L":
        return slip(bytes((i * 7) & 0xFF for i in range(9999)))
    if kind == b"M":
        return slip(b"\x55" * 10000) + slip(b"JUNK")
    if kind == b"S":
        return b""
    if kind == b"Z":
        return slip(b"OK")
    return slip(struct.pack("<II", len(raw), zlib.crc32(raw)))


def serve(master, stop):
    """Collects frames (raw, from opening to closing END) and answers each."""
    frame = bytearray()
    while not stop.is_set():
        ready, _, _ = select.select([master], [], [], 0.05)
        if not ready:
            continue
        try:
            chunk = os.read(master, 65536)
        except OSError:
            continue
        for b in chunk:
            if b == END:
                if len(frame) > 1:  # something between the ENDs: a frame
                    frame.append(END)
                    reply = answer(bytes(frame))
                    view = memoryview(reply)
                    while view:
                        n = os.write(master, view)
                        view = view[n:]
                    frame = bytearray()
                frame = bytearray([END])
            elif frame:
                frame.append(b)


def main():
    wine_run, program, port = sys.argv[1:4]
    prefix = os.environ.get("ZEL_WINEPREFIX")
    if not prefix:
        sys.exit("ZEL_WINEPREFIX is not set")
    os.makedirs(os.path.join(prefix, "dosdevices"), exist_ok=True)
    master, slave = os.openpty()
    # The line starts raw at 9600 baud; the program's settings replace that.
    tty.setraw(slave)
    attrs = termios.tcgetattr(slave)
    attrs[4] = attrs[5] = termios.B9600
    termios.tcsetattr(slave, termios.TCSANOW, attrs)
    link = os.path.join(prefix, "dosdevices", port.lower())
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(os.ttyname(slave), link)
    stop = threading.Event()
    server = threading.Thread(target=serve, args=(master, stop), daemon=True)
    server.start()
    try:
        try:
            status = subprocess.call([wine_run, program, port] + sys.argv[4:], timeout=RUN_LIMIT_S)
        except subprocess.TimeoutExpired:
            print("ser_wine_device: %s did not end within %d s" % (program, RUN_LIMIT_S), file=sys.stderr)
            status = 1
    finally:
        stop.set()
        server.join(1)
        os.unlink(link)
    sys.exit(status)


if __name__ == "__main__":
    main()
