// The plain display: lines for a log or a pipe, never a cursor code. A
// board says when it starts, then at most every PLAIN_STEP percent, then
// how it ended; write ends with the table of every board, watch with its
// totals.
#pragma once

#include <string>
#include <unordered_map>

#include "outputs/display.h"

class display_plain : public display {
public:
    using display::display;

    void started(const board_view& v, const image& img) override;
    void progressed(const board_view& v) override;
    void finished(const board_view& v) override { finished_lines(v); }
    void summary(const std::vector<board_view>& all) override;
    void totals(const board_tally& t) override;
    void watching(const std::string& what) override;
    void slot_changed(const slot_view& v) override;

private:
    std::unordered_map<std::string, int> step_;  // the last step shown, per port
};
