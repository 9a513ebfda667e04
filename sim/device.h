// The simulated device's command handling: what it does with the payload of
// an accepted packet, and whether and when it answers "ACK" and its NUL.
//
// Command: | name, NUL-terminated, in an 8-byte field | param 1 LE (4) |
//          | param 2 LE (4) | data (n) |
//
//   ERASE(start, end)      16 bytes; erases every sector [start, end) touches,
//                          in the background, erase_us_per_sector a sector
//   PROGRAM(0, 0)          16 bytes; "has the erase finished?": answered when
//                          no erase is running, else as the erase wait says
//   PROGRAM(a, a + n) data 16 + n bytes; flash = flash AND data, answered after
//                          program_us; not answered while an erase runs
//   RTC_SET record record  24 bytes; two 8-byte time records
//   RESET                  8 bytes
//
// What a device does with what comes while it erases differs from device to
// device (device_erase_wait): it holds the question and answers it when the
// erase ends, or ignores everything until it is done, or it erases before it
// answers ERASE at all and takes what came meanwhile afterwards, in order.
//
// Commands that are unknown, malformed (wrong length, end < start, a data
// length other than end - start) or reach past the flash are not answered.
// Every command is logged with what became of it, for the report.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "flash.h"

enum device_sizes : uint32_t {
    DEVICE_NAME_FIELD = 8,      // name and NUL; ERASE and RESET leave 2 bytes unused
    DEVICE_COMMAND_HEADER = 16, // name field and the two parameters
    DEVICE_TIME_RECORD = 8,     // year - 2000, month, day, hour, minute, second, 0, 0
    DEVICE_RTC_SET_SIZE = 24,
    DEVICE_RESET_SIZE = 8,
    DEVICE_ACK_SIZE = 4,
};

// Reply payload of every accepted command: "ACK" and its NUL.
constexpr std::array<uint8_t, DEVICE_ACK_SIZE> DEVICE_ACK = {'A', 'C', 'K', 0};

enum device_outcome : int32_t {
    DEVICE_ANSWERED = 0,     // an "ACK" is due (see command_record::reply_us)
    DEVICE_WAITING = 1,      // PROGRAM(0, 0) held until the running erase ends
    DEVICE_SUPERSEDED = 2,   // a held PROGRAM(0, 0) replaced by a later one
    DEVICE_UNKNOWN = 3,      // no name this device knows
    DEVICE_MALFORMED = 4,    // wrong length, end < start, data length != end - start
    DEVICE_OUT_OF_FLASH = 5, // range reaches past the flash
    DEVICE_BUSY = 6,         // PROGRAM with data while an erase runs, or any
                             // command then (DEVICE_WAIT_IGNORE)
};

// How the device treats the erase wait.
enum device_erase_wait : int32_t {
    DEVICE_WAIT_HOLD = 0,        // PROGRAM(0, 0) held to the erase's end; a later one
                                 // replaces it, so one answer comes
    DEVICE_WAIT_HOLD_ALL = 1,    // every PROGRAM(0, 0) held, all answered at the end
    DEVICE_WAIT_IGNORE = 2,      // every command ignored while erasing; the first
                                 // one after is answered
    DEVICE_WAIT_LATE_ERASE = 3,  // ERASE answered once erased; commands that came
                                 // meanwhile are taken after it, in order
    DEVICE_WAIT_MODES = 4,
};

const char* device_erase_wait_name(int32_t mode);
// The mode named by text ("hold", "hold-all", "ignore", "late-erase"); -1 for none.
int32_t device_erase_wait_parse(const char* text);

const char* device_outcome_name(int32_t outcome);

struct command_record {
    std::string name;      // as received, non-printable bytes shown as '?'
    uint32_t param1;
    uint32_t param2;
    uint32_t data_length;  // bytes behind the 16-byte head (0 for shorter commands)
    int64_t time_us;       // when the device took the command
    int32_t outcome;       // device_outcome
    int64_t reply_us;      // when the "ACK" is ready (DEVICE_ANSWERED)
    bool reply_sent;       // the "ACK" reached the line (set by the caller)
    std::string fault;     // fault that hit the reply, empty if none (set by the caller)
    int64_t frame;         // number of the frame that carried it, from 1 (set by the caller)
};

struct rtc_setting {
    std::array<uint8_t, DEVICE_TIME_RECORD> first;
    std::array<uint8_t, DEVICE_TIME_RECORD> second;
    int64_t time_us;
};

struct device_timing {
    int64_t erase_us_per_sector;
    int64_t program_us;
    int32_t erase_wait;  // device_erase_wait
};

struct device {
    flash memory;
    device_timing timing;
    int64_t erase_end_us;            // a running erase ends then; <= now: none runs
    std::vector<size_t> held;        // indices in log of the held PROGRAM(0, 0)s, in order
    std::vector<command_record> log;
    std::vector<rtc_setting> clock_settings;
    int32_t resets;
    int64_t last_reset_us;
};

void device_init(device* t, device_timing timing);

// Handles one accepted payload taken at now_us and logs it. Returns the index
// of its record in t->log; the record's outcome says whether an "ACK" is due
// (DEVICE_ANSWERED, at reply_us) or held (DEVICE_WAITING, until the erase
// ends: see device_release_waits).
size_t device_command(device* t, std::span<const uint8_t> payload, int64_t now_us);

// True while an erase runs at now_us.
bool device_erasing(const device* t, int64_t now_us);

// Once the running erase has ended: turns the held PROGRAM(0, 0)s into
// DEVICE_ANSWERED with reply_us = the erase's end and returns their indices,
// in order; none while the erase still runs.
std::vector<size_t> device_release_waits(device* t, int64_t now_us);
