// The device simulator's model (simloop, without its pty) behind the port
// seam, on a virtual clock: one process, one thread, no sleeping. A read that
// would wait moves the clock to the model's next event instead, so a run of
// a whole image takes milliseconds whatever the device's timing, and the
// same schedule of faults always gives the same run.
//
// The handle that virtual_open gives is the virtual_line itself; reads follow
// the three time-out sets the serial layer uses, with the Windows meanings:
//   wait   (interval MAXDWORD, multiplier MAXDWORD, constant C): wait up to C ms
//          for the first byte, then return what has arrived
//   now    (interval MAXDWORD, 0, 0): what has arrived, at once
//   other  (the drain set): return after `constant` ms with what came by then
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>

#include "port.h"
#include "simloop.h"

struct virtual_line {
    simloop sim{};
    int64_t now_us = 0;
    std::deque<uint8_t> arrived;  // bytes at the tool's end, not read yet
    DCB dcb{};
    COMMTIMEOUTS timeouts{};
    uint64_t reads = 0;
};

// The line the port operations act on; set before virtual_open.
inline virtual_line* virtual_current = nullptr;

inline void virtual_line_init(virtual_line* t, const options& opt)
{
    simloop_init(&t->sim, opt, 0);
    t->now_us = 0;
    t->arrived.clear();
    t->reads = 0;
}

// Runs the model at the current time and moves what it has sent to the
// tool's end.
inline void virtual_line_step(virtual_line* t)
{
    simloop_run_due(&t->sim, t->now_us);
    simloop_collect_writes(&t->sim, t->now_us);
    t->arrived.insert(t->arrived.end(), t->sim.unsent.begin(), t->sim.unsent.end());
    t->sim.bytes_out += t->sim.unsent.size();
    t->sim.unsent.clear();
}

// Moves the clock from event to event up to `until_us`; with stop_on_byte it
// stops at the first moment a byte has arrived.
inline void virtual_line_advance(virtual_line* t, int64_t until_us, bool stop_on_byte)
{
    for (;;) {
        virtual_line_step(t);
        if (stop_on_byte && !t->arrived.empty())
            return;
        int64_t next = std::max(simloop_next_due(&t->sim), t->now_us + 1);
        if (next > until_us) {
            if (t->now_us < until_us) {
                t->now_us = until_us;
                virtual_line_step(t);
            }
            return;
        }
        t->now_us = next;
    }
}

inline uint32_t virtual_take(virtual_line* t, uint8_t* dst, uint32_t n)
{
    uint32_t k = std::min<uint32_t>(n, static_cast<uint32_t>(t->arrived.size()));
    std::copy_n(t->arrived.begin(), k, dst);
    t->arrived.erase(t->arrived.begin(), t->arrived.begin() + k);
    return k;
}

inline uint32_t virtual_read(port_handle h, void* dst, uint32_t n)
{
    auto* t = static_cast<virtual_line*>(h);
    t->reads += 1;
    uint8_t* out = static_cast<uint8_t*>(dst);
    if (!t->arrived.empty())
        return virtual_take(t, out, n);
    const COMMTIMEOUTS& to = t->timeouts;
    int64_t span_us = int64_t{to.ReadTotalTimeoutConstant} * 1000;
    if (to.ReadIntervalTimeout == MAXDWORD && to.ReadTotalTimeoutMultiplier == 0 && to.ReadTotalTimeoutConstant == 0)
        virtual_line_advance(t, t->now_us, false);
    else if (to.ReadIntervalTimeout == MAXDWORD && to.ReadTotalTimeoutMultiplier == MAXDWORD)
        virtual_line_advance(t, t->now_us + span_us, true);
    else
        virtual_line_advance(t, t->now_us + span_us, false);
    return virtual_take(t, out, n);
}

inline uint32_t virtual_write(port_handle h, const void* src, uint32_t n)
{
    auto* t = static_cast<virtual_line*>(h);
    simloop_take_bytes(&t->sim, static_cast<const uint8_t*>(src), n, t->now_us);
    return n;
}

inline port_handle virtual_open(const char*)
{
    return virtual_current;
}

inline int virtual_get_state(port_handle h, DCB* dcb)
{
    *dcb = static_cast<virtual_line*>(h)->dcb;
    return 1;
}

inline int virtual_set_state(port_handle h, DCB* dcb)
{
    static_cast<virtual_line*>(h)->dcb = *dcb;
    return 1;
}

inline int virtual_get_timeouts(port_handle h, COMMTIMEOUTS* to)
{
    *to = static_cast<virtual_line*>(h)->timeouts;
    return 1;
}

inline int virtual_set_timeouts(port_handle h, COMMTIMEOUTS* to)
{
    static_cast<virtual_line*>(h)->timeouts = *to;
    return 1;
}

inline uint32_t virtual_tick()
{
    return static_cast<uint32_t>(virtual_current->now_us / 1000);
}

inline int virtual_alive(port_handle)
{
    return 1;
}

inline void virtual_close(port_handle) {}

inline int virtual_modem(port_handle, uint32_t*)
{
    return 0;
}

inline constexpr port_ops virtual_ops = {
    virtual_open,  virtual_get_state, virtual_set_state, virtual_get_timeouts, virtual_set_timeouts,
    virtual_read,  virtual_write,     virtual_tick,      virtual_alive,        virtual_close, virtual_modem,
};
