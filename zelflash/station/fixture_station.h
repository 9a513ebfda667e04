// A fixture's slots as a station's source of boards: each board that a slot
// finds is queued in the session on the slot's port, lent to it, and the
// port is the slot's again when the board ends. The slots' changes are told
// to the session's listeners (the display, the board log) from the
// station's loop, never from inside another listener's event.
//
// With Enter as the signal a thread reads standard input: each line asks
// the empty slots to look for a board.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/fixture.h"
#include "engine/session.h"
#include "outputs/display.h"
#include "platform/terminal.h"
#include "station/board_source.h"

struct enter_lines;

class fixture_station : public board_source, public session_listener {
public:
    // The slots are `ports`, numbered from 1 in their order.
    fixture_station(const fixture_rules& rules, std::vector<port_info> ports, display* d);
    ~fixture_station() override;

    int open(session* s) override;
    void look(session* s) override;
    void redraw(session* s, const std::string& footer) override;
    std::string what() const override;
    // The slots' threads stopped and their ports put back.
    void close() override;

    void board_started(const session_board& b, const board_view& v) override;
    void board_progressed(const board_view& v) override;
    bool board_ended(const session_board& b, const board_view& v, std::string* why) override;

private:
    struct last_board {
        board_view board;
        std::vector<field_value> values;
    };

    slot_view view(int slot) const;
    void tell(session* s, int slot, slot_news news);
    void start_ready(session* s);

    fixture_rules rules_;
    std::vector<port_info> ports_;
    display* d_;
    std::unique_ptr<fixture> fixture_;
    std::map<int, last_board> boards_;       // by slot: its board running, or the last one
    std::map<std::string, int> slot_of_;     // by port path
    std::vector<int> ended_;                 // slots whose board ended, not yet told
    std::shared_ptr<enter_lines> enter_;     // the reader of Enter, when it is the signal
    std::unique_ptr<terminal_echo_off> quiet_;  // meanwhile, the Enters are not echoed
};

// The PORT_LINE_* bit of a --present line ("dsr", ...); 0 for the probe or Enter.
uint32_t fixture_line_of(const std::string& present);
// The signal a --present value names.
slot_signal fixture_signal_of(const std::string& present);
