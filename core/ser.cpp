#include "ser.h"

#include <array>

#include "layer.h"
#include "mlb.h"
#include "zassert.h"

// The line as the protocol wants it. Fields not set here keep what the port
// had.
static void set_protocol_line(DCB* dcb, int32_t baud)
{
    dcb->BaudRate = static_cast<DWORD>(baud);
    dcb->fBinary = 1;                           // raw bytes: no end-of-file character
    dcb->fParity = 0;                           // no parity checking on input
    dcb->fOutxCtsFlow = 0;                      // send regardless of CTS
    dcb->fOutxDsrFlow = 0;                      // send regardless of DSR
    dcb->fDtrControl = DTR_CONTROL_DISABLE;     // DTR held off; the device does not watch it
    dcb->fDsrSensitivity = 0;                   // keep bytes received while DSR is off
    dcb->fTXContinueOnXoff = 1;                 // no XOFF ever stops our sending
    dcb->fOutX = 0;                             // 0x11/0x13 are data, not XON/XOFF, going out...
    dcb->fInX = 0;                              // ...and coming in
    dcb->fErrorChar = 0;                        // bytes with parity errors are not replaced
    dcb->fNull = 0;                             // NUL bytes are delivered: they are data
    dcb->fRtsControl = RTS_CONTROL_DISABLE;     // RTS held off; no hardware handshake
    dcb->fAbortOnError = 0;                     // a line error does not stall later reads and writes
    dcb->ByteSize = 8;                          // 8 data bits
    dcb->Parity = NOPARITY;                     // no parity bit
    dcb->StopBits = ONESTOPBIT;                 // one stop bit
}

// Normal set: a read returns at once with what has arrived; with nothing
// there it waits up to timeout_ms for the first byte and returns as soon as
// one comes. Writes have no time-out.
static void set_normal_timeouts(COMMTIMEOUTS* to, uint32_t timeout_ms)
{
    to->ReadIntervalTimeout = MAXDWORD;
    to->ReadTotalTimeoutMultiplier = MAXDWORD;
    to->ReadTotalTimeoutConstant = timeout_ms;
    to->WriteTotalTimeoutMultiplier = 0;
    to->WriteTotalTimeoutConstant = 0;
}

// Drain set: a read returns after 10 ms, or when more than 10 ms pass
// between two bytes, with whatever arrived. Write time-outs stay as they are.
static void set_drain_timeouts(COMMTIMEOUTS* to)
{
    to->ReadIntervalTimeout = SER_DRAIN_INTERVAL_MS;
    to->ReadTotalTimeoutMultiplier = 0;
    to->ReadTotalTimeoutConstant = SER_DRAIN_TOTAL_MS;
}

int ser_config(ser_port* t, int32_t baud, uint32_t timeout_us)
{
    DCB found;
    COMMTIMEOUTS found_timeouts;
    if (!t->ops->get_state(t->handle, &found))
        return -1;
    if (!t->ops->get_timeouts(t->handle, &found_timeouts))
        return -1;
    if (!t->saved) {
        t->dcb = found;
        t->timeouts = found_timeouts;
        t->saved = 1;
    }

    DCB dcb = found;
    set_protocol_line(&dcb, baud);
    t->ops->set_state(t->handle, &dcb);  // a failure here shows as a silent line, not an error

    COMMTIMEOUTS to = found_timeouts;
    set_normal_timeouts(&to, timeout_us / 1000);
    t->ops->set_timeouts(t->handle, &to);
    return 0;
}

int ser_set_timeout(const ser_port* t, uint32_t timeout_ms)
{
    COMMTIMEOUTS to;
    if (!t->ops->get_timeouts(t->handle, &to))
        return -1;
    set_normal_timeouts(&to, timeout_ms);
    return t->ops->set_timeouts(t->handle, &to) ? 0 : -1;
}

void ser_close(ser_port* t)
{
    if (t->handle == nullptr)
        return;
    if (t->saved) {
        t->ops->set_state(t->handle, &t->dcb);
        t->ops->set_timeouts(t->handle, &t->timeouts);
    }
    t->ops->close(t->handle);
    t->handle = nullptr;
    t->saved = 0;
}

int ser_getc(const ser_port* t)
{
    uint8_t b = 0;
    if (t->ops->read(t->handle, &b, 1) == 0)
        return -1;
    return b;
}

// Encodes a message of n >= 1 bytes into frame; the frame's length, or -1
// when it would not fit in SER_FRAME_MAX bytes.
static int32_t slip_encode(const uint8_t* bytes, int32_t n, uint8_t* frame)
{
    int32_t k = 0;
    frame[k++] = SER_END;
    for (int32_t i = 0; i < n; ++i) {
        uint8_t b = bytes[i];
        int32_t need = (b == SER_END || b == SER_ESC) ? 2 : 1;
        if (k + need + 1 > SER_FRAME_MAX)  // +1: room for the closing END
            return -1;
        if (b == SER_END) {
            frame[k++] = SER_ESC;
            frame[k++] = SER_ESC_END;
        } else if (b == SER_ESC) {
            frame[k++] = SER_ESC;
            frame[k++] = SER_ESC_ESC;
        } else {
            frame[k++] = b;
        }
    }
    frame[k++] = SER_END;
    return k;
}

// Writes all len bytes, advancing by the count the port reports. A write that
// takes nothing ends it: a port that stopped taking bytes would otherwise
// hold the tool forever.
static int write_all(const ser_port* t, const uint8_t* bytes, int32_t len)
{
    uint32_t done = 0;
    uint32_t total = static_cast<uint32_t>(len);
    while (done < total) {
        uint32_t w = t->ops->write(t->handle, bytes + done, total - done);
        if (w == 0)
            return -1;
        if (w > total - done)  // a port cannot take more than it was given
            w = total - done;
        done += w;
    }
    return 0;
}

int ser_send_frame(const ser_port* t, const uint8_t* bytes, int32_t n)
{
    if (n == 0)
        return 0;
    if (n < 0 || n > SER_FRAME_MAX)
        return -1;
    std::array<uint8_t, SER_FRAME_MAX> frame;
    int32_t len = slip_encode(bytes, n, frame.data());
    if (len < 0)
        return -1;
    if (write_all(t, frame.data(), len) < 0)
        return -1;
    return len;
}

// The data byte an escape pair stands for. Any other byte after ESC (END
// included) is taken as data, and a time-out there gives 0xFF.
static uint8_t unescape(int y)
{
    if (y == SER_ESC_END)
        return SER_END;
    if (y == SER_ESC_ESC)
        return SER_ESC;
    return static_cast<uint8_t>(y & 0xFF);
}

int ser_recv_frame(const ser_port* t, uint8_t* dst, int32_t max)
{
    ZEL_ASSERT(max >= 1);
    int32_t i = 0;
    int64_t budget = 2 * int64_t{max};  // bytes this call may read
    for (;;) {
        int x = ser_getc(t);
        if (x == -1)
            return 0;  // silence: the bytes stored so far are abandoned
        if (--budget < 0)
            return 0;  // a flood of END bytes or noise: no frame within reach
        uint8_t b;
        if (x == SER_END) {
            if (i == 0)
                continue;  // leading ENDs and empty frames
            return i;
        } else if (x == SER_ESC) {
            --budget;
            b = unescape(ser_getc(t));
        } else {
            b = static_cast<uint8_t>(x);
        }
        dst[i++] = b;
        if (i >= max)
            return 0;  // too long: abandoned, the drain takes the rest
    }
}

void ser_bind(layer* t, ser_port* port)
{
    t->tx = ser_tx;
    t->rx = ser_rx;
    t->p_ = port;
}

static const ser_port* bound(layer* t)
{
    return static_cast<const ser_port*>(t->p_);
}

void ser_tx(layer* t, mlb* m)
{
    if (t->p_ == nullptr)
        return;
    ser_send_frame(bound(t), mlb_hdr(m), mlb_len(m));  // a refused message is dropped
}

// Reads and throws away whatever is on the line until a read under the drain
// set comes back empty, so that every receive starts on a quiet line. A line
// that never pauses is cut off after SER_DRAIN_MAX_MS or SER_DRAIN_MAX_BYTES.
// When the time-outs cannot be read the drain is skipped: they could not be
// put back, and the next frame would be read under the drain set.
static void drain(const ser_port* t, void (*set_timeouts)(COMMTIMEOUTS* to))
{
    COMMTIMEOUTS kept;
    if (!t->ops->get_timeouts(t->handle, &kept))
        return;
    COMMTIMEOUTS to = kept;
    set_timeouts(&to);
    if (t->ops->set_timeouts(t->handle, &to)) {
        std::array<uint8_t, SER_DRAIN_BLOCK> scratch;
        uint32_t start = t->ops->tick();
        constexpr uint32_t block = SER_DRAIN_BLOCK;
        uint32_t taken = 0;
        for (;;) {
            uint32_t k = t->ops->read(t->handle, scratch.data(), block);
            if (k == 0)
                break;
            taken += k > block ? block : k;
            if (taken >= SER_DRAIN_MAX_BYTES)
                break;
            if (t->ops->tick() - start >= SER_DRAIN_MAX_MS)
                break;
        }
    }
    t->ops->set_timeouts(t->handle, &kept);
}

// Arrived set: a read returns at once with what is there, maybe nothing.
static void set_arrived_timeouts(COMMTIMEOUTS* to)
{
    to->ReadIntervalTimeout = MAXDWORD;
    to->ReadTotalTimeoutMultiplier = 0;
    to->ReadTotalTimeoutConstant = 0;
}

// One frame up, with the line emptied under the given read time-outs.
static void receive(layer* t, mlb* m, void (*drain_timeouts)(COMMTIMEOUTS* to))
{
    if (t->p_ == nullptr)
        return;
    ZEL_ASSERT(m->cap >= SER_FRAME_MAX);
    mlb_reset(m, SER_FRAME_MAX, 0);
    int k = ser_recv_frame(bound(t), mlb_data(m), SER_FRAME_MAX);
    drain(bound(t), drain_timeouts);
    mlb_reset(m, k, 0);
    ZEL_ASSERT(t->upper);
    ZEL_ASSERT(t->upper->rx);
    t->upper->rx(t->upper, m);
}

void ser_rx(layer* t, mlb* m)
{
    receive(t, m, set_drain_timeouts);
}

void ser_rx_arrived(layer* t, mlb* m)
{
    receive(t, m, set_arrived_timeouts);
}

void ser_discard(const ser_port* t)
{
    drain(t, set_arrived_timeouts);
}
