// zelflash: the command-line programmer of zel devices.
//   zelflash write -p PORT [-p PORT ...] [options] [IMAGE]
//   zelflash watch [--glob PATTERN] [--match VID:PID] [options] [IMAGE]
//   zelflash list [--json]
//   zelflash job check JOB
//   zelflash job init JOB
//   zelflash report [--by image|label:NAME] [--json] [--html OUT.html] LOG... | --lot JOB
//   zelflash lot create|extend JOB, zelflash lot status [--json] JOB, zelflash lot recover JOB --station NAME
#include <CLI/CLI.hpp>

#include <cstdio>
#include <exception>
#include <memory>

#include "outputs/display_factory.h"
#include "commands/job_check.h"
#include "station/job_options.h"
#include "commands/list.h"
#include "commands/lot_command.h"
#include "commands/options.h"
#include "commands/report_command.h"
#include "platform/terminal.h"
#include "commands/watch.h"
#include "commands/write.h"
#include "zel_version.h"

static const char version_text[] = "zelflash " ZEL_VERSION_LONG;

// write and watch with the job file's settings where the command line gives
// none, and the station's part of the run.
// `given`: the settings the command line gave.
static int program(bool writing, const setting_marks& given, setting_values* v)
{
    const flash_options& o = v->flash;
    bool with_job = !o.station.job.empty();
    station_job job;
    station_setup setup;
    std::string error;
    bool ok = !with_job || job_file_read(o.station.job, &job, &error);
    ok = ok && job_options_apply(with_job ? &job : nullptr, given, writing, v, &setup, &error) &&
         job_options_values_given(setup, &error) &&
         (writing || !with_job || job_options_watchable(job, v->watch, &error));
    if (!ok) {
        std::unique_ptr<display> d = display_for(o.json, o.quiet, stdout, stderr);
        d->problem(error);
        return EXIT_BAD_INPUT;
    }
    return writing ? write_run(o, v->ports, setup) : watch_run(o, v->watch, v->ports, setup);
}

static int run(int argc, char** argv)
{
    CLI::App app{"zelflash: writes a device image into zel devices on serial ports, sets their clocks "
                 "and restarts them"};
    options_prepare_app(app);  // before the subcommands, which take its settings over
    app.set_version_flag("--version", version_text);
    app.require_subcommand(1);

    setting_values values;
    setting_marks given;
    CLI::App* write = options_add_write(app, &values, &given);
    CLI::App* watch = options_add_watch(app, &values, &given);
    bool list_json = false;
    CLI::App* list = options_add_list(app, &list_json);
    std::string job_path;
    job_commands job = options_add_job(app, &job_path);
    report_options reporting;
    CLI::App* report =
        options_add_report(app, &reporting.logs, &reporting.by, &reporting.json, &reporting.board_key,
                           &reporting.html, &reporting.lot_job);
    bool lot_json = false;
    lot_recovery recovery;
    lot_commands lot = options_add_lot(app, &job_path, &lot_json, &recovery);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int status = app.exit(e);
        return status == 0 ? EXIT_PROGRAMMED : EXIT_BAD_INPUT;
    }
    if (write->parsed())
        return program(true, given, &values);
    if (watch->parsed())
        return program(false, given, &values);
    if (list->parsed())
        return list_run(list_json);
    if (job.check->parsed())
        return job_check_run(job_path);
    if (job.init->parsed())
        return job_init_run(job_path);
    if (report->parsed())
        return report_run(reporting);
    if (lot.create->parsed() || lot.extend->parsed())
        return lot.create->parsed() ? lot_create_run(job_path) : lot_extend_run(job_path);
    if (lot.recover->parsed())
        return lot_recover_run(job_path, recovery.station, recovery.after, recovery.force);
    if (lot.status->parsed())
        return lot_status_run(job_path, lot_json);
    return EXIT_BAD_INPUT;
}

int main(int argc, char** argv)
{
    terminal_fill_standard_streams();
    // The boards' own threads catch what they throw; what reaches here has
    // unwound the main thread, whose boards stop and put their ports back on
    // the way.
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zelflash: internal error: %s; the ports' settings are put back; please report it\n",
                     e.what());
    } catch (...) {
        std::fprintf(stderr, "zelflash: internal error; the ports' settings are put back; please report it\n");
    }
    return EXIT_FAILED;
}
