// Where a station's boards come from, as its loop sees it: the ports that
// appear (one board each), or a fixture's slots (boards come and go on
// ports that stay).
#pragma once

#include <string>

#include "engine/session.h"

class board_source {
public:
    virtual ~board_source() = default;
    // Gets ready to find boards for `s`, which outlives the source; an exit
    // status other than EXIT_PROGRAMMED (said) when it cannot.
    virtual int open(session* s) = 0;
    // One pass of the station's loop: the boards found since the last are
    // queued in the session.
    virtual void look(session* s) = 0;
    // The rows as they stand, with `footer` below.
    virtual void redraw(session* s, const std::string& footer) { s->redraw(footer); }
    // What the station watches, in a few words: "serial ports", a pattern.
    virtual std::string what() const = 0;
    // Stops looking, before the session goes: nothing of the source's
    // reaches the session afterwards.
    virtual void close() {}
};
