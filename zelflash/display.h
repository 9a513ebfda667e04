// What zelflash shows while boards are programmed, in one of four modes:
//  - live: on a terminal that takes cursor codes, one row per board redrawn
//    in place (a bar, %, bytes, KiB/s, ETA, the command in flight), cut to
//    the terminal's size as it is at each paint, then a summary table;
//  - plain: not on such a terminal, a line per board at most every 10 %, a
//    line when it ends, then the summary;
//  - json: one JSON object per line on standard output and nothing else
//    there; every event has "event" and "port" (null when about no port);
//  - quiet: nothing on standard output.
// Failures are also written to standard error as one line each (not in json
// mode, whose "error" events carry them). Every write is checked: once
// standard output fails, nothing more is written there and output_error()
// says why. Only the displaying thread calls these functions.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "board.h"
#include "image_file.h"
#include "terminal.h"

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
    // The end of a board, programmed or not; also of one that never ran.
    void finished(const board_view& v);
    // Live mode: repaints the rows of `rows`, then `footer` when not empty;
    // nothing when the last paint is less than DISPLAY_PAINT_PERIOD ago and
    // still on screen.
    void redraw(const std::vector<board_view>& rows, const std::string& footer = "");
    // Clears the live rows; the next redraw paints them below what was
    // printed meanwhile. Call before the summary.
    void clear();
    // An interrupt was seen: the terminal has echoed "^C" where the cursor
    // stood, so what comes next starts the line afresh.
    void interrupted();
    // A line for the user: standard error, or an "error" event in json mode,
    // with the port it is about, if any.
    void problem(const std::string& text, const std::string& port = "");
    // A line about what zelflash does, not a failure: standard error in
    // every mode but quiet.
    void notice(const std::string& text);
    // zelflash itself cannot go on as asked (its log, its output): standard
    // error in every mode.
    void failure(const std::string& text);
    // A line on standard output in plain and live mode.
    void say(const std::string& line);
    // An event of json mode; nothing in the others.
    void event(const nlohmann::json& e);
    void summary(const std::vector<board_view>& all);
    // Why standard output could not be written; empty while it could.
    const std::string& output_error() const { return output_error_; }

    // One live row with the port in a column of `port_width`, cut to `width`
    // columns; exposed for the tests.
    static std::string row(const board_view& v, int port_width, int width);
    // The lines of a live paint on a terminal of `size`: the rows, cut to its
    // width, as many as leave its last line free, then "+N more boards" for
    // those that do not fit, then the footer; exposed for the tests.
    static std::vector<std::string> live_lines(const std::vector<board_view>& rows, const std::string& footer,
                                               terminal_size size);
    // The summary table; exposed for the tests.
    static std::string table(const std::vector<board_view>& all);

private:
    void put_out(std::string_view text);
    void put_err(std::string_view text);

    display_mode mode_;
    FILE* out_;
    FILE* err_;
    bool out_terminal_;
    bool err_terminal_;
    bool err_ansi_;
    std::string output_error_;                    // standard output failed: why
    bool err_failed_ = false;                     // standard error failed
    int drawn_ = 0;                               // live rows on screen
    std::chrono::steady_clock::time_point painted_{};  // when they were painted
    std::unordered_map<std::string, int> step_;   // last step reported, per port
};

// "3.2 KiB/s"-style figures from a view: bytes per second since the start.
double display_rate(const board_view& v);
