// zelflash: the command-line programmer of zel devices.
//   zelflash write -p PORT [-p PORT ...] [options] [IMAGE]
//   zelflash watch [--glob PATTERN] [--match VID:PID] [options] [IMAGE]
//   zelflash list [--json]
#include <CLI/CLI.hpp>

#include <cstdio>
#include <exception>

#include "flash.h"
#include "terminal.h"
#include "watch.h"
#include "zel_version.h"

static const char version_text[] = "zelflash " ZEL_VERSION_LONG;

static const char exit_statuses[] =
    "Exit status:\n"
    "  0    every board programmed\n"
    "  1    a board failed or was not started, or standard output or the board log could not be written\n"
    "  2    bad usage or input; nothing was sent to any device\n"
    "  130  interrupted (Ctrl-C, SIGTERM, SIGHUP)";

// Options that cannot go together are refused as usage errors, exit 2,
// once the whole command line is read.
static void refuse(const std::string& reason)
{
    if (!reason.empty())
        throw CLI::ValidationError(reason);
}

static CLI::App* add_write(CLI::App& app, flash_options* options, std::vector<std::string>* ports)
{
    CLI::App* write = app.add_subcommand("write", "Program the device on every port given, all at once");
    write->add_option("-p,--port", *ports, "Serial port: a device path (/dev/ttyUSB0), or COM7 on Windows")
        ->required()
        ->allow_extra_args(false)  // one port per -p: a word after it is the IMAGE
        ->default_str("");         // none: not an empty list in the help
    flash_add_options(write, options);
    write->parse_complete_callback([options] { refuse(flash_options_error(*options)); });
    return write;
}

static CLI::App* add_watch(CLI::App& app, flash_options* options, watch_options* watching)
{
    CLI::App* watch = app.add_subcommand("watch", "Program every port that appears, as boards are plugged in");
    watch->add_flag("--include-present", watching->include_present, "Also program the ports there at start");
    watch->add_option("--jobs", watching->jobs, "Boards programmed at once")->check(CLI::Range(1u, 256u));
    watch->add_option("--match", watching->match, "Only USB ports with these ids, VID:PID in hex (repeatable)")
        ->allow_extra_args(false)
        ->default_str("");
    watch->add_option("--glob", watching->glob,
                      "Ports are the paths matching this pattern (wildcards in the last part), not the "
                      "system's serial ports")
        ->check(CLI::Validator([](std::string& text) { return ports_glob_error(text); }, "PATTERN"));
    watch->add_option("--log", watching->log, "Append one JSON line per finished board to this file");
    flash_add_options(watch, options);
    watch->parse_complete_callback([options, watching] {
        refuse(flash_options_error(*options));
        refuse(watch_options_error(*watching));
    });
    return watch;
}

static int run(int argc, char** argv)
{
    CLI::App app{"zelflash: writes a device image into zel devices on serial ports, sets their clocks "
                 "and restarts them"};
    // Before the subcommands, which take them over: every error line starts
    // with the program's name, as the others do; help shows each option's
    // default and what the exit statuses mean.
    app.failure_message(
        [](const CLI::App* from, const CLI::Error& e) { return "zelflash: " + CLI::FailureMessage::simple(from, e); });
    app.option_defaults()->always_capture_default();
    app.footer(exit_statuses);
    app.set_version_flag("--version", version_text);
    app.require_subcommand(1);

    flash_options options;
    std::vector<std::string> ports;
    CLI::App* write = add_write(app, &options, &ports);
    watch_options watching;
    CLI::App* watch = add_watch(app, &options, &watching);
    bool list_json = false;
    CLI::App* list = app.add_subcommand("list", "List the serial ports with what the system knows of them");
    list->add_flag("--json", list_json, "A JSON array");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int status = app.exit(e);
        return status == 0 ? EXIT_PROGRAMMED : EXIT_BAD_INPUT;
    }
    if (write->parsed())
        return flash_write(options, ports);
    if (watch->parsed())
        return flash_watch(options, watching);
    if (list->parsed())
        return flash_list(list_json);
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
