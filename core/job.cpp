#include "job.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "job_state.h"
#include "layer.h"
#include "lguard.h"
#include "lpkt.h"
#include "lprog.h"
#include "mlb.h"
#include "plm.h"
#include "ser.h"
#include "sink.h"
#include "zassert.h"

// The one buffer takes a whole frame as the serial layer receives it, and a
// command with the packet layer's header in front of it.
static_assert(int32_t{ZEL_BUFFER_SIZE} >= int32_t{SER_FRAME_MAX}, "the message buffer must hold a received frame");
static_assert(int32_t{ZEL_HEADROOM} >= int32_t{LPKT_HEADER_SIZE}, "the headroom must hold the tagged header");
static_assert(uint32_t{LGUARD_TIMEOUT_MS} * 1000 == uint32_t{ZEL_READ_TIMEOUT_US}, "the guard's idea of late is the reply time-out");

// The image copy covers a whole number of chunks, so the last PROGRAM never
// reads past it; the padding is erased-flash 0xFF, so it clears no bits.
static uint8_t* copy_image(const uint8_t* image, uint32_t length, int chunk)
{
    size_t c = static_cast<size_t>(chunk);
    size_t padded = (size_t{length} + c - 1) / c * c;
    uint8_t* copy = static_cast<uint8_t*>(std::malloc(padded));
    if (!copy)
        return nullptr;
    std::memcpy(copy, image, length);
    std::memset(copy + length, 0xFF, padded - length);
    return copy;
}

static void build_stack(job* t)
{
    const job_config& c = t->config;
    t->mbuf = mlb_alloc(ZEL_BUFFER_SIZE);
    t->prog = lprog_alloc();
    lprog_init(t->prog, c.out, c.seams.clock);
    t->pkt = lpkt_alloc();
    lpkt_init(t->pkt);
    lpkt_set_peer(t->pkt, 0);
    t->guard = lguard_alloc();
    lguard_init(t->guard, c.seams.ops, t->prog, t->pkt);
    t->link = layer_alloc();
    ser_bind(t->link, &t->port);
    if (c.quick)
        t->link->rx = ser_rx_arrived;
    plm_insert(&t->stack, t->prog, PLM_TOP, nullptr);
    layer* above_pkt = t->prog;
    if (!c.unguarded) {
        plm_insert(&t->stack, t->guard, PLM_BELOW, t->prog);
        above_pkt = t->guard;
    }
    plm_insert(&t->stack, t->pkt, PLM_BELOW, above_pkt);
    plm_insert(&t->stack, t->link, PLM_BELOW, t->pkt);
}

job* job_start(const job_config& config, ser_port port, const uint8_t* image, uint32_t length)
{
    ZEL_ASSERT(image);
    ZEL_ASSERT(length);
    ZEL_ASSERT(config.chunk > 0);
    ZEL_ASSERT(port.ops == config.seams.ops);
    job* t = new (std::nothrow) job{};
    if (t == nullptr) {
        if (!config.lent)
            ser_close(&port);
        return nullptr;
    }
    t->config = config;
    t->port = port;
    t->filebuf = copy_image(image, length, config.chunk);
    if (t->filebuf == nullptr) {
        job_close(t);
        return nullptr;
    }
    sink_printf(config.out, "\nFlash Image Size %lx\n", static_cast<unsigned long>(length));
    build_stack(t);
    // Whatever the device sent before we spoke (an answer from an earlier
    // session) must not be taken for the answer to ERASE.
    ser_discard(&t->port);
    lprog_start(t->prog, t->filebuf, length, config.addr, config.chunk);
    return t;
}

static void free_layer(layer* l)
{
    if (l == nullptr)
        return;
    std::free(l->p_);
    std::free(l);
}

void job_close(job* t)
{
    if (t == nullptr)
        return;
    if (!t->config.lent)
        ser_close(&t->port);
    free_layer(t->prog);
    free_layer(t->guard);
    free_layer(t->pkt);
    std::free(t->link);  // its p_ is the job's own port record
    std::free(t->mbuf);
    std::free(t->filebuf);
    delete t;
}

int job_poll(job* t)
{
    if (t == nullptr)
        return 0;
    mlb_reset(t->mbuf, 0, ZEL_HEADROOM);
    if (!lguard_settling(t->guard))
        plm_tx(&t->stack, t->mbuf);
    // While the answer to a frame sent before may come at any moment (the
    // guard keeps its repeat back), the drain after the read takes only what
    // has arrived: an ERASE answered once the device has erased would
    // otherwise be thrown away whenever it came during the drain.
    if (!t->config.quick && lguard_hold_left_ms(t->guard) > 0)
        ser_rx_arrived(t->link, t->mbuf);
    else
        plm_rx(&t->stack, t->mbuf);
    return lprog_done(t->prog);
}

job_probe_answer job_probe(const job_config& config, const ser_port& port, uint32_t wait_ms)
{
    static const sink silent{nullptr, nullptr, nullptr, nullptr};
    static const uint8_t one_byte[1] = {0xFF};
    job_config c = config;
    c.chunk = 1;
    c.addr = 0;
    c.out = &silent;
    c.quick = 1;
    c.unguarded = 1;  // one question, one answer: nothing for a guard to hold
    c.lent = 1;
    job_ptr t(job_start(c, port, one_byte, 1));
    if (!t)
        return JOB_PROBE_SILENT;
    lprog_skip_erase(t->prog);
    ser_set_timeout(&t->port, wait_ms);
    const port_ops& ops = *c.seams.ops;
    for (int asked = 0; asked < 2; ++asked) {
        uint32_t switched = lpkt_switches(t->pkt);
        job_poll(t.get());
        sink_progress at{};
        lprog_progress(t->prog, &at);
        if (at.phase != LPROG_WAIT_ERASE)
            return JOB_PROBE_LOADER;
        if (!ops.alive(t->port.handle))
            return JOB_PROBE_GONE;
        if (lpkt_switches(t->pkt) == switched)
            break;
    }
    return JOB_PROBE_SILENT;
}
