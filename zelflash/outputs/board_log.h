// The board log of zelflash watch: one JSON line per board, appended and
// pushed through to the disk as each board ends, never rewritten.
//
// A record is one whole line or nothing: it goes out in one write, and what
// a write that fell short left is cut off again. A last line found cut short
// when the log is opened (an older program's crash, a disk that filled up)
// is left as it is, and the first new record starts on a line of its own.
#pragma once

#include <chrono>
#include <map>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "engine/board.h"
#include "images/image.h"
#include "platform/ports.h"

class board_log {
public:
    board_log() = default;
    ~board_log();
    board_log(const board_log&) = delete;
    board_log& operator=(const board_log&) = delete;

    // Opens (creating) `path` for appending; false with an error naming it.
    bool open(const std::string& path, std::string* error);
    bool is_open() const { return fd_ >= 0; }
    // True when open() found the last line cut short.
    bool found_torn() const { return found_torn_; }
    // Appends one record and syncs it to the disk; false with an error
    // naming the file and the system's reason.
    bool append(const nlohmann::json& record, std::string* error);
    // false with an error when the system reports a failed write only now.
    bool close(std::string* error);

private:
    std::string path_;
    int fd_ = -1;
    bool found_torn_ = false;
    bool start_line_ = false;  // the next record first ends the torn line
};

// What the board log records of one board.
struct board_log_record {
    std::chrono::system_clock::time_point start{};
    std::chrono::system_clock::time_point end{};
    port_info port;
    const image* img = nullptr;
    board_view view;  // with the values the board was given and the digests of what it was sent
    const std::map<std::string, std::string>* labels = nullptr;  // the job's (product, lot, ...); none when null
    int slot = 0;  // its fixture's slot, from 1, written as "slot"; 0: none, not written
};

// The version of the board log's records. 1.1.0 wrote records without it
// (read as 1), whose outcome is only its text; from 2 on "outcome_key" holds
// the outcome's stable key beside the text.
enum board_log_constants : int32_t {
    BOARD_LOG_VERSION = 2,
};

// One line of the board log (a JSON object).
nlohmann::json board_log_line(const board_log_record& r);

// A note of the board log: no board, but what the station noticed about a
// fixture's slot, under a stable key in "note" ("still_in_loader": the
// board just programmed there came back into its loader after its restart).
struct board_log_note {
    const char* key = "";
    std::chrono::system_clock::time_point time{};
    std::string port;
    int slot = 0;
    const std::vector<field_value>* values = nullptr;  // the board's; none when null
    const std::map<std::string, std::string>* labels = nullptr;
};
nlohmann::json board_log_note_line(const board_log_note& n);
// "2026-12-08T09:15:02.125Z"
std::string board_log_utc(std::chrono::system_clock::time_point t);
