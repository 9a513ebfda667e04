// Fuzz target for the receive path: bytes on the line -> ser_recv_frame's
// SLIP decoding -> the packet layer's check and split -> the programming
// layer's reply check and phase change, the real stack over a fake port.
// Each poll also runs the transmit direction, and every frame written is
// decoded again and held against the message the layers built.
//
// Input: byte 0 chooses the setup, the rest is what the device sends.
//   bit 0: packet layer starts in tagged framing
//   bit 1: the line goes on sending while the layer drains
//   bits 2-4: number of polls, 1..8
//   bits 5-7: the programming phase to start from (after arming)
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "layer.h"
#include "local_time.h"
#include "lpkt.h"
#include "lprog.h"
#include "mlb.h"
#include "plm.h"
#include "port.h"
#include "ser.h"
#include "slip.h"

namespace {

struct line_state {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t pos = 0;
    bool noisy_drain = false;
    COMMTIMEOUTS timeouts{};
    std::vector<uint8_t> written;
};

line_state line;

bool draining()
{
    return line.timeouts.ReadIntervalTimeout == SER_DRAIN_INTERVAL_MS &&
           line.timeouts.ReadTotalTimeoutConstant == SER_DRAIN_TOTAL_MS;
}

uint32_t fake_read(port_handle, void* dst, uint32_t n)
{
    if (draining() && !line.noisy_drain)
        return 0;  // the line is quiet once the frame is over
    size_t left = line.size - line.pos;
    size_t k = n < left ? n : left;
    if (draining() && k > 7)
        k = 7;  // a little noise per drain read
    std::memcpy(dst, line.data + line.pos, k);
    line.pos += k;
    return static_cast<uint32_t>(k);
}

uint32_t fake_write(port_handle, const void* src, uint32_t n)
{
    const uint8_t* b = static_cast<const uint8_t*>(src);
    line.written.insert(line.written.end(), b, b + n);
    return n;
}

int fake_get_state(port_handle, DCB* dcb)
{
    std::memset(dcb, 0, sizeof *dcb);
    return 1;
}

int fake_set_state(port_handle, DCB*)
{
    return 1;
}

int fake_get_timeouts(port_handle, COMMTIMEOUTS* to)
{
    *to = line.timeouts;
    return 1;
}

int fake_set_timeouts(port_handle, COMMTIMEOUTS* to)
{
    line.timeouts = *to;
    return 1;
}

uint32_t tick_now = 0;

uint32_t fake_tick()
{
    return tick_now += 3;
}

port_handle fake_open(const char*)
{
    return &line;
}

// The line's operations: never alive- or close-checked.
constexpr port_ops line_ops = {fake_open, fake_get_state, fake_set_state, fake_get_timeouts, fake_set_timeouts,
                               fake_read, fake_write,     fake_tick,      nullptr,           nullptr,  nullptr};

struct stack_state {
    ser_port port{&line_ops, nullptr, 0, {}, {}};
    plm* stack = nullptr;
    layer* prog = nullptr;
    layer* pkt = nullptr;
    layer* link = nullptr;
    mlb* m = nullptr;
    uint8_t image[768];  // three whole chunks of 256; 600 bytes are the image
};

stack_state s;

void build_stack()
{
    s.stack = plm_alloc();
    s.prog = lprog_alloc();
    s.pkt = lpkt_alloc();
    s.link = layer_alloc();
    s.m = mlb_alloc(SER_FRAME_MAX);
    lprog_init(s.prog, nullptr, fixed_clock);
    lpkt_init(s.pkt);
    plm_insert(s.stack, s.prog, PLM_TOP, nullptr);
    plm_insert(s.stack, s.pkt, PLM_BELOW, s.prog);
    s.port.handle = line_ops.open("fuzz");
    ser_config(&s.port, 115200, 120000);
    ser_bind(s.link, &s.port);
    plm_insert(s.stack, s.link, PLM_BELOW, s.pkt);
    for (size_t i = 0; i < sizeof s.image; ++i)
        s.image[i] = static_cast<uint8_t>(i * 13 + 5);
}

// Every frame written must be the message the layers built, SLIP-framed
// exactly as the device's own encoder frames it: one END on each side, each
// END and ESC in the message escaped, nothing else escaped or added. An
// empty message writes nothing (the encoder gives no bytes for it).
void check_transmit()
{
    if (line.written != slip_encode({mlb_hdr(s.m), static_cast<size_t>(mlb_len(s.m))}))
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The programming layer reports progress on the console.
    if (!std::freopen("/dev/null", "w", stdout))
        return 0;
    build_stack();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    uint8_t setup = data[0];
    line.data = data + 1;
    line.size = size - 1;
    line.pos = 0;
    line.noisy_drain = (setup & 0x02) != 0;

    // The links stay as built; only the layers' own state starts afresh.
    lpkt_set_tag(s.pkt, 0x5A454C31u);
    lpkt_set_peer(s.pkt, 0x44455631u);
    static_cast<lpkt*>(s.pkt->p_)->mode = (setup & 0x01) ? LPKT_TAGGED : LPKT_PLAIN;
    lprog_start(s.prog, s.image, 600, 0x08000000u, 256);
    static const int32_t phases[8] = {LPROG_ERASE,       LPROG_WAIT_ERASE, LPROG_PROGRAM, LPROG_PROGRAM,
                                      LPROG_FIRST_AGAIN, LPROG_SET_CLOCK,  LPROG_RESET,   LPROG_IDLE};
    static_cast<lprog*>(s.prog->p_)->phase = phases[setup >> 5];

    int polls = 1 + ((setup >> 2) & 0x07);
    for (int k = 0; k < polls; ++k) {
        line.written.clear();
        mlb_reset(s.m, 0, 12);
        plm_tx(s.stack, s.m);
        check_transmit();
        plm_rx(s.stack, s.m);
        if (line.pos >= line.size)
            break;
    }
    return 0;
}
