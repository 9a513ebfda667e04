// Acknowledgement guard: a layer between the programming layer and the
// packet layer that keeps the conversation in step. An "ACK" names no
// command, so an ACK that comes late, after its command was sent again, would
// otherwise be taken for the answer to the next command, and from then on
// every command would be "answered" by its predecessor's ACK: the next frame
// the device misses would go unnoticed, and its chunk would never be written.
//
// What the guard relies on (the device model): the device takes frames in
// order and answers each at most once; an answer reaches us at most
// `reply_ms` after its frame was sent, ERASE's included (the device erases
// in the background; PROGRAM(0, 0) waits for the end), and an answer to a
// PROGRAM(0, 0) held while the device erases at most `reply_ms` after the
// erase's end, which the first such answer marks.
//
// The rule: a command is left only once no earlier frame can still be
// answered. A command acknowledged after a single frame leaves nothing
// behind. A command sent n > 1 times may still owe n - 1 answers, less those
// already seen (a packet the packet layer dropped for being right in the
// other framing is one); before the next command goes out the line is
// settled: nothing is sent, and every ACK that comes is counted and
// swallowed, until either all have come or the bound has passed since the
// last frame (for the erase wait, since the answer). An ACK that arrives
// while no frame is waiting for one answers nothing we know of; it is
// swallowed and counted as unasked.
//
// A clean line never settles: each command goes out once and is answered.
#pragma once

#include <cstdint>

struct layer;
struct mlb;

enum lguard_default : uint32_t {
    LGUARD_REPLY_MS = 2000,   // the latest an answer may come
    LGUARD_TIMEOUT_MS = 120,  // the reply time-out: a later answer counts as late
};

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
};

// Private record behind the layer's p_.
struct lguard {
    uint32_t reply_ms;
    // The command in flight. `answered` turns 1 when its ACK goes up; the
    // next frame sent then starts the next command.
    uint32_t sent;        // its frames sent so far
    uint32_t dropped;     // answers to them the packet layer dropped (other framing)
    uint32_t switches;    // the packet layer's count of those, as last taken
    uint32_t sent_at;     // tick of the latest of them
    uint32_t first_at;    // tick of the first
    int32_t phase;        // the programming layer's phase when it went out
    uint8_t answered;
    // Settling: nothing is sent until `owed` is 0 or the tick reaches `until`.
    uint8_t settling;
    uint32_t owed;
    uint32_t until;
    uint32_t settle_from;
    lguard_figures seen;
};

layer* lguard_alloc();
// Installs the handlers and the default bound. The layer above must be the
// programming layer (the guard asks it which command goes out), the one
// below the packet layer (whose dropped answers count).
void lguard_init(layer* t);
void lguard_set_bound(layer* t, uint32_t reply_ms);
// 1 while the line is being settled: the job sends nothing then and only
// receives. Ends a settle whose time has come.
int lguard_settling(layer* t);
// Milliseconds the settle may still last (0 when not settling): a front end
// that can wait that long for one read loses no owed answer between reads.
uint32_t lguard_settle_left_ms(layer* t);
lguard_figures lguard_seen(layer* t);
void lguard_tx(layer* t, mlb* m);
void lguard_rx(layer* t, mlb* m);
