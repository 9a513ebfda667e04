// Fault injection: decides, from one seeded generator, which replies and
// frames are spoilt and how, so that a run with the same options and seed
// repeats exactly. Each kind of fault has a rule: either a probability per
// opportunity, or a count (the first N opportunities are hit).
//
// Opportunities, in the order the generator is consulted:
//   incoming frame:  ignore-frame
//   outgoing reply:  drop, flip, late, slow, noise
// Only kinds that have a rule consult the generator.
//
// A fault can also be aimed at one frame, by its number: the frames the device
// has taken off the line, counted from 1. An aimed fault hits that frame (or
// the reply to it) whatever the rules say, and consumes nothing of the
// generator, so tests can build a run exchange by exchange.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

enum fault_kind : int32_t {
    FAULT_DROP_REPLY = 0,    // the reply is not sent
    FAULT_FLIP_REPLY = 1,    // one bit of the reply packet is inverted
    FAULT_NOISE = 2,         // random bytes follow the reply's closing END
    FAULT_SLOW_REPLY = 3,    // the reply is written a byte at a time with gaps
    FAULT_LATE_REPLY = 4,    // the reply leaves only after the tool's time-out
    FAULT_IGNORE_FRAME = 5,  // an incoming frame is thrown away unread
    FAULT_KINDS = 6,
};

const char* fault_name(int32_t kind);

struct fault_rule {
    double probability;  // 0..1, used when count is 0
    int64_t count;       // > 0: the first `count` opportunities are hit
};

struct fault_timing {
    int64_t slow_gap_us;   // gap between the single bytes of a slow reply
    int64_t late_us;       // delay of a late reply
    int32_t noise_max;     // noise bytes: 1..noise_max
};

// A fault aimed at the frame with this number, or at the reply to it.
struct fault_at {
    int64_t frame;     // 1 for the first frame off the line
    int32_t kind;      // fault_kind
    int64_t delay_us;  // FAULT_LATE_REPLY: how late; 0 takes the timing's late_us
};

struct faults {
    uint64_t state;                               // generator state
    std::vector<fault_at> aimed;
    std::array<fault_rule, FAULT_KINDS> rules;
    std::array<int64_t, FAULT_KINDS> opportunities;
    std::array<int64_t, FAULT_KINDS> injected;
    fault_timing timing;
};

// What becomes of one reply on its way to the line.
struct reply_plan {
    bool dropped;
    std::vector<uint8_t> wire;  // SLIP frame of the (perhaps flipped) packet, then any noise
    int64_t delay_us;           // extra wait before the first byte
    int64_t gap_us;             // > 0: one byte at a time, this far apart
    int32_t fault;              // the first fault that hit, or -1
};

void faults_init(faults* t, uint64_t seed, fault_timing timing);
void faults_set_rule(faults* t, int32_t kind, fault_rule rule);

// Next 64 random bits (splitmix64: the same sequence on every platform).
uint64_t faults_next(faults* t);

void faults_aim(faults* t, fault_at fault);

// One opportunity for a fault of this kind: true when it strikes (counted).
bool faults_strike(faults* t, int32_t kind);
// The same for the frame with this number: an aimed fault first, else the rule.
bool faults_strike_frame(faults* t, int32_t kind, int64_t frame);

// Decides the fate of one reply packet, the reply to the frame with this
// number (0: to no frame in particular).
reply_plan faults_plan_reply(faults* t, std::span<const uint8_t> packet, int64_t frame = 0);
