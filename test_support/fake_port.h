// A fake port behind the port seam, for the tests of the serial layer and,
// under fake_device.h, of the programming job: a test hands `fake_ops` (or a
// copy with an entry replaced) to what it tests. Input is a queue of byte
// values; a TIMEOUT entry makes one read come back empty, as a read time-out
// does. An exhausted queue reads nothing, i.e. silence. Everything written
// is kept, and every failure the seam can report is at the test's command.
// One port per test executable: `fake`, reset by each test.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "port.h"
#include "ser.h"

using bytes = std::vector<uint8_t>;

constexpr int TIMEOUT = -1;

struct fake_port {
    std::deque<int> input;
    bytes output;
    std::vector<std::string> opened;
    int reads = 0;
    int writes = 0;
    int get_state_calls = 0;
    int set_state_calls = 0;
    int set_timeouts_calls = 0;
    int state_ok = 1;
    int timeouts_ok = 1;
    uint32_t write_limit = 0xFFFFFFFFu;  // most bytes one write takes
    int writes_before_failure = -1;      // -1: never fails
    bool endless_input = false;          // reads always fill the buffer
    uint32_t now = 0;
    uint32_t tick_step = 0;       // added to the tick after each reading of it
    uint32_t silent_read_ms = 0;  // added to the tick by each read that finds nothing
    DCB dcb{};
    COMMTIMEOUTS timeouts{};
    std::vector<COMMTIMEOUTS> read_timeouts;  // time-outs in force at each read
    port_handle last_handle = nullptr;
    bool alive = true;  // what alive answers
    int closed = 0;
    bool has_modem = false;    // whether modem reads; a pty's has no modem lines
    uint32_t modem_lines = 0;  // PORT_LINE_* bits modem reports
};

inline fake_port fake;

inline void feed(const bytes& b)
{
    fake.input.insert(fake.input.end(), b.begin(), b.end());
}

inline port_handle fake_open(const char* name)
{
    fake.opened.emplace_back(name);
    return &fake;
}

inline int fake_get_state(port_handle h, DCB* dcb)
{
    fake.last_handle = h;
    fake.get_state_calls += 1;
    if (!fake.state_ok)
        return 0;
    *dcb = fake.dcb;
    return 1;
}

inline int fake_set_state(port_handle h, DCB* dcb)
{
    fake.last_handle = h;
    fake.set_state_calls += 1;
    fake.dcb = *dcb;
    return 1;
}

inline int fake_get_timeouts(port_handle, COMMTIMEOUTS* to)
{
    if (!fake.timeouts_ok)
        return 0;
    *to = fake.timeouts;
    return 1;
}

inline int fake_set_timeouts(port_handle, COMMTIMEOUTS* to)
{
    fake.set_timeouts_calls += 1;
    fake.timeouts = *to;
    return 1;
}

inline uint32_t fake_read(port_handle, void* dst, uint32_t n)
{
    fake.reads += 1;
    fake.read_timeouts.push_back(fake.timeouts);
    uint8_t* out = static_cast<uint8_t*>(dst);
    if (fake.endless_input) {
        std::memset(out, 0x55, n);
        return n;
    }
    uint32_t k = 0;
    if (!fake.input.empty() && fake.input.front() == TIMEOUT)
        fake.input.pop_front();
    else
        while (k < n && !fake.input.empty() && fake.input.front() != TIMEOUT) {
            out[k++] = static_cast<uint8_t>(fake.input.front());
            fake.input.pop_front();
        }
    if (k == 0)
        fake.now += fake.silent_read_ms;
    return k;
}

inline uint32_t fake_write(port_handle, const void* src, uint32_t n)
{
    fake.writes += 1;
    if (fake.writes > 10000) {
        // No test writes this often; take the rest so a looping writer ends.
        ADD_FAILURE() << "the writer keeps calling write";
        return n;
    }
    if (fake.writes_before_failure == 0)
        return 0;
    if (fake.writes_before_failure > 0)
        fake.writes_before_failure -= 1;
    uint32_t k = n < fake.write_limit ? n : fake.write_limit;
    const uint8_t* in = static_cast<const uint8_t*>(src);
    fake.output.insert(fake.output.end(), in, in + k);
    return k;
}

inline uint32_t fake_tick()
{
    uint32_t t = fake.now;
    fake.now += fake.tick_step;
    return t;
}

inline int fake_alive(port_handle)
{
    return fake.alive ? 1 : 0;
}

inline void fake_close(port_handle)
{
    fake.closed += 1;
}

inline int fake_modem(port_handle, uint32_t* lines)
{
    *lines = fake.modem_lines;
    return fake.has_modem ? 1 : 0;
}

inline constexpr port_ops fake_ops = {
    fake_open, fake_get_state, fake_set_state, fake_get_timeouts, fake_set_timeouts,
    fake_read, fake_write,     fake_tick,      fake_alive,        fake_close, fake_modem,
};

// The fake port, open and not yet configured, as a port owner holds it.
inline ser_port fake_line(const port_ops& ops = fake_ops)
{
    return ser_port{&ops, &fake, 0, {}, {}};
}
