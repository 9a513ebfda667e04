// zelflash: the command-line programmer of zel devices.
//   zelflash write -p PORT [-p PORT ...] [options] [IMAGE]
//   zelflash watch [--glob PATTERN] [--match VID:PID] [options] [IMAGE]
//   zelflash list [--json]
#include <CLI/CLI.hpp>

#include "console.h"
#include "flash.h"
#include "watch.h"

static const char version_text[] = "zelflash 1.0.0";

int main(int argc, char** argv)
{
    console_fill_standard_descriptors();
    CLI::App app{"zelflash: writes a device image into zel devices on serial ports, sets their clocks "
                 "and restarts them"};
    // Before the subcommands, which take it over: every error line starts
    // with the program's name, as the others do.
    app.failure_message(
        [](const CLI::App* from, const CLI::Error& e) { return "zelflash: " + CLI::FailureMessage::simple(from, e); });
    app.set_version_flag("--version", version_text);
    app.require_subcommand(1);

    flash_options options;
    std::vector<std::string> ports;
    CLI::App* write = app.add_subcommand("write", "Program the device on every port given, all at once");
    write->add_option("-p,--port", ports, "Serial port: a device path (/dev/ttyUSB0), or COM7 on Windows")
        ->required()
        ->allow_extra_args(false);  // one port per -p: a word after it is the IMAGE
    flash_add_options(write, &options);

    watch_options watching;
    CLI::App* watch = app.add_subcommand("watch", "Program every port that appears, as boards are plugged in");
    watch->add_flag("--include-present", watching.include_present, "Also program the ports there at start");
    watch->add_option("--jobs", watching.jobs, "Boards programmed at once")->check(CLI::Range(1u, 256u));
    watch->add_option("--match", watching.match, "Only USB ports with these ids, VID:PID in hex (repeatable)")
        ->allow_extra_args(false);
    watch->add_option("--glob", watching.glob,
                      "Ports are the paths matching this pattern (wildcards in the last part), not the "
                      "system's serial ports");
    watch->add_option("--log", watching.log, "Append one JSON line per finished board to this file");
    flash_add_options(watch, &options);

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
