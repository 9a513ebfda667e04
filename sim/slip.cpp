#include "slip.h"

#include <utility>

std::vector<uint8_t> slip_encode(std::span<const uint8_t> packet)
{
    std::vector<uint8_t> frame;
    if (packet.empty())
        return frame;
    frame.reserve(packet.size() * 2 + 2);
    frame.push_back(SLIP_END);
    for (uint8_t b : packet) {
        if (b == SLIP_END) {
            frame.push_back(SLIP_ESC);
            frame.push_back(SLIP_ESC_END);
        } else if (b == SLIP_ESC) {
            frame.push_back(SLIP_ESC);
            frame.push_back(SLIP_ESC_ESC);
        } else {
            frame.push_back(b);
        }
    }
    frame.push_back(SLIP_END);
    return frame;
}

void slip_decoder_init(slip_decoder* t)
{
    t->current = slip_frame{};
    t->escaped = false;
    t->collecting = false;
}

static void store(slip_decoder* t, uint8_t b)
{
    if (t->current.bytes.size() >= SLIP_MAX_FRAME) {
        t->current.status = SLIP_FRAME_TOO_LONG;
        return;
    }
    t->current.bytes.push_back(b);
}

static uint8_t unescape(slip_decoder* t, uint8_t b)
{
    if (b == SLIP_ESC_END)
        return SLIP_END;
    if (b == SLIP_ESC_ESC)
        return SLIP_ESC;
    // The byte is kept, as the tool's own decoder keeps it, but the frame is
    // marked: no well-behaved sender produces it.
    if (t->current.status == SLIP_FRAME_OK)
        t->current.status = SLIP_FRAME_BAD_ESCAPE;
    return b;
}

bool slip_feed(slip_decoder* t, uint8_t byte, int64_t now_us, slip_frame* out)
{
    if (!t->collecting) {
        t->collecting = true;
        t->current.first_byte_us = now_us;
    }
    t->current.raw_bytes += 1;
    if (t->escaped) {
        t->escaped = false;
        store(t, unescape(t, byte));
        return false;
    }
    if (byte == SLIP_ESC) {
        t->escaped = true;
        return false;
    }
    if (byte != SLIP_END) {
        store(t, byte);
        return false;
    }
    if (t->current.bytes.empty() && t->current.status == SLIP_FRAME_OK)
        return false;  // leading END or empty frame
    *out = std::move(t->current);
    slip_decoder_init(t);
    return true;
}
