// The settings of write and watch, and the one table of those that both the
// command line and the job file give. Each row is one setting, written once:
// its option, its key in the job file, its kind and range, its help, and the
// member it lands in. The command line adds its options from the table
// (options.cpp), the job file reads its keys from it (job_file.cpp), and the
// two meet in settings_merge, setting by setting: what the command line was
// given wins over the file. Neither CLI11 nor toml++ is known here.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "images/image.h"

// The ranges the table gives its settings, named for the code that checks
// the same numbers elsewhere.
enum option_ranges : uint32_t {
    OPTION_BAUD_MAX = 4000000,    // bits per second; 1 is the least
    OPTION_RETRIES_MAX = 1000000, // attempts of one command; 1 is the least
    OPTION_JOBS_MAX = 256,        // boards at once; 1 is the least
    OPTION_PROBE_MS_MIN = 20,     // between two probes of a fixture's slot
    OPTION_PROBE_MS_MAX = 60000,
    OPTION_LEAVE_MS_MIN = 100,    // a board's absence that makes it gone
    OPTION_LEAVE_MS_MAX = 600000,
};
constexpr double OPTION_ERASE_SECONDS_MIN = 0.1;
constexpr double OPTION_ERASE_SECONDS_MAX = 86400;  // a day
// What an erase wait outside its range is told.
inline constexpr char options_erase_seconds_range[] = " is not a number of seconds from 0.1 to 86400";

// A production station's options: the job file and per-board values.
struct station_options {
    std::string job;                  // the job file; empty: none
    std::string serial;               // --serial ADDR:FORMAT:START[:STEP[:LAST]]; empty: none
    std::vector<std::string> set;     // NAME=VALUE for the job's value fields
    std::string state;                // the state file; empty: the job's
    bool new_state = false;           // --new-state: make the state file, which must not exist yet
    std::string log;                  // board log, appended to; empty: the job's, else none
    std::string on_failure;           // burn, reuse; empty: the job's, else burn
    std::string sha256;               // the digest the job file pins the image to; empty: none
};

// What write and watch share.
struct flash_options {
    std::string image_path;      // empty: the embedded image
    std::string format = "auto"; // auto, bin, ihex, srec
    std::string address;         // as given; empty: none
    uint32_t baud = 115200;
    uint32_t retries = 10;       // attempts of one command
    double erase_timeout = 60;   // seconds the wait for the erase may last
    bool fill_gaps = false;      // gaps wider than a sector between records are written with 0xFF
    uint32_t flash_size = IMAGE_FLASH_SIZE;  // bytes; the image must lie below
    bool json = false;
    bool quiet = false;
    station_options station;
};

struct watch_options {
    std::string mode = "ports";      // ports: a port per board; fixture: the ports are a fixture's slots
    uint32_t probe_ms = 250;         // fixture: between two probes of a slot
    uint32_t leave_ms = 1000;        // fixture: no answer this long and the board has left
    std::string present = "probe";   // fixture: how a board is known to be there: probe, dsr, cts, dcd, ri, enter
    bool include_present = false;
    uint32_t jobs = 8;
    std::vector<std::string> match;  // VID:PID filters
    std::string glob;                // ports are the paths matching this, not the system's list
    std::string http;                // the station's page: [ADDR:]PORT; empty: none (command line only)
    std::string http_token_file;     // the page's control token; empty: no control (command line only)
};

// Everything write and watch are given.
struct setting_values {
    flash_options flash;
    watch_options watch;
    std::vector<std::string> ports;  // write's: -p, or the job's [station] ports
};

// The rows of the table, in the job file's order of its keys.
enum setting_id : int {
    SETTING_IMAGE = 0,
    SETTING_SHA256 = 1,  // the job file's alone
    SETTING_FORMAT = 2,
    SETTING_ADDRESS = 3,
    SETTING_FILL_GAPS = 4,
    SETTING_FLASH_SIZE = 5,
    SETTING_BAUD = 6,
    SETTING_RETRIES = 7,
    SETTING_ERASE_TIMEOUT = 8,
    SETTING_PORTS = 9,
    SETTING_GLOB = 10,
    SETTING_MATCH = 11,
    SETTING_JOBS = 12,
    SETTING_INCLUDE_PRESENT = 13,
    SETTING_LOG = 14,
    SETTING_STATE = 15,
    SETTING_ON_FAILURE = 16,
    SETTING_MODE = 17,
    SETTING_PRESENT = 18,
    SETTING_PROBE_MS = 19,
    SETTING_LEAVE_MS = 20,
    SETTING_COUNT = 21,
};

// How a setting is spelt, checked and kept.
enum setting_kind : int {
    SETTING_TEXT = 0,     // a string, never empty; `check` says what is wrong with one
    SETTING_PATH = 1,     // a file; the job file's is relative to the file's folder
    SETTING_CHOICE = 2,   // one of `choices`
    SETTING_ADDRESS_TEXT = 3,  // 32 bits, kept as text: decimal or 0x hex on the command line, an integer in the file
    SETTING_SIZE = 4,     // 32 bits from `least`, spelt as an address is
    SETTING_NUMBER = 5,   // a whole number from `least` to `most`
    SETTING_SECONDS = 6,  // from OPTION_ERASE_SECONDS_MIN to OPTION_ERASE_SECONDS_MAX, whole or not
    SETTING_SWITCH = 7,   // a flag on the command line, true or false in the file
    SETTING_LIST = 8,     // strings, one per option given; an array of them in the file
};

// Where a setting lands: the member for its kind, the others null. Text,
// path, choice and address text land in `text`, size and number in `number`.
struct setting_place {
    std::string* (*text)(setting_values*) = nullptr;
    uint32_t* (*number)(setting_values*) = nullptr;
    double* (*seconds)(setting_values*) = nullptr;
    bool* (*on)(setting_values*) = nullptr;
    std::vector<std::string>* (*list)(setting_values*) = nullptr;
};

struct setting {
    setting_id id;
    const char* flag;     // its names for CLI11 ("-b,--baud", or "IMAGE" for the word); null: none
    const char* section;  // its table in the job file, as errors name it: "[link]"
    const char* key;      // its key there: "baud"
    setting_kind kind;
    uint32_t least = 0;
    uint32_t most = 0;
    const char* noun = "";       // what a number the file gives out of range is not: "a line speed"
    const char* flag_noun = "";  // what an address or size the command line gives is not
    std::span<const char* const> choices = {};
    std::string (*check)(const std::string& text) = nullptr;  // why a value is wrong; empty when right
    const char* check_name = "";                                // the check's name in the help
    const char* help = "";
    const char* shown_default = nullptr;  // what the help shows as its default; null: the member's value
    setting_place place;
};

// Which settings one source gave, and where.
struct setting_marks {
    std::array<bool, SETTING_COUNT> given{};
    std::array<uint32_t, SETTING_COUNT> line{};  // the job file's line of its key; 0: none or a default
};

// The table, in setting_id order.
std::span<const setting> settings_table();
const setting& settings_row(setting_id id);
// Each setting that `from` was given and `to` was not, copied from `from`
// into `to`; `to`'s marks are left as they were.
void settings_merge(const setting_values& from, const setting_marks& from_given, setting_values* to,
                    const setting_marks& to_given);
