// SLIP byte stuffing as the device speaks it: each packet travels as
// END, the packet with END and ESC escaped, END.
//
// The decoder is fed one byte at a time, as bytes come off the line, and
// notes for each frame how many raw bytes it took on the wire and when its
// first byte came in, so that the line-speed model can hold the frame back
// until a real line would have delivered it.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

enum slip_byte : uint8_t {
    SLIP_END = 0xC0,      // frame delimiter, before and after every frame
    SLIP_ESC = 0xDB,      // escape: the next byte stands for a data byte
    SLIP_ESC_END = 0xDC,  // after ESC: the data byte 0xC0
    SLIP_ESC_ESC = 0xDD,  // after ESC: the data byte 0xDB
};

// The longest frame the device takes, in decoded bytes; longer ones are
// thrown away whole. The tool never sends more than a 10000-byte frame.
constexpr size_t SLIP_MAX_FRAME = 10000;

// Frame of a packet: END, escaped bytes, END. An empty packet gives no bytes.
std::vector<uint8_t> slip_encode(std::span<const uint8_t> packet);

enum slip_frame_status : int32_t {
    SLIP_FRAME_OK = 0,
    SLIP_FRAME_BAD_ESCAPE = 1,  // ESC followed by neither ESC_END nor ESC_ESC
    SLIP_FRAME_TOO_LONG = 2,    // more than SLIP_MAX_FRAME decoded bytes
};

struct slip_frame {
    std::vector<uint8_t> bytes;  // decoded packet
    int32_t status;              // slip_frame_status
    uint64_t raw_bytes;          // wire bytes from the end of the previous frame to this END
    int64_t first_byte_us;       // arrival of the first of those bytes
};

struct slip_decoder {
    slip_frame current;
    bool escaped;     // the previous byte was ESC
    bool collecting;  // at least one raw byte of the current frame seen
};

void slip_decoder_init(slip_decoder* t);

// Feeds one byte that arrived at now_us. Returns true when it closed a frame;
// the frame is then moved to *out and the decoder starts on the next one.
// END bytes with nothing in front of them only count towards the next
// frame's wire bytes.
bool slip_feed(slip_decoder* t, uint8_t byte, int64_t now_us, slip_frame* out);
