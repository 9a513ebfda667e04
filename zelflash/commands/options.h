// The command line of zelflash: each command's options declared once with
// CLI11 (what it takes, its help, its default and its checks), the exit
// statuses, and what the programming commands make of their options: the
// image and the limits of a run.
#pragma once

#include <string>
#include <vector>

#include "engine/exit_status.h"
#include "images/image.h"
#include "run.h"
#include "station/settings.h"

namespace CLI {
class App;
}

extern const char options_exit_statuses[];  // what the exit statuses mean, for --help

// The settings of the whole command line, which the commands take over when
// they are added: error lines that start with "zelflash: ", the defaults and
// exit statuses in the help, and options spelt only with - and -- (a word
// that starts with "/" is a path, on Windows too).
void options_prepare_app(CLI::App& app);

// The commands, with their options: write (-p PORT ..., then those of
// flash_options: IMAGE, --format, --address, --baud, --retries,
// --erase-timeout, --fill-gaps, --flash-size, --json, --quiet), watch
// (--include-present, --jobs, --match, --glob and those of flash_options)
// and list (--json). Options that cannot go together are usage errors once
// the command line is read. The settings of the table (settings.h) land in
// `values`, and `given` marks those the command line gave.
CLI::App* options_add_write(CLI::App& app, setting_values* values, setting_marks* given);
CLI::App* options_add_watch(CLI::App& app, setting_values* values, setting_marks* given);
CLI::App* options_add_list(CLI::App& app, bool* json);
// zelflash job check JOB: the job's checks and what a run would do;
// zelflash job init JOB: the job's state file made.
struct job_commands {
    CLI::App* check;
    CLI::App* init;
};
job_commands options_add_job(CLI::App& app, std::string* path);
// zelflash lot create JOB, lot extend JOB, lot status [--json] JOB, lot
// recover: the lot of the job's [lot] in its database.
// lot recover JOB --station NAME [--after MINUTES] [--force]: the values
// of a station that will not come back burned.
struct lot_recovery {
    std::string station;
    uint32_t after = 10;  // minutes unseen
    bool force = false;
};
struct lot_commands {
    CLI::App* create;
    CLI::App* extend;
    CLI::App* status;
    CLI::App* recover;
};
lot_commands options_add_lot(CLI::App& app, std::string* path, bool* json, lot_recovery* recovery);
// zelflash report [--by image|label:NAME] [--board-key NAME] [--json]
// [--html OUT.html] (LOG... | --lot JOB) (--board-key, --html and --lot
// only when their strings are given; LOG and --lot exclude each other, and
// one of them is needed).
CLI::App* options_add_report(CLI::App& app, std::vector<std::string>* logs, std::string* by, bool* json,
                             std::string* board_key = nullptr, std::string* html = nullptr,
                             std::string* lot_job = nullptr);

// Why the options cannot go together; empty when they can.
std::string options_flash_error(const flash_options& o);
std::string options_watch_error(const watch_options& w);

// Loads and places the image; false with a one-line error.
bool options_load_image(const flash_options& o, image* out, std::string* error);
run_limits options_limits(const flash_options& o);
