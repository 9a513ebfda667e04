// The port seam on Windows: the serial port as a file, without overlapped
// I/O. Windows itself opens a COM port exclusively and carries out the
// COMMTIMEOUTS, so every operation is one system call.
#include "port.h"

#include <cctype>
#include <cstring>
#include <string>

namespace {

// "comN" (any case, N digits): the bare name reaches only COM1 to COM9, the
// device namespace reaches every port.
bool is_com_name(const char* name)
{
    if (std::strlen(name) < 4)
        return false;
    if (std::tolower(static_cast<unsigned char>(name[0])) != 'c' ||
        std::tolower(static_cast<unsigned char>(name[1])) != 'o' ||
        std::tolower(static_cast<unsigned char>(name[2])) != 'm')
        return false;
    for (const char* p = name + 3; *p; ++p)
        if (!std::isdigit(static_cast<unsigned char>(*p)))
            return false;
    return true;
}

port_handle win_open(const char* name)
{
    std::string path = is_com_name(name) ? std::string("\\\\.\\") + name : std::string(name);
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return nullptr;  // GetLastError still tells why
    return h;
}

int win_get_state(port_handle h, DCB* dcb)
{
    dcb->DCBlength = sizeof(DCB);
    return GetCommState(h, dcb) ? 1 : 0;
}

int win_set_state(port_handle h, DCB* dcb)
{
    dcb->DCBlength = sizeof(DCB);
    return SetCommState(h, dcb) ? 1 : 0;
}

int win_get_timeouts(port_handle h, COMMTIMEOUTS* to)
{
    return GetCommTimeouts(h, to) ? 1 : 0;
}

int win_set_timeouts(port_handle h, COMMTIMEOUTS* to)
{
    return SetCommTimeouts(h, to) ? 1 : 0;
}

// Only the counts tell: a time-out and a failure both read nothing, a
// failed write reports what it took before failing.
uint32_t win_read(port_handle h, void* dst, uint32_t n)
{
    DWORD got = 0;
    ReadFile(h, dst, n, &got, nullptr);
    return got;
}

uint32_t win_write(port_handle h, const void* src, uint32_t n)
{
    DWORD put = 0;
    WriteFile(h, src, n, &put, nullptr);
    return put;
}

uint32_t win_tick()
{
    return GetTickCount();
}

// ClearCommError fails once the device behind the handle is gone (a USB
// adapter unplugged); it also clears a line error that would stall reads.
int win_alive(port_handle h)
{
    DWORD errors = 0;
    COMSTAT status{};
    return ClearCommError(h, &errors, &status) ? 1 : 0;
}

void win_close(port_handle h)
{
    CloseHandle(h);
}

int win_modem(port_handle h, uint32_t* lines)
{
    DWORD bits = 0;
    if (!GetCommModemStatus(h, &bits))
        return 0;
    *lines = ((bits & MS_CTS_ON) ? PORT_LINE_CTS : 0u) | ((bits & MS_DSR_ON) ? PORT_LINE_DSR : 0u) |
             ((bits & MS_RING_ON) ? PORT_LINE_RI : 0u) | ((bits & MS_RLSD_ON) ? PORT_LINE_DCD : 0u);
    return 1;
}

constexpr port_ops win_ops = {
    win_open,         win_get_state, win_set_state, win_get_timeouts,
    win_set_timeouts, win_read,      win_write,     win_tick,
    win_alive,        win_close,     win_modem,
};

}  // namespace

const port_ops& port_platform()
{
    return win_ops;
}
