// What the programming commands of zelflash (write, watch) share: the image
// and run options, their checks, and the display mode they ask for.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "display.h"
#include "image_file.h"
#include "run.h"

namespace CLI {
class App;
}

// Exit statuses of zelflash.
enum flash_exit : int {
    EXIT_PROGRAMMED = 0,   // every board programmed
    EXIT_FAILED = 1,       // a board failed or was not started, or an output could not be written
    EXIT_BAD_INPUT = 2,    // bad usage or input: nothing was sent to any device
    EXIT_INTERRUPTED = 130,
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
};

// Adds IMAGE, --format, --address, --baud, --retries, --erase-timeout,
// --fill-gaps, --flash-size, --json and --quiet to a command.
void flash_add_options(CLI::App* command, flash_options* o);
// Why the options cannot go together; empty when they can.
std::string flash_options_error(const flash_options& o);
// Loads and places the image; false with a one-line error.
bool flash_load_image(const flash_options& o, image* out, std::string* error);
run_limits flash_limits(const flash_options& o);
display_mode flash_display_mode(const flash_options& o);
// The same port under another spelling ("com7" and "COM7"; a symlink and its
// target) gives the same identity.
std::string flash_port_identity(const std::string& name);

// zelflash write: every port at once; the exit status.
int flash_write(const flash_options& o, const std::vector<std::string>& ports);
