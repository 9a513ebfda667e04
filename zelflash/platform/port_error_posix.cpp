// Why a port did not open, on POSIX systems: errno.
#include "platform/port_error.h"

#include <cerrno>
#include <cstring>

port_open_failure port_error_cause()
{
    switch (errno) {
    case EACCES:
    case EPERM: return OPEN_DENIED;
    case EBUSY:
    case EWOULDBLOCK: return OPEN_BUSY;  // flock() says so for a port another program locked
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR: return OPEN_ABSENT;
    default: return OPEN_FAILED;
    }
}

std::string port_error_text()
{
    return std::strerror(errno);
}
