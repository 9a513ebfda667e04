// Why a port did not open, from the platform's last error of this thread,
// and the system's text for it. One file per platform implements it
// (port_error_posix.cpp, port_error_win.cpp).
#pragma once

#include <cstdint>
#include <string>

enum port_open_failure : int32_t {
    OPEN_FAILED = 0,   // none of those below
    OPEN_DENIED = 1,   // no permission
    OPEN_BUSY = 2,     // another program holds it
    OPEN_ABSENT = 3,   // no such device
};
port_open_failure port_error_cause();

// The system's text for the last error of this thread (errno; GetLastError).
std::string port_error_text();
