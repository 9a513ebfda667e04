// The command line of zelflash: each command's options declared once with
// CLI11 (what it takes, its help, its default and its checks), the exit
// statuses, and what the programming commands make of their options: the
// image and the limits of a run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image_file.h"
#include "run.h"

namespace CLI {
class App;
}

// Exit statuses of zelflash; options_exit_statuses says the same for --help.
enum zelflash_exit : int {
    EXIT_PROGRAMMED = 0,   // every board programmed
    EXIT_FAILED = 1,       // a board failed or was not started, or an output could not be written
    EXIT_BAD_INPUT = 2,    // bad usage or input: nothing was sent to any device
    EXIT_INTERRUPTED = 130,
};
extern const char options_exit_statuses[];

// The ranges of the settings that both the command line and the job file
// take, written once: each reader checks its own spelling against these.
enum option_ranges : uint32_t {
    OPTION_BAUD_MAX = 4000000,    // bits per second; 1 is the least
    OPTION_RETRIES_MAX = 1000000, // attempts of one command; 1 is the least
    OPTION_JOBS_MAX = 256,        // boards at once; 1 is the least
};
constexpr double OPTION_ERASE_SECONDS_MIN = 0.1;
constexpr double OPTION_ERASE_SECONDS_MAX = 86400;  // a day
// What an erase wait outside its range is told.
inline constexpr char options_erase_seconds_range[] = " is not a number of seconds from 0.1 to 86400";

// What write and watch share.
// A production station's options: the job file and per-board values.
struct station_options {
    std::string job;                  // the job file; empty: none
    std::string serial;               // --serial ADDR:FORMAT:START[:STEP[:LAST]]; empty: none
    std::vector<std::string> set;     // NAME=VALUE for the job's value fields
    std::string state;                // the state file; empty: the job's
    bool new_state = false;           // --new-state: make the state file, which must not exist yet
    std::string log;                  // board log, appended to; empty: the job's, else none
    std::string on_failure;           // burn, reuse; empty: the job's, else burn
};

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
    bool include_present = false;
    uint32_t jobs = 8;
    std::vector<std::string> match;  // VID:PID filters
    std::string glob;                // ports are the paths matching this, not the system's list
};

// The settings of the whole command line, which the commands take over when
// they are added: error lines that start with "zelflash: ", the defaults and
// exit statuses in the help, and options spelt only with - and -- (a word
// that starts with "/" is a path, on Windows too).
void options_prepare_app(CLI::App& app);

// The commands, with their options: write (-p PORT ..., then those of
// flash_options: IMAGE, --format, --address, --baud, --retries,
// --erase-timeout, --fill-gaps, --flash-size, --json, --quiet), watch
// (--include-present, --jobs, --match, --glob and those of flash_options) and list (--json). Options that cannot go together are
// usage errors once the command line is read.
CLI::App* options_add_write(CLI::App& app, flash_options* options, std::vector<std::string>* ports);
CLI::App* options_add_watch(CLI::App& app, flash_options* options, watch_options* watching);
CLI::App* options_add_list(CLI::App& app, bool* json);
// zelflash job check JOB: the job's checks and what a run would do;
// zelflash job init JOB: the job's state file made.
struct job_commands {
    CLI::App* check;
    CLI::App* init;
};
job_commands options_add_job(CLI::App& app, std::string* path);
// zelflash report [--by image|label:NAME] [--json] LOG...
CLI::App* options_add_report(CLI::App& app, std::vector<std::string>* logs, std::string* by, bool* json);

// Why the options cannot go together; empty when they can.
std::string options_flash_error(const flash_options& o);
std::string options_watch_error(const watch_options& w);

// Loads and places the image; false with a one-line error.
bool options_load_image(const flash_options& o, image* out, std::string* error);
run_limits options_limits(const flash_options& o);
