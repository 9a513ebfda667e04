// Acknowledgement guard: a layer between the programming layer and the
// packet layer that keeps the conversation in step. An "ACK" names no
// command, so an ACK that comes late, after its command was sent again, would
// otherwise be taken for the answer to the next command, and from then on
// every command would be "answered" by its predecessor's ACK: the next frame
// the device misses would go unnoticed, and its chunk would never be written.
//
// What the guard relies on (the device model, its bounds in lguard_bounds):
// the device takes frames in order and answers each at most once; an answer
// reaches us at most `reply_ms` after its frame was sent. The erase is the
// exception, and devices differ in how they report its end:
//   - ERASE is answered at once, or, by a device that erases before it
//     answers, at most `reply_ms` + `erase_sector_ms` for every 4 KiB sector
//     of the range after its frame;
//   - the erase-wait question PROGRAM(0, 0) is answered at once, or held to
//     the erase's end, or ignored while the device erases. Its answers come
//     together: once one has come, any other still to come follows at most
//     `spread_ms` after the one before it (a device that held several
//     questions answers them back to back when the erase ends).
//
// The rule: a command is left only once no earlier frame can still be
// answered. A command acknowledged after a single frame leaves nothing
// behind. A command sent n > 1 times may still owe n - 1 answers, less those
// already seen (a packet the packet layer dropped for being right in the
// other framing is one); before the next command goes out the line is
// settled: nothing is sent, and every ACK that comes is counted and
// swallowed, until either all have come or the bound has passed: `reply_ms`
// after the last frame, or, for the erase wait, `spread_ms` after the latest
// frame heard. A frame the packet layer dropped for its check value counts
// as heard: it may be an answer spoilt on the way, and the answers behind it
// still follow it within the spread, not the last good one. Since noise is
// heard too, the erase wait's settle never outlasts the spread once for
// every answer owed when it began. An ACK that arrives while no frame is
// waiting for one answers nothing we know of; it is swallowed and counted
// as unasked.
//
// So that there is little to settle, a repeat is kept back (not sent, though
// the programming layer has built it and printed its text) while the frame
// before it may still be answered at once: ERASE for its whole bound, since a
// device that erases first would take a second ERASE as a new erase; the
// erase-wait question for twice the time the device takes to answer. A frame
// whose bound has passed can no longer be answered and is owed nothing.
//
// A clean line never settles: each command goes out once and is answered.
#pragma once

#include <cstdint>

struct layer;
struct mlb;
struct port_ops;

enum lguard_default : uint32_t {
    LGUARD_REPLY_MS = 2000,        // the latest an answer may come
    LGUARD_TIMEOUT_MS = 120,       // the reply time-out: a later answer counts as late
    LGUARD_SPREAD_MS = 30,         // the erase wait's answers: the most one follows another
    LGUARD_ERASE_SECTOR_MS = 200,  // ERASE answered once erased: the most a sector adds
    LGUARD_SECTOR_SIZE = 4096,     // the unit of the erase's bound
    LGUARD_ASK_MIN_MS = 60,        // the erase-wait question goes out at most this often
};

// The bounds the guard relies on (see above), in milliseconds.
struct lguard_bounds {
    uint32_t reply_ms;
    uint32_t spread_ms;
    uint32_t erase_sector_ms;
};

constexpr lguard_bounds LGUARD_BOUNDS = {LGUARD_REPLY_MS, LGUARD_SPREAD_MS, LGUARD_ERASE_SECTOR_MS};

// What the guard has seen of the link, for the health figures of a run.
struct lguard_figures {
    uint32_t frames;      // commands sent, every repeat counted
    uint32_t resends;     // of them, repeats of a command not yet answered (the erase wait's aside)
    uint32_t late;        // answers that came after the 120 ms reply time-out
    uint32_t late_ms;     // how late the latest of them came, at most
    uint32_t slowest_ms;  // the longest wait for an answer, the erase and its wait aside
    uint32_t settles;     // times the line was settled
    uint32_t settle_ms;   // time spent settling, in all
    uint32_t unasked;     // ACKs that answered no frame waiting for one
    uint32_t kept;        // repeats kept back while the frame before could still be answered
};

// Private record behind the layer's p_.
struct lguard {
    const port_ops* ops;  // the tick, the guard's one use of the platform
    layer* prog;          // the programming layer: which command goes out, what ERASE covers
    layer* pkt;           // the packet layer: the answers it dropped for their framing
    lguard_bounds bounds;
    uint32_t erase_sectors;    // 4 KiB sectors of the range ERASE names
    uint32_t erase_answer_ms;  // how long ERASE took to be answered, once sent once
    // The command in flight. `answered` turns 1 when its ACK goes up; the
    // next frame sent then starts the next command.
    uint32_t sent;        // its frames sent so far
    uint32_t dropped;     // answers to them the packet layer dropped (other framing)
    uint32_t switches;    // the packet layer's count of those, as last taken
    uint32_t bad_frames;  // the packet layer's count of frames it dropped, as last taken
    uint32_t sent_at;     // tick of the latest of them
    uint32_t first_at;    // tick of the first
    int32_t phase;        // the programming layer's phase when it went out
    uint8_t answered;
    // Settling: nothing is sent until `owed` is 0 or the tick reaches `until`.
    uint8_t settling;
    uint32_t owed;
    uint32_t until;
    uint32_t until_latest;  // the erase wait: when the last owed answer has come, at the latest
    uint32_t settle_from;
    lguard_figures seen;
};

layer* lguard_alloc();
// Installs the handlers and the default bounds. The guard asks `prog`, the
// programming layer, which command goes out and what ERASE covers, and
// `pkt`, the packet layer, how many answers it dropped; it reads the tick
// through `ops`. Messages go to and come from whatever layers the stack puts
// below and above it.
void lguard_init(layer* t, const port_ops* ops, layer* prog, layer* pkt);
void lguard_set_bounds(layer* t, lguard_bounds bounds);
// 1 while the line is being settled: the job sends nothing then and only
// receives. Ends a settle whose time has come.
int lguard_settling(layer* t);
// Milliseconds the settle may still last (0 when not settling): a front end
// that can wait that long for one read loses no owed answer between reads.
uint32_t lguard_settle_left_ms(layer* t);
// Milliseconds a repeat of the unanswered command is still kept back (0 when
// it may go): a front end may wait that long for the answer meanwhile.
uint32_t lguard_hold_left_ms(layer* t);
// How often the erase-wait question may go out: twice the longest the device
// has taken to answer (ERASE included), within [LGUARD_ASK_MIN_MS, reply_ms].
uint32_t lguard_ask_ms(layer* t);
lguard_figures lguard_seen(layer* t);
void lguard_tx(layer* t, mlb* m);
void lguard_rx(layer* t, mlb* m);
