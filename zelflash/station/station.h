// A production station's part of a run: per-board values handed out from the
// state file and patched into each board's copy of the image, the outcome of
// each board recorded against its values, and the job's labels for the
// board log. A session's hooks; the board log, a listener, hears of a board
// after them.
//
// Order of things for one board:
//   starting(): values reserved (on the disk before anything is sent), then
//               patched into the board's copy; a field that has run out or a
//               state file that cannot be written refuses the board, and the
//               session takes no more
//   ended():    the values recorded used or failed (burned when reuse is asked
//               but a chunk holding them may be in the board's flash), then
//               the board logged, even when the state file could not record
//               its end
//   close():    a state file that lost its path under the station is saved
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "outputs/display.h"
#include "values/fields.h"
#include "values/serials.h"
#include "engine/session.h"
#include "values/value_source.h"
#include "lot/lot_source.h"

// What a station adds to a run, from the job file and the command line.
struct station_setup {
    std::vector<field_spec> fields;
    std::vector<std::string> field_origins;  // per field: "station.toml line 12", or "--serial"
    std::string state_path;                  // the state file; needed when a field counts or lists
    bool new_state = false;                  // make the state file first (it must not exist)
    std::string log_path;                    // the board log, the state file's witness; empty: none
    failed_policy policy = FAILED_BURN;
    std::map<std::string, std::string> labels;
    std::string image_sha256;  // the job's pin on the image file; empty: none
    std::string pin_origin;    // where the pin was given
    // The lot the values come from ([lot]); the state file is then this
    // station's journal of the lot. Unset: the state file hands them out.
    std::optional<lot_source_config> lot;
};

class station : public session_hooks {
public:
    // `next` (none when null) hears of every board after the station.
    station(const station_setup& setup, session_hooks* next) : setup_(setup), next_(next) {}

    // Checks the image against the pin and the fields against the image,
    // then opens the state file and says what it recovered. false with the
    // problem said: nothing may be sent.
    bool open(const image& img, display* d);
    bool starting(const session_board& b, image* copy, std::vector<field_value>* values, std::string* why) override;
    bool ended(const session_board& b, const board_view& v, std::string* why) override;
    // A lot's station has a board's values in hand, or can tell the
    // operator why not (said once per wait).
    bool can_start(size_t waiting) override;
    // `wake` (null: none) is called, on any thread, when boards that wait
    // for values may start; reset it before the session it wakes goes.
    void wake_with(std::function<void()> wake);
    // As the station stops: where a state file deleted or replaced under
    // it was saved, for the run's failure; empty when nothing was lost. A
    // lot's station gives back what it holds first.
    std::string close();

    const std::map<std::string, std::string>* labels() const { return &setup_.labels; }
    // Where its values come from, once open (none without counted fields).
    const value_source* source() const { return state_.get(); }

private:
    bool open_state(std::string* error);
    bool may_hold(const board_view& v) const;

    std::string board_record(const session_board& b, const board_view& v, uint64_t ticket) const;

    const station_setup& setup_;
    session_hooks* next_;
    display* display_ = nullptr;  // from open()
    std::string told_;            // why boards wait, as last said; empty: nothing said
    std::unique_ptr<value_source> state_;     // when there are fields
    std::map<int, uint64_t> tickets_;         // running boards' reservations, by board id
};

// While it lives, values arriving for a station's waiting boards wake the
// session's loop, which starts them.
class station_waker {
public:
    station_waker(station& st, session& s) : st_(st) { st_.wake_with([&s] { s.nudge(); }); }
    ~station_waker() { st_.wake_with(nullptr); }
    station_waker(const station_waker&) = delete;
    station_waker& operator=(const station_waker&) = delete;

private:
    station& st_;
};

// The image against a pin and fields against the image; empty when they fit.
std::string station_check(const station_setup& setup, const image& img);
// The setup's counter and list fields: those the state file hands out.
std::vector<field_spec> station_counted(const station_setup& setup);
// Where the setup's values come from: its state file, not yet opened.
std::unique_ptr<value_source> station_source(const station_setup& setup);
