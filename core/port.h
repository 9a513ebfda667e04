// The platform seam for serial ports and the millisecond tick: the one narrow
// interface through which the protocol core reaches the operating system.
// One file per platform implements it (port_win.cpp, port_posix.cpp).
//
// The operations travel as a value: a front end hands the platform's own
// (port_platform()) to the job and the port owner, which pass them on to the
// layers that reach the port or the tick; a test hands in a fake table
// instead to inject failures (a port that will not open, a write that takes
// nothing, a wrapping tick). Nothing here is global or mutable.
#pragma once

#include <cstdint>

#ifdef _WIN32
#include <windows.h>
#else
// The line settings and time-outs travel in records with the fields, names
// and meanings of the Windows ones, so that the serial layer reads the same
// on every platform. Only the fields the tool uses are present.
using DWORD = uint32_t;
using BYTE = uint8_t;
constexpr DWORD MAXDWORD = 0xFFFFFFFFu;
enum : DWORD { DTR_CONTROL_DISABLE = 0, DTR_CONTROL_ENABLE = 1 };
enum : DWORD { RTS_CONTROL_DISABLE = 0, RTS_CONTROL_ENABLE = 1 };
enum : BYTE { NOPARITY = 0, ODDPARITY = 1, EVENPARITY = 2 };
enum : BYTE { ONESTOPBIT = 0, TWOSTOPBITS = 2 };

struct DCB {
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
};

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};
#endif

// An open port; null when none. (On Windows the platform's invalid handle
// value never leaves port_open: a failed open gives null.)
using port_handle = void*;

struct port_ops {
    // Opens a port by name for reading and writing, exclusively; null when it
    // is absent or in use. The platform's last-error code (errno on POSIX)
    // is left describing the failure.
    port_handle (*open)(const char* name);
    int (*get_state)(port_handle h, DCB* dcb);               // non-zero on success
    int (*set_state)(port_handle h, DCB* dcb);               // non-zero on success
    int (*get_timeouts)(port_handle h, COMMTIMEOUTS* to);    // non-zero on success
    int (*set_timeouts)(port_handle h, COMMTIMEOUTS* to);    // non-zero on success
    // Reads up to n bytes under the current time-outs; the count read, 0 after
    // a time-out or a failure.
    uint32_t (*read)(port_handle h, void* dst, uint32_t n);
    // Writes n bytes; the count the port took, 0 on failure.
    uint32_t (*write)(port_handle h, const void* src, uint32_t n);
    // Milliseconds since some fixed start, unsigned 32-bit, wrapping.
    uint32_t (*tick)();
    // 0 once the line is gone for good (device unplugged, the other end of a
    // pty closed, the port failing); 1 while it can carry bytes. A read that
    // returns nothing cannot tell silence from a lost device; this can.
    int (*alive)(port_handle h);
    // Closes a port that `open` gave; the handle is invalid afterwards. On
    // POSIX every terminal setting the port had when it was opened comes
    // back first, those a DCB does not hold included.
    void (*close)(port_handle h);
    // The modem status lines the other end drives, as PORT_LINE_* bits, in
    // *lines; non-zero on success, 0 when the port has none to read (a
    // pseudo-terminal) or the read failed.
    int (*modem)(port_handle h, uint32_t* lines);
};

// The modem status lines, as port_ops::modem reports them.
enum port_line : uint32_t {
    PORT_LINE_CTS = 1u << 0,  // clear to send
    PORT_LINE_DSR = 1u << 1,  // data set ready
    PORT_LINE_RI = 1u << 2,   // ring indicator
    PORT_LINE_DCD = 1u << 3,  // data carrier detect
};

// The platform's own operations: the front ends' default.
const port_ops& port_platform();
