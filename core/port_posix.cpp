// The port seam on POSIX systems (Linux; also builds on macOS).
//
// A port name is a device path taken as it is ("/dev/ttyUSB0", "/dev/pts/3").
// The port opens exclusively, as a Windows COM port does: TIOCEXCL keeps
// other programs' opens out, and flock() an advisory lock that programs
// sharing the convention (and a second open by this one) respect even when
// they run with the privilege that bypasses TIOCEXCL.
//
// The Windows line settings and time-outs are kept in a small record behind
// the handle. The line settings that termios can express are written to and
// read back from the device; the read time-outs are carried out with poll().
//
// On Linux the driver is asked for low latency while the port is open.
#include "port.h"
#include "port_posix.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#ifdef __linux__
#include <linux/serial.h>
#endif

BYTE port_posix_byte_size(tcflag_t cflag)
{
    switch (cflag & CSIZE) {
    case CS5: return 5;
    case CS6: return 6;
    case CS7: return 7;
    default: return 8;
    }
}

static tcflag_t byte_size_flag(BYTE size)
{
    switch (size) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    default: return CS8;
    }
}

void port_posix_line_from_termios(const termios& tio, DCB* dcb)
{
    dcb->ByteSize = port_posix_byte_size(tio.c_cflag);
    if (!(tio.c_cflag & PARENB))
        dcb->Parity = NOPARITY;
    else
        dcb->Parity = (tio.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    dcb->StopBits = (tio.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
    dcb->fParity = (tio.c_iflag & INPCK) ? 1 : 0;
    dcb->fOutxCtsFlow = (tio.c_cflag & CRTSCTS) ? 1 : 0;
    dcb->fOutX = (tio.c_iflag & IXON) ? 1 : 0;
    dcb->fInX = (tio.c_iflag & IXOFF) ? 1 : 0;
}

void port_posix_line_to_termios(const DCB& dcb, termios* tio)
{
    tio->c_cflag |= CLOCAL | CREAD;
    tio->c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    tio->c_cflag |= byte_size_flag(dcb.ByteSize);
    if (dcb.Parity == ODDPARITY)
        tio->c_cflag |= PARENB | PARODD;
    else if (dcb.Parity == EVENPARITY)
        tio->c_cflag |= PARENB;
    if (dcb.StopBits == TWOSTOPBITS)
        tio->c_cflag |= CSTOPB;
    if (dcb.fOutxCtsFlow)
        tio->c_cflag |= CRTSCTS;
    tio->c_iflag &= ~static_cast<tcflag_t>(INPCK | IXON | IXOFF | IXANY);
    if (dcb.fParity)
        tio->c_iflag |= INPCK;
    if (dcb.fOutX)
        tio->c_iflag |= IXON;
    if (dcb.fInX)
        tio->c_iflag |= IXOFF;
}

port_posix_latency port_posix_latency_flags(int reported, int bit, bool on)
{
    int flags = on ? (reported | bit) : (reported & ~bit);
    return {flags != reported, flags};
}

namespace {

struct posix_port {
    int fd;
    DCB dcb;                // the last settings applied (fields termios cannot hold)
    COMMTIMEOUTS timeouts;  // in force for reads; all zero after open, as on Windows
    // The terminal as it was opened, every flag and control character (a DCB
    // holds only the line settings), and its modem lines; put back on close.
    termios opened;
    bool has_opened;
    int modem_lines;
    bool has_modem_lines;
    // Whether the driver had low latency on before open asked for it; close
    // puts that back. Only when the driver answered the request at all.
    bool latency_was;
    bool has_latency;
};

posix_port* record(port_handle h)
{
    return static_cast<posix_port*>(h);
}

struct speed_entry {
    DWORD baud;
    speed_t code;
};

// The speeds termios names; others are refused.
constexpr speed_entry speeds[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
};

bool speed_code(DWORD baud, speed_t* code)
{
    for (const speed_entry& e : speeds)
        if (e.baud == baud) {
            *code = e.code;
            return true;
        }
    return false;
}

DWORD speed_baud(speed_t code)
{
    for (const speed_entry& e : speeds)
        if (e.code == code)
            return e.baud;
    return 0;
}

uint32_t monotonic_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

// Milliseconds for poll(): -1 waits without end.
int poll_ms(int64_t ms)
{
    if (ms < 0)
        return -1;
    return ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms);
}

#ifdef __linux__
// Many USB serial adapters (FTDI's above all) hold what they receive up to
// 16 ms before passing it on, unless the driver is asked for low latency; a
// stop-and-wait protocol pays that on every reply, seconds over an image.
// A driver without the setting (a pty) refuses the ioctl, and the port works
// as it would have: nothing here can fail an open.
void ask_low_latency(posix_port* t)
{
    serial_struct ss{};
    if (ioctl(t->fd, TIOCGSERIAL, &ss) != 0)
        return;
    t->has_latency = true;
    t->latency_was = (ss.flags & ASYNC_LOW_LATENCY) != 0;
    port_posix_latency c = port_posix_latency_flags(ss.flags, ASYNC_LOW_LATENCY, true);
    if (c.write) {
        ss.flags = c.flags;
        ioctl(t->fd, TIOCSSERIAL, &ss);  // refused: the port is just slower
    }
}

// Read again rather than kept from open, so that only our bit goes back.
void put_back_latency(const posix_port* t)
{
    serial_struct ss{};
    if (!t->has_latency || ioctl(t->fd, TIOCGSERIAL, &ss) != 0)
        return;
    port_posix_latency c = port_posix_latency_flags(ss.flags, ASYNC_LOW_LATENCY, t->latency_was);
    if (c.write) {
        ss.flags = c.flags;
        ioctl(t->fd, TIOCSSERIAL, &ss);
    }
}
#else
// Only Linux has the request; elsewhere the driver keeps its own timing.
void ask_low_latency(posix_port*) {}
void put_back_latency(const posix_port*) {}
#endif

port_handle posix_open(const char* name)
{
    int fd = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return nullptr;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int e = errno;
        ::close(fd);
        errno = e;
        return nullptr;
    }
    ioctl(fd, TIOCEXCL);  // not every device supports it; flock still holds
    // Blocking from here on: a write waits until the device has taken the
    // bytes, and reads wait in poll() under the time-outs.
    int flags = fcntl(fd, F_GETFL);
    if (flags == -1 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1) {
        int e = errno;
        ::close(fd);
        errno = e;
        return nullptr;
    }
    posix_port* t = static_cast<posix_port*>(std::calloc(1, sizeof(posix_port)));
    if (t == nullptr) {
        ::close(fd);
        errno = ENOMEM;
        return nullptr;
    }
    t->fd = fd;
    t->dcb.fBinary = 1;
    t->has_opened = tcgetattr(fd, &t->opened) == 0;
    t->has_modem_lines = ioctl(fd, TIOCMGET, &t->modem_lines) == 0;  // a pty has none
    ask_low_latency(t);
    return t;
}

int posix_get_state(port_handle h, DCB* dcb)
{
    posix_port* t = record(h);
    termios tio{};
    if (tcgetattr(t->fd, &tio) != 0)
        return 0;
    *dcb = t->dcb;
    dcb->BaudRate = speed_baud(cfgetospeed(&tio));
    port_posix_line_from_termios(tio, dcb);
    return 1;
}

// DTR and RTS follow the control fields; a pty has no modem lines, so a
// failure here is ignored.
void set_modem_lines(int fd, const DCB* dcb)
{
    int off = 0;
    int on = 0;
    (dcb->fDtrControl == DTR_CONTROL_DISABLE ? off : on) |= TIOCM_DTR;
    (dcb->fRtsControl == RTS_CONTROL_DISABLE ? off : on) |= TIOCM_RTS;
    if (off)
        ioctl(fd, TIOCMBIC, &off);
    if (on)
        ioctl(fd, TIOCMBIS, &on);
}

int posix_set_state(port_handle h, DCB* dcb)
{
    posix_port* t = record(h);
    speed_t code;
    if (!speed_code(dcb->BaudRate, &code))
        return 0;
    termios tio{};
    if (tcgetattr(t->fd, &tio) != 0)
        return 0;
    cfmakeraw(&tio);  // bytes as they come: no echo, no line editing, no translation
    port_posix_line_to_termios(*dcb, &tio);
    // Reads never wait inside read(): poll() does the waiting.
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (cfsetispeed(&tio, code) != 0 || cfsetospeed(&tio, code) != 0)
        return 0;
    if (tcsetattr(t->fd, TCSANOW, &tio) != 0)
        return 0;
    set_modem_lines(t->fd, dcb);
    t->dcb = *dcb;
    return 1;
}

int posix_get_timeouts(port_handle h, COMMTIMEOUTS* to)
{
    *to = record(h)->timeouts;
    return 1;
}

int posix_set_timeouts(port_handle h, COMMTIMEOUTS* to)
{
    record(h)->timeouts = *to;
    return 1;
}

// Waits up to ms (-1: no limit) for input; 1 when there is some, 0 when the
// time ran out or the line is gone.
int wait_input(int fd, int64_t ms)
{
    pollfd p{fd, POLLIN, 0};
    for (;;) {
        int r = poll(&p, 1, poll_ms(ms));
        if (r < 0 && errno == EINTR)
            continue;  // the limit restarts; an interrupted wait is rare
        if (r <= 0)
            return 0;
        return (p.revents & POLLIN) ? 1 : 0;
    }
}

// Takes what is there, up to n bytes, without waiting; -1 when the line is
// gone or failed.
int64_t take_input(int fd, uint8_t* dst, uint32_t n)
{
    for (;;) {
        ssize_t k = ::read(fd, dst, n);
        if (k < 0 && errno == EINTR)
            continue;
        if (k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return 0;
        if (k <= 0)
            return -1;
        return k;
    }
}

// MAXDWORD / MAXDWORD / T: the first byte is awaited up to T ms, then what is
// there is returned at once. MAXDWORD / 0 / 0: what is there, at once.
uint32_t read_first_then_return(int fd, uint8_t* dst, uint32_t n, int64_t first_ms)
{
    if (!wait_input(fd, first_ms))
        return 0;
    int64_t k = take_input(fd, dst, n);
    return k > 0 ? static_cast<uint32_t>(k) : 0;
}

// The general case: a total limit of multiplier * n + constant ms (none when
// both are 0) and, once a byte has come, an interval limit between bytes
// (none when 0). The read also ends when n bytes have come.
uint32_t read_limited(int fd, uint8_t* dst, uint32_t n, const COMMTIMEOUTS& to)
{
    bool has_total = to.ReadTotalTimeoutMultiplier != 0 || to.ReadTotalTimeoutConstant != 0;
    int64_t total = int64_t{to.ReadTotalTimeoutMultiplier} * n + to.ReadTotalTimeoutConstant;
    bool has_interval = to.ReadIntervalTimeout != 0 && to.ReadIntervalTimeout != MAXDWORD;
    uint32_t start = monotonic_ms();
    uint32_t last = start;
    uint32_t got = 0;
    while (got < n) {
        uint32_t now = monotonic_ms();
        int64_t wait = -1;
        if (has_total) {
            wait = total - int64_t{now - start};
            if (wait <= 0)
                break;
        }
        if (has_interval && got > 0) {
            int64_t gap = int64_t{to.ReadIntervalTimeout} - int64_t{now - last};
            if (gap <= 0)
                break;
            if (wait < 0 || gap < wait)
                wait = gap;
        }
        if (!wait_input(fd, wait))
            break;
        int64_t k = take_input(fd, dst + got, n - got);
        if (k < 0)
            break;
        if (k > 0) {
            got += static_cast<uint32_t>(k);
            last = monotonic_ms();
        }
    }
    return got;
}

uint32_t posix_read(port_handle h, void* dst, uint32_t n)
{
    posix_port* t = record(h);
    if (n == 0)
        return 0;
    uint8_t* bytes = static_cast<uint8_t*>(dst);
    const COMMTIMEOUTS& to = t->timeouts;
    if (to.ReadIntervalTimeout == MAXDWORD && to.ReadTotalTimeoutMultiplier == 0 &&
        to.ReadTotalTimeoutConstant == 0)
        return read_first_then_return(t->fd, bytes, n, 0);
    if (to.ReadIntervalTimeout == MAXDWORD && to.ReadTotalTimeoutMultiplier == MAXDWORD &&
        to.ReadTotalTimeoutConstant != 0 && to.ReadTotalTimeoutConstant != MAXDWORD)
        return read_first_then_return(t->fd, bytes, n, to.ReadTotalTimeoutConstant);
    return read_limited(t->fd, bytes, n, to);
}

uint32_t posix_write(port_handle h, const void* src, uint32_t n)
{
    posix_port* t = record(h);
    const uint8_t* bytes = static_cast<const uint8_t*>(src);
    uint32_t done = 0;
    while (done < n) {
        ssize_t k = ::write(t->fd, bytes + done, n - done);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            break;
        done += static_cast<uint32_t>(k);
    }
    return done;
}

// A hung-up or failed line reports itself to poll() at once, with or
// without input waiting.
int posix_alive(port_handle h)
{
    pollfd p{record(h)->fd, POLLIN, 0};
    int r;
    do
        r = poll(&p, 1, 0);
    while (r < 0 && errno == EINTR);
    if (r < 0)
        return 0;
    return (p.revents & (POLLHUP | POLLERR | POLLNVAL)) ? 0 : 1;
}

void posix_close(port_handle h)
{
    posix_port* t = record(h);
    if (t->has_opened)
        tcsetattr(t->fd, TCSANOW, &t->opened);
    if (t->has_modem_lines)
        ioctl(t->fd, TIOCMSET, &t->modem_lines);
    put_back_latency(t);
    ioctl(t->fd, TIOCNXCL);
    ::close(t->fd);  // also releases the flock
    std::free(t);
}

int posix_modem(port_handle h, uint32_t* lines)
{
    int bits = 0;
    if (ioctl(record(h)->fd, TIOCMGET, &bits) != 0)
        return 0;
    *lines = ((bits & TIOCM_CTS) ? PORT_LINE_CTS : 0u) | ((bits & TIOCM_DSR) ? PORT_LINE_DSR : 0u) |
             ((bits & TIOCM_RI) ? PORT_LINE_RI : 0u) | ((bits & TIOCM_CD) ? PORT_LINE_DCD : 0u);
    return 1;
}

constexpr port_ops posix_ops = {
    posix_open,         posix_get_state, posix_set_state, posix_get_timeouts,
    posix_set_timeouts, posix_read,      posix_write,     monotonic_ms,
    posix_alive,        posix_close,     posix_modem,
};

}  // namespace

const port_ops& port_platform()
{
    return posix_ops;
}
