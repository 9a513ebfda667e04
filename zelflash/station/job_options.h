// A job file's settings as options of write and watch: each one counts where
// the command line does not give it, and the station's fields, state file,
// labels and image pin come from the file and the command line together.
#pragma once

#include <string>

#include "station/job_file.h"
#include "station/settings.h"
#include "station/station.h"

// Fills what the command line did not give (`command_line`) from `job`
// (null: no job file), then builds the station's part of the run; with
// `wants_ports` (write) there must be a port to program. false with a
// one-line error (exit 2).
bool job_options_apply(const station_job* job, const setting_marks& command_line, bool wants_ports,
                       setting_values* values, station_setup* setup, std::string* error);
// Every value field of the job has its value from --set; false with the error.
bool job_options_values_given(const station_setup& setup, std::string* error);
// A job for watch names what to watch (glob or match, in the file or on the
// command line): one that names only ports is a job for write, and watch
// would take every serial port. false with the error.
bool job_options_watchable(const station_job& job, const watch_options& w, std::string* error);
// A job file read with nothing from the command line, for the commands
// that take only a job (job check, job init): the file, the options it
// gives and the station's part.
struct job_alone {
    station_job job;
    setting_values values;
    station_setup setup;
};
bool job_options_of_file(const std::string& path, job_alone* out, std::string* error);
