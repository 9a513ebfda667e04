// A fake device behind the port seam, for the tests of the programming job:
// it decodes every SLIP frame the tool writes and, when it answers that
// frame, queues an acknowledgement for the tool to read. Its tick moves only
// when a read finds nothing, so a time limit is reached after a known number
// of silent reads, never by the machine being slow. One device per test
// executable: `device`, reset by each test.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "lpkt.h"
#include "port.h"

using bytes = std::vector<uint8_t>;

struct fake_device {
    std::vector<std::string> opened;
    std::vector<bytes> frames;           // every frame received, unescaped, check value included
    std::vector<uint32_t> frame_ticks;   // the tick at which each frame was complete
    bytes partial;
    bool escaped = false;
    bool answer = true;                  // false: nothing is acknowledged
    // Which frames get an ACK (the frame is already in `frames`); all when empty.
    std::function<bool(const bytes& frame)> acknowledges;
    bytes pending;
    int reads = 0;
    int writes = 0;
    uint32_t now = 0;             // the tick
    uint32_t silent_read_ms = 0;  // how far the tick moves on a read that finds nothing
    bool alive = true;            // what port.alive answers
    int closed = 0;
};

inline fake_device device;

// ACK and its NUL in a packet with its check value, SLIP-framed.
inline const bytes ack_frame{0xC0, 0x41, 0x43, 0x4B, 0x00, 0x13, 0x45, 0xBD, 0x63, 0xC0};

inline port_handle fake_open(const char* name)
{
    device.opened.emplace_back(name);
    return &device;
}

inline port_handle failing_open(const char*)
{
    return nullptr;
}

inline int fake_state(port_handle, DCB*)
{
    return 1;
}

inline int fake_timeouts(port_handle, COMMTIMEOUTS*)
{
    return 1;
}

inline uint32_t fake_read(port_handle, void* dst, uint32_t n)
{
    ++device.reads;
    uint32_t k = std::min(n, static_cast<uint32_t>(device.pending.size()));
    if (k == 0) {
        device.now += device.silent_read_ms;
        return 0;
    }
    std::memcpy(dst, device.pending.data(), k);
    device.pending.erase(device.pending.begin(), device.pending.begin() + k);
    return k;
}

inline void take_byte(uint8_t b)
{
    if (device.escaped) {
        device.partial.push_back(b == 0xDC ? 0xC0 : b == 0xDD ? 0xDB : b);
        device.escaped = false;
    } else if (b == 0xDB) {
        device.escaped = true;
    } else if (b != 0xC0) {
        device.partial.push_back(b);
    } else if (!device.partial.empty()) {
        device.frames.push_back(device.partial);
        device.frame_ticks.push_back(device.now);
        device.partial.clear();
        bool ack = device.answer && (!device.acknowledges || device.acknowledges(device.frames.back()));
        if (ack)
            device.pending.insert(device.pending.end(), ack_frame.begin(), ack_frame.end());
    }
}

inline uint32_t fake_write(port_handle, const void* src, uint32_t n)
{
    ++device.writes;
    for (uint32_t i = 0; i < n; ++i)
        take_byte(static_cast<const uint8_t*>(src)[i]);
    return n;
}

inline uint32_t fake_tick()
{
    return device.now;
}

inline int fake_alive(port_handle)
{
    return device.alive ? 1 : 0;
}

inline void fake_close(port_handle)
{
    ++device.closed;
}

// Every port operation played by the fake device.
inline port_ops fake_port()
{
    return port_ops{fake_open,     fake_state, fake_state, fake_timeouts, fake_timeouts,
                    fake_read,     fake_write, fake_tick,  fake_alive,    fake_close};
}

// The command a frame carries: the payload in front of the 4-byte check value.
struct command {
    std::string name;
    uint32_t p1, p2;
    bytes data;
};

inline command command_of(const bytes& frame)
{
    command c;
    c.name = reinterpret_cast<const char*>(frame.data());
    c.p1 = frame.size() >= 16 ? get_le32(frame.data() + 8) : 0;
    c.p2 = frame.size() >= 16 ? get_le32(frame.data() + 12) : 0;
    if (frame.size() > 20)
        c.data.assign(frame.begin() + 16, frame.end() - 4);
    return c;
}
