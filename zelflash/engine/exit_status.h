// The exit statuses of zelflash, which the commands return and scripts read;
// options_exit_statuses (options.h) says the same for --help.
#pragma once

enum zelflash_exit : int {
    EXIT_PROGRAMMED = 0,   // every board programmed
    EXIT_FAILED = 1,       // a board failed or was not started, or an output could not be written
    EXIT_BAD_INPUT = 2,    // bad usage or input: nothing was sent to any device
    EXIT_INTERRUPTED = 130,
};
