// How the POSIX port seam carries the line settings of a DCB in termios:
// data bits in CSIZE, parity in PARENB/PARODD, two stop bits in CSTOPB, CTS
// flow in CRTSCTS, parity checking in INPCK, XON/XOFF in IXON/IXOFF. Pure
// functions, so that both directions can be checked without a device.
#pragma once

#include <termios.h>

#include "port.h"

// Writes the DCB's line settings into tio; every other flag stays.
void port_posix_line_to_termios(const DCB& dcb, termios* tio);
// Reads the line settings out of tio into the DCB; every other field stays.
void port_posix_line_from_termios(const termios& tio, DCB* dcb);
// 5..8 from the CSIZE bits.
BYTE port_posix_byte_size(tcflag_t cflag);

// A driver flag through open and close: on Linux the low-latency bit
// (ASYNC_LOW_LATENCY in struct serial_struct), turned on at open and back to
// what open found at close. From the flags the driver reports, those to
// write, every other flag as reported; no write when the bit is already so.
struct port_posix_latency {
    bool write;
    int flags;
};
port_posix_latency port_posix_latency_flags(int reported, int bit, bool on);
