// What a session tells of its run, as one stream of events: a board
// started, progressed, ended; the rows under way; an interrupt, the taking
// of boards stopping, a failure of the run; the station watching for boards,
// and its totals at the end. Any number of listeners subscribe to the
// session (session::subscribe) and hear every event in the order they
// subscribed: the display shows them (display_listener), the board log
// records the ends (logbook), and a page or an exporter would be one more.
// The session knows no listener by name.
//
// Listeners hear, they do not decide: the per-board work that may refuse a
// board is the session's hooks (session_hooks). Every event comes on the
// displaying (main) thread, in the session's order: a board's start before
// its progress, its end once, after the hooks have seen it.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "engine/board.h"
#include "engine/slot.h"
#include "images/image.h"
#include "platform/ports.h"

// A board as the hooks and listeners see it.
struct session_board {
    int id = 0;             // the order in which the boards were queued
    port_info port;
    std::chrono::system_clock::time_point start{};  // when its turn came; for one whose turn never came, its end
    const image* img = nullptr;  // what it was sent: its own copy once started, else the session's image
    int slot = 0;  // its fixture's slot, from 1; 0: a board on a port of its own
};

class session_listener {
public:
    virtual ~session_listener() = default;

    // Board `b`'s job has started on its own copy of the image (*b.img).
    virtual void board_started(const session_board&, const board_view&) {}
    virtual void board_progressed(const board_view&) {}
    // The end of a board, programmed or not, ran or not: once for every
    // board. false with a one-line `why` when what this listener must keep
    // of the board could not be kept: the session halts.
    virtual bool board_ended(const session_board&, const board_view&, std::string*) { return true; }
    // The boards under way (and the ended ones, where the session keeps
    // them), with a line below them when `footer` is not empty.
    virtual void rows(const std::vector<board_view>&, const std::string& /*footer*/) {}
    // A fixture's slot changed: a board arrived, left, came back into its
    // loader; the adapter went or came. Once per change.
    virtual void slot_changed(const slot_view&) {}
    // A fixture's slots as they stand, with a line below them when `footer`
    // is not empty: a fixture's rows instead of rows().
    virtual void slots(const std::vector<slot_view>&, const std::string& /*footer*/) {}

    // An interrupt was seen.
    virtual void interrupted() {}
    // An interrupt stopped the taking of boards while boards run: they
    // finish, and another interrupt stops them.
    virtual void stopping() {}
    // The run fails for `why` (one line), whatever its boards do.
    virtual void failed(const std::string& /*why*/) {}
    // The station looks for boards on `what` ("serial ports", or a pattern).
    virtual void watching(const std::string& /*what*/) {}
    // How the boards of the station's run ended, as it stops.
    virtual void totals(const board_tally&) {}

    // Why this listener lost what it was told (its output failed); empty
    // while it has not. The run then fails.
    virtual std::string lost() const { return ""; }
};
