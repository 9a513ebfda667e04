// The live display, for a terminal that takes cursor codes: the boards
// under way as rows painted in place, at most once per
// DISPLAY_PAINT_PERIOD however fast they report, cut to the terminal's size
// as it is at each paint; each programmed board's line printed above them
// as it ends; then write's table or watch's totals.
//
// A paint moves the cursor up over the rows it painted last (drawn_), so
// nothing else may be printed below them: every other line first clears the
// rows away, and the next paint puts them back below it.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "outputs/display.h"
#include "platform/terminal.h"

constexpr std::chrono::milliseconds DISPLAY_PAINT_PERIOD{100};

class display_live : public display {
public:
    using display::display;

    std::chrono::milliseconds wake(std::chrono::milliseconds) const override { return DISPLAY_PAINT_PERIOD; }
    void started(const board_view&, const image&) override {}
    void progressed(const board_view&) override {}
    void finished(const board_view& v) override { finished_lines(v); }
    void redraw(const std::vector<board_view>& rows, const std::string& footer = "") override;
    void slots(const std::vector<slot_view>& all, const std::string& footer) override;
    void summary(const std::vector<board_view>& all) override;
    void totals(const board_tally& t) override;

    // One row with the port in a column of `port_width`, cut to `width`
    // columns (none when 0).
    static std::string row(const board_view& v, int port_width, int width);
    // The lines of a paint on a terminal of `size`: the rows, cut to its
    // width, as many as leave its last line free, then "+N more boards" for
    // those that do not fit, then the footer.
    static std::vector<std::string> live_lines(const std::vector<board_view>& rows, const std::string& footer,
                                               terminal_size size);

protected:
    void clear() override;
    std::string_view line_start() const override { return "\r\x1b[2K"; }

private:
    // The lines of a paint, cut and shortened as live_lines says, `more`
    // naming what did not fit ("more board", "more boards").
    static std::vector<std::string> fit(const std::vector<std::string>& texts, const std::string& footer,
                                        terminal_size size, const char* one_more, const char* more);
    void paint(const std::vector<std::string>& lines);
    // A paint is due: not more than once a paint period.
    bool due();

    int drawn_ = 0;                                    // rows on screen
    std::chrono::steady_clock::time_point painted_{};  // when they were painted
};
