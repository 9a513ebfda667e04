// What zelflash shows while boards are programmed, in one of four modes:
//  - live: on a terminal, one row per board redrawn in place (a bar, %,
//    bytes, KiB/s, ETA, the command in flight), then a summary table;
//  - plain: not on a terminal, a line per board at most every 10 %, a line
//    when it ends, then the summary;
//  - json: one JSON object per line on standard output and nothing else
//    there: events "start", "progress", "done" (success) and "error";
//  - quiet: nothing on standard output.
// Failures are also written to standard error as one line each (not in json
// mode, whose "error" events carry them). Only the displaying thread calls
// these functions.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <chrono>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <vector>

#include "board.h"
#include "image_file.h"

enum display_mode : int32_t { DISPLAY_LIVE = 0, DISPLAY_PLAIN = 1, DISPLAY_JSON = 2, DISPLAY_QUIET = 3 };

// Live mode repaints its rows at most this often, however fast the boards report.
constexpr std::chrono::milliseconds DISPLAY_PAINT_PERIOD{100};

class display {
public:
    display(display_mode mode, FILE* out, FILE* err);

    display_mode mode() const { return mode_; }
    // How long the displaying thread may sleep between looks: the paint
    // period in live mode, `idle` otherwise.
    std::chrono::milliseconds wake(std::chrono::milliseconds idle) const
    {
        return mode_ == DISPLAY_LIVE ? DISPLAY_PAINT_PERIOD : idle;
    }
    void started(const board_view& v, const image& img);
    void progressed(const board_view& v);
    void finished(const board_view& v);
    // Live mode: repaints the rows of `rows`, then `footer` when not empty;
    // nothing when the last paint is less than DISPLAY_PAINT_PERIOD ago and
    // still on screen.
    void redraw(const std::vector<board_view>& rows, const std::string& footer = "");
    // Clears the live rows; the next redraw paints them below what was
    // printed meanwhile. Call before the summary.
    void clear();
    // A line for the user: standard error, or an "error" event in json mode.
    void problem(const std::string& text);
    // A line about what zelflash does, not a failure: standard error in
    // every mode but quiet.
    void notice(const std::string& text);
    void summary(const std::vector<board_view>& all);

    // One live row with the port in a column of `port_width`, cut to `width`
    // columns; exposed for the tests.
    static std::string row(const board_view& v, int port_width, int width);
    // The summary table; exposed for the tests.
    static std::string table(const std::vector<board_view>& all);

private:
    void emit(const std::string& json_line);

    display_mode mode_;
    FILE* out_;
    FILE* err_;
    int drawn_ = 0;                               // live rows on screen
    std::chrono::steady_clock::time_point painted_{};  // when they were painted
    std::unordered_map<std::string, int> step_;   // last step reported, per port
};

// The link's health figures of a finished run, for the JSON done event and
// the board log: frames, resends, late replies, bad frames, quiet waits.
nlohmann::json display_link_json(const run_result& r);

// "3.2 KiB/s"-style figures from a view: bytes per second since the start.
double display_rate(const board_view& v);
