// The quiet display: nothing on standard output; a board's failure, and
// zelflash's own, still on standard error. Notices are left out.
#pragma once

#include "outputs/display.h"

class display_quiet : public display {
public:
    using display::display;

    void started(const board_view&, const image&) override {}
    void progressed(const board_view&) override {}
    void finished(const board_view& v) override;
    void summary(const std::vector<board_view>&) override {}
    void totals(const board_tally&) override {}
    void notice(const std::string&) override {}
};
