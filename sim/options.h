// Command line of zelsim. Every option is "--name VALUE" or "--name=VALUE";
// see options_help for the list.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "faults.h"
#include "fixture.h"

struct options {
    std::string link_path;    // --link: symlink to the pty's tool end
    std::string device_path;  // --device: a real serial device instead of a pty
    bool tagged;              // --tag given
    uint32_t tag;             // --tag
    double erase_ms_per_sector;
    double program_ms;
    int32_t erase_wait;       // --erase-wait: device_erase_wait
    double wait_spread_ms;    // --wait-spread-ms: how far apart the erase wait's answers may come
    long baud;                // 0: instant line
    uint64_t seed;
    std::array<fault_rule, FAULT_KINDS> faults;
    std::vector<fault_at> aimed;  // --late-frame, --miss-frame
    bool mute;
    double slow_gap_ms;
    double late_ms;
    int32_t noise_max;
    double exit_after_reset_ms;  // < 0: RESET does not end the run
    double time_limit_s;         // 0: no limit
    std::string report_path;     // "-": standard output
    std::string flash_dump_path;
    std::string image_path;
    uint32_t image_addr;
    bool fixture;                     // --fixture: boards come and go on one port
    fixture_plan plan;                // --present-ms, --absent-ms, --boards, --after-reset, ...
    std::vector<fixture_read> reads;  // --read: flash ranges given per board
    bool help;
};

void options_defaults(options* t);

// Parses argv[1..argc-1] into *t (which should hold the defaults). Returns
// false with *error naming the offending argument.
bool options_parse(options* t, const std::vector<std::string>& args, std::string* error);

// A fault's value: "0.25" or "25%" is a probability per opportunity, a whole
// number N >= 1 a count (the first N opportunities), "0" none.
bool options_parse_fault(const std::string& text, fault_rule* out);

std::string options_help();
