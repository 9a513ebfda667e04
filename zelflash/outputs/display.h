// What zelflash shows of its work. The commands report what happens -- a
// board starts, progresses, ends; a problem; the totals -- and know nothing
// of terminals; a display turns the reports into output, in one of four
// modes, each an implementation in a file of its own:
//  - live (display_live.h): on a terminal that takes cursor codes, one row
//    per board redrawn in place (a bar, %, bytes, KiB/s, ETA, the command in
//    flight), cut to the terminal's size as it is at each paint, then a
//    summary table;
//  - plain (display_plain.h): not on such a terminal, a line per board at
//    most every 10 %, a line when it ends, then the summary;
//  - json (display_json.h): one JSON object per line on standard output and
//    nothing else there; every event has "event" and "port" (null when about
//    no port);
//  - quiet (display_quiet.h): nothing on standard output.
// Failures are also written to standard error as one line each (not in json
// mode, whose "error" events carry them).
//
// The display is the only code that writes zelflash's standard output, and
// the only one that writes its lines to standard error. Every write is
// checked: once standard output fails, nothing more is written there and
// output_error() says why. Only the displaying (main) thread calls a display.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "engine/board.h"
#include "images/image.h"
#include "platform/ports.h"
#include "engine/session_listener.h"

enum display_mode : int32_t { DISPLAY_LIVE = 0, DISPLAY_PLAIN = 1, DISPLAY_JSON = 2, DISPLAY_QUIET = 3 };

// Where a display writes, and what its factory found out about the two
// streams (a display never asks itself).
struct display_streams {
    FILE* out = nullptr;
    FILE* err = nullptr;
    bool out_terminal = false;  // standard output is a terminal
    bool err_terminal = false;  // standard error is a terminal...
    bool err_ansi = false;      // ...that takes cursor codes
};

class display {
public:
    explicit display(const display_streams& streams) : streams_(streams) {}
    virtual ~display() = default;
    display(const display&) = delete;
    display& operator=(const display&) = delete;

    // How long the displaying thread may sleep between looks: `idle`, or
    // less where the display repaints on its own.
    virtual std::chrono::milliseconds wake(std::chrono::milliseconds idle) const { return idle; }

    // A board's job has started on `img`, its own copy of the image.
    virtual void started(const board_view& v, const image& img) = 0;
    virtual void progressed(const board_view& v) = 0;
    // The end of a board, programmed or not; also of one that never ran.
    virtual void finished(const board_view& v) = 0;
    // The boards under way, and a line below them when `footer` is not
    // empty; only live mode shows them, and at most once a paint period.
    virtual void redraw(const std::vector<board_view>& rows, const std::string& footer = "");
    // The end of a run of write: the table of every board.
    virtual void summary(const std::vector<board_view>& all) = 0;
    // The end of a run of watch: how its boards ended.
    virtual void totals(const board_tally& t) = 0;
    // Watch has looked at the ports there at start and now waits for boards
    // on `what` ("serial ports", or the --glob pattern).
    virtual void watching(const std::string& what);
    // A fixture's slot changed (v.news): plain mode prints its line, json
    // mode a "slot" event; a board back in its loader after programming is
    // also a notice in every mode but json.
    virtual void slot_changed(const slot_view& v);
    // A fixture's slots, a line each, with `footer` below: live mode's rows.
    virtual void slots(const std::vector<slot_view>& all, const std::string& footer);

    // An interrupt was seen: the terminal has echoed "^C" where the cursor
    // stood, so what comes next starts the line afresh.
    void interrupted();
    // A line for the user: standard error, or an "error" event in json mode,
    // with the port it is about, if any.
    virtual void problem(const std::string& text, const std::string& port = "");
    // A line about what zelflash does, not a failure: standard error in
    // every mode but quiet.
    virtual void notice(const std::string& text);
    // zelflash itself cannot go on as asked (its log, its output): standard
    // error in every mode.
    virtual void failure(const std::string& text);

    // The system's serial ports for `zelflash list`; false (said on standard
    // error) when standard output cannot take them.
    virtual bool ports(const std::vector<port_info>& all);
    // A command's whole answer (a report, a job's check) on standard output;
    // false (said on standard error) when standard output cannot take it.
    bool document(const std::string& text) { return put_whole(text); }

    // Why standard output could not be written; empty while it could.
    const std::string& output_error() const { return output_error_; }

protected:
    // Live mode's rows go from the screen, so that a line can be printed
    // where they stood.
    virtual void clear() {}
    // What starts standard output's line afresh on a terminal; empty: leave
    // standard output alone.
    virtual std::string_view line_start() const { return "\r"; }

    void put_out(std::string_view text);
    void put_err(std::string_view text);
    // A board's end in text modes: its failure on standard error, or, when
    // it was programmed, a line on standard output.
    void finished_lines(const board_view& v);
    // Standard output written in one piece, its failure said shortly.
    bool put_whole(std::string_view text);

    const display_streams streams_;

private:
    std::string output_error_;  // standard output failed: why
    bool err_failed_ = false;   // standard error failed
};

// A display as one of a session's listeners: each event drawn by the
// display's method for it. Only the display's own failure (standard output)
// is lost(); a board's end is always shown.
class display_listener : public session_listener {
public:
    explicit display_listener(display* d) : d_(d) {}

    void board_started(const session_board& b, const board_view& v) override { d_->started(v, *b.img); }
    void board_progressed(const board_view& v) override { d_->progressed(v); }
    bool board_ended(const session_board& b, const board_view& v, std::string* why) override;
    void rows(const std::vector<board_view>& rows, const std::string& footer) override { d_->redraw(rows, footer); }
    void interrupted() override { d_->interrupted(); }
    void stopping() override;
    void failed(const std::string& why) override { d_->failure(why); }
    void watching(const std::string& what) override { d_->watching(what); }
    void slot_changed(const slot_view& v) override { d_->slot_changed(v); }
    void slots(const std::vector<slot_view>& all, const std::string& footer) override { d_->slots(all, footer); }
    void totals(const board_tally& t) override { d_->totals(t); }
    std::string lost() const override { return d_->output_error(); }

private:
    display* d_;
};

// Texts the modes share.
// "3.2 KiB/s"-style figures from a view: bytes per second since the start.
double display_rate(const board_view& v);
// How far the board is, 0 to 100.
int display_percent(const board_view& v);
// The command in flight ("PROGRAM 0x00001000"), or how the run ended.
std::string display_doing(const board_view& v);
// The width of the port column: wide enough for the longest name.
int display_port_width(const std::vector<board_view>& all);
// The summary table.
std::string display_table(const std::vector<board_view>& all);
// "slot 3: waiting for a board", "slot 3: programming 40 %", "slot 3: done,
// serial 1017: remove the board", ...
std::string display_slot_text(const slot_view& v);
// "zelflash: 2 boards programmed, 1 failed, 1 not started"
std::string display_totals_line(const board_tally& t);
