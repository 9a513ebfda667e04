// zelflash: the command-line programmer of zel devices.
//   zelflash write -p PORT [-p PORT ...] [options] [IMAGE]
#include <CLI/CLI.hpp>

#include "flash.h"

static const char version_text[] = "zelflash 1.0.0";

int main(int argc, char** argv)
{
    CLI::App app{"zelflash: writes a device image into zel devices on serial ports, sets their clocks "
                 "and restarts them"};
    app.set_version_flag("--version", version_text);
    app.require_subcommand(1);

    flash_options options;
    std::vector<std::string> ports;
    CLI::App* write = app.add_subcommand("write", "Program the device on every port given, all at once");
    write->add_option("-p,--port", ports, "Serial port: a device path (/dev/ttyUSB0), or COM7 on Windows")
        ->required();
    flash_add_options(write, &options);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int status = app.exit(e);
        return status == 0 ? EXIT_PROGRAMMED : EXIT_BAD_INPUT;
    }
    if (write->parsed())
        return flash_write(options, ports);
    return EXIT_BAD_INPUT;
}
