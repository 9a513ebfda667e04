// A fake device on the fake port (fake_port.h), for the tests of the
// programming job: it decodes every SLIP frame the tool writes and, when it
// answers that frame, queues an acknowledgement on the port's input. The
// tick moves only when a read finds nothing (fake.silent_read_ms), so a time
// limit is reached after a known number of silent reads, never by the
// machine being slow. One device per test executable: `device`, reset with
// the port by use_fake_device() in each test.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "fake_port.h"
#include "lpkt.h"
#include "slip.h"

struct fake_device {
    std::vector<bytes> frames;          // every frame received, unescaped, check value included
    std::vector<uint32_t> frame_ticks;  // the tick at which each frame was complete
    bool answer = true;                 // false: nothing is acknowledged
    // Which frames get an ACK (the frame is already in `frames`); all when empty.
    std::function<bool(const bytes& frame)> acknowledges;
    slip_decoder decoder;
};

inline fake_device device;

// ACK and its NUL in a packet with its check value, SLIP-framed.
inline const bytes ack_frame{0xC0, 0x41, 0x43, 0x4B, 0x00, 0x13, 0x45, 0xBD, 0x63, 0xC0};

// The port's write, with what it took going on to the device.
inline uint32_t device_write(port_handle h, const void* src, uint32_t n)
{
    uint32_t k = fake_write(h, src, n);
    slip_frame f{};
    for (uint32_t i = 0; i < k; ++i) {
        // Arrival times are of no use here: the tick is the port's.
        if (!slip_feed(&device.decoder, static_cast<const uint8_t*>(src)[i], 0, &f))
            continue;
        EXPECT_EQ(f.status, SLIP_FRAME_OK) << "frame " << device.frames.size();
        device.frames.push_back(f.bytes);
        device.frame_ticks.push_back(fake.now);
        if (device.answer && (!device.acknowledges || device.acknowledges(device.frames.back())))
            feed(ack_frame);
    }
    return k;
}

// The port operations played by the fake port and the device behind it.
inline constexpr port_ops fake_device_ops = {
    fake_open, fake_get_state, fake_set_state, fake_get_timeouts, fake_set_timeouts,
    fake_read, device_write,   fake_tick,      fake_alive,        fake_close, fake_modem,
};

// A fresh port and device, for a job given fake_device_ops.
inline void use_fake_device()
{
    fake = fake_port{};
    device = fake_device{};
    slip_decoder_init(&device.decoder);
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
