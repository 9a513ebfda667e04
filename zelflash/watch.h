// zelflash watch: programs every serial port that appears, as boards are
// plugged in on a bench, and zelflash list: the system's serial ports.
//
// A port is programmed once per attachment: it is taken when it appears
// (or at start with --include-present), programmed, and left alone until it
// goes away; when it comes back (a new board on the same cable) it is taken
// again. At most --jobs boards run at once; the others queue in the order
// they appeared. The main thread only looks for ports and displays; each
// board runs on its own thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "board.h"
#include "flash.h"
#include "ports.h"

struct watch_options {
    bool include_present = false;
    uint32_t jobs = 8;
    std::vector<std::string> match;  // VID:PID filters
    std::string glob;                // ports are the paths matching this, not the system's list
    std::string log;                 // board log, appended to
};

// What the board log records of one board.
struct watch_record {
    std::chrono::system_clock::time_point start{};
    std::chrono::system_clock::time_point end{};
    port_info port;
    const image* img = nullptr;
    std::string image_sha256;  // of the bytes placed and written; the file's is img->file_sha256
    board_view view;
};

// Why the watch options cannot go together; empty when they can.
std::string watch_options_error(const watch_options& w);

// One line of the board log (a JSON object).
nlohmann::json watch_log_line(const watch_record& r);
// "2026-12-08T09:15:02.125Z"
std::string watch_iso_utc(std::chrono::system_clock::time_point t);

int flash_watch(const flash_options& o, const watch_options& w);
int flash_list(bool json);
