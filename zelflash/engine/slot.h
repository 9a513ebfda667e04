// One place of a fixture: a port that stays open all day while boards come
// and go on it. This is the slot's reasoning alone, on a clock it is given:
// what its looks (a probe of the loader, or a sample of a presence line)
// make of the board, when the next look is due, and what the station is to
// hear. fixture.h runs it on a thread with the port.
//
//   unplugged --port open--> empty (leaving, when it was pulled while leaving) --K looks present--> ready --started()--> programming
//       ^                      ^                                                 |
//       |                      +--absent for leave_ms (the line: K looks)--+  ended()
//       +--a look finds the port gone (any phase that looks)               |    v
//                                                                          +-- leaving
//
// With the probe a programmed board has left once it has not answered for
// the leave time, and no sooner than SLOT_REARM_LEAVES leave times after
// its run ended: a board whose image does not start may come back into its
// loader only after a watchdog's time, and must not be taken for a new one.
//
// K looks in a row make a board present: SLOT_PROBE_ANSWERS probes, the
// ones after the first asked at once rather than a period later, or
// SLOT_LINE_SAMPLES samples of a presence line. A board is programmed once
// per arrival: after its run the slot waits for it to leave, and one that
// answers the loader again without having left (it came back into its
// loader after the restart) is flagged once and never taken again until it
// has left. With Enter as the signal, an empty slot looks only when Enter
// was pressed. An adapter pulled while a board was in its slot comes back
// waiting for that board to leave: the slot cannot tell it from a new one.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/board.h"
#include "values/fields.h"

using slot_clock = std::chrono::steady_clock;

enum class slot_signal : int32_t {
    probe = 0,  // the loader probe, PROGRAM(0, 0)
    line = 1,   // a modem status line the fixture's switch drives
    enter = 2,  // the operator's Enter, then the probe
};

enum class slot_phase : int32_t {
    unplugged = 0,    // the port is not open: its adapter is away
    empty = 1,        // no board, or answers not yet enough
    ready = 2,        // a board is present: the station is to start it
    programming = 3,  // its job runs on the port
    leaving = 4,      // its run ended: waiting for it to leave
};

// What one look found.
enum class slot_look : int32_t {
    absent = 0,   // no answer, the line off
    present = 1,  // the loader answered, the line on
    gone = 2,     // the port went away
};

// What the station hears of a look or a change.
enum class slot_news : int32_t {
    none = 0,
    arrived = 1,      // empty -> ready
    left = 2,         // leaving -> empty
    in_loader = 3,    // the programmed board answers the loader again: said once
    unplugged = 4,    // the port went away
    plugged = 5,      // the port opened again (or for the first time)
    started = 6,      // the station started the board: programming
    ended = 7,        // the board's run ended: leaving
};

enum slot_constants : int32_t {
    SLOT_PROBE_ANSWERS = 2,  // answered probes in a row that make a board present
    SLOT_LINE_SAMPLES = 3,   // equal samples in a row that change a presence line
    SLOT_LINE_SAMPLE_MS = 20,
    SLOT_CONFIRM_MS = 20,    // from an answer to the probe that confirms it
    SLOT_REOPEN_MS = 1000,   // between two opens of an unplugged port
    SLOT_PROBE_WAIT_MS = 60, // how long a probe waits for its answer
    SLOT_REARM_LEAVES = 2,   // with the probe, a programmed board leaves no sooner than this many
                             // leave times after its run: one back in its loader within them is
                             // flagged, never taken for a new board
};

struct slot_timing {
    slot_signal signal = slot_signal::probe;
    std::chrono::milliseconds probe{250};   // between two probes
    std::chrono::milliseconds leave{1000};  // no answer this long: the board has left
};

class slot_logic {
public:
    explicit slot_logic(const slot_timing& t) : t_(t) {}

    slot_phase phase() const { return phase_; }
    // The last board's run: programmed or not; its values. Valid while leaving.
    bool programmed() const { return programmed_; }
    bool flagged() const { return flagged_; }
    // When the next look (or open) is due; none while the slot waits for
    // the station (ready, programming) or, with Enter, for the operator.
    std::optional<slot_clock::time_point> next_look() const;

    // The port opened: an empty slot from now on.
    slot_news opened(slot_clock::time_point now);
    // The port did not open: tried again later.
    void not_opened(slot_clock::time_point now);
    slot_news look(slot_look found, slot_clock::time_point now);
    // Enter was pressed: an empty slot probes for a board now.
    void enter(slot_clock::time_point now);
    // The station took the ready board: the port is the board's.
    void started();
    // The board's run ended; the port is the slot's again.
    void ended(bool programmed, slot_clock::time_point now);

private:
    slot_news look_empty(bool present, slot_clock::time_point now);
    slot_news look_leaving(bool present, slot_clock::time_point now);
    int needed() const;

    const slot_timing t_;
    slot_phase phase_ = slot_phase::unplugged;
    slot_clock::time_point due_{};       // the next look
    slot_clock::time_point last_seen_{};  // leaving: the last answer, or the end of the run
    slot_clock::time_point ended_at_{};   // leaving: the end of the run
    int in_a_row_ = 0;                  // looks in a row that disagree with the phase
    bool asked_ = false;                // Enter: the empty slot looks until it has its answer
    bool programmed_ = false;
    bool flagged_ = false;
    bool had_board_ = false;  // unplugged while a board was there: it must leave first when plugged back
};

// What a display shows of a slot.
struct slot_view {
    int number = 0;  // from 1
    std::string port;
    slot_phase phase = slot_phase::unplugged;
    bool programmed = false;  // leaving: the last board was programmed
    bool flagged = false;     // leaving: it came back into its loader
    board_view board;         // programming, leaving: its board as it stands or ended
    std::vector<field_value> values;  // leaving: what the last board was given
    slot_news news = slot_news::none;  // the change this view is told for, if any
};

// The stable key of a phase, for events and records: "empty", "ready", ...
const char* slot_phase_key(slot_phase p);
// The stable key of a change: "arrived", "left", "in_loader", ...; "" for none.
const char* slot_news_key(slot_news n);
