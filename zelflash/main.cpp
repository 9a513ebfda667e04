// zelflash: the command-line programmer of zel devices.
//   zelflash write -p PORT [-p PORT ...] [options] [IMAGE]
//   zelflash watch [--glob PATTERN] [--match VID:PID] [options] [IMAGE]
//   zelflash list [--json]
//   zelflash job check JOB
//   zelflash job init JOB
//   zelflash report [--by image|label:NAME] [--json] LOG...
#include <CLI/CLI.hpp>

#include <cstdio>
#include <exception>
#include <memory>

#include "display.h"
#include "job_check.h"
#include "job_options.h"
#include "list.h"
#include "options.h"
#include "report_command.h"
#include "terminal.h"
#include "watch.h"
#include "write.h"
#include "zel_version.h"

static const char version_text[] = "zelflash " ZEL_VERSION_LONG;

// write and watch with the job file's settings where the command line gives
// none, and the station's part of the run.
static int program(const CLI::App& command, flash_options* o, watch_options* w, std::vector<std::string>* ports)
{
    station_job job;
    station_setup setup;
    std::string error;
    bool ok = o->station.job.empty() || job_file_read(o->station.job, &job, &error);
    ok = ok && job_options_apply(command, o->station.job.empty() ? nullptr : &job, o, w, ports, &setup, &error) &&
         job_options_values_given(setup, &error) &&
         (w == nullptr || o->station.job.empty() || job_options_watchable(job, *w, &error));
    if (!ok) {
        std::unique_ptr<display> d = display_for(o->json, o->quiet, stdout, stderr);
        d->problem(error);
        return EXIT_BAD_INPUT;
    }
    return ports != nullptr ? write_run(*o, *ports, setup) : watch_run(*o, *w, setup);
}

static int run(int argc, char** argv)
{
    CLI::App app{"zelflash: writes a device image into zel devices on serial ports, sets their clocks "
                 "and restarts them"};
    options_prepare_app(app);  // before the subcommands, which take its settings over
    app.set_version_flag("--version", version_text);
    app.require_subcommand(1);

    flash_options options;
    std::vector<std::string> ports;
    CLI::App* write = options_add_write(app, &options, &ports);
    watch_options watching;
    CLI::App* watch = options_add_watch(app, &options, &watching);
    bool list_json = false;
    CLI::App* list = options_add_list(app, &list_json);
    std::string job_path;
    job_commands job = options_add_job(app, &job_path);
    report_options reporting;
    CLI::App* report = options_add_report(app, &reporting.logs, &reporting.by, &reporting.json);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int status = app.exit(e);
        return status == 0 ? EXIT_PROGRAMMED : EXIT_BAD_INPUT;
    }
    if (write->parsed())
        return program(*write, &options, nullptr, &ports);
    if (watch->parsed())
        return program(*watch, &options, &watching, nullptr);
    if (list->parsed())
        return list_run(list_json);
    if (job.check->parsed())
        return job_check_run(job_path);
    if (job.init->parsed())
        return job_init_run(job_path);
    if (report->parsed())
        return report_run(reporting);
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
