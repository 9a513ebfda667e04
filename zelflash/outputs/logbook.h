// The board log as one of a session's listeners: one record per board as it
// ends, on the disk before the next board is looked at. write and watch both keep one
// when a log is given (--log, or the job's).
//
// No record is lost without a word: when the log cannot be written, the
// failure names the board and carries the whole record that was lost, so
// that it can be put back by hand; the log is then closed, and every board
// that ends after it is said the same way.
#pragma once

#include <map>
#include <nlohmann/json_fwd.hpp>
#include <string>

#include "outputs/board_log.h"
#include "outputs/display.h"
#include "engine/session_listener.h"

class logbook : public session_listener {
public:
    explicit logbook(const std::map<std::string, std::string>* labels) : labels_(labels) {}
    // Opens the log at `path`, if any; false when it cannot be opened (said).
    bool open(const std::string& path, display* d);
    // false with the lost record in `why` when it could not be written: the
    // session halts.
    bool board_ended(const session_board& b, const board_view& v, std::string* why) override;
    // A slot's board back in its loader after programming is noted.
    void slot_changed(const slot_view& v) override;
    bool close(std::string* error) { return log_.close(error); }

private:
    bool append(const nlohmann::json& line, const std::string& what, std::string* why);

    const std::map<std::string, std::string>* labels_;
    board_log log_;
    std::string path_;    // empty: no log
    std::string broken_;  // why the log could not be written; empty while it can
};
