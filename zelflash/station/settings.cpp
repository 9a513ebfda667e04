#include "station/settings.h"

#include <algorithm>
#include <cctype>

#include "platform/ports.h"

namespace {

constexpr const char* format_choices[] = {"auto", "bin", "ihex", "srec"};
constexpr const char* failure_choices[] = {"burn", "reuse"};
constexpr const char* mode_choices[] = {"ports", "fixture"};
constexpr const char* present_choices[] = {"probe", "dsr", "cts", "dcd", "ri", "enter"};

std::string sha256_error(const std::string& digits)
{
    bool hex = digits.size() == 64 &&
               std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isxdigit(c) != 0; });
    return hex ? "" : "'" + digits + "' is not a SHA-256 digest; give its 64 hex digits, as sha256sum prints them";
}

// Where each setting lands, for the table below.
setting_place text_at(std::string* (*text)(setting_values*))
{
    return setting_place{.text = text};
}
setting_place number_at(uint32_t* (*number)(setting_values*))
{
    return setting_place{.number = number};
}
setting_place list_at(std::vector<std::string>* (*list)(setting_values*))
{
    return setting_place{.list = list};
}
setting_place on_at(bool* (*on)(setting_values*))
{
    return setting_place{.on = on};
}

const setting image_rows[] = {
    {.id = SETTING_IMAGE, .flag = "IMAGE", .section = "[image]", .key = "path", .kind = SETTING_PATH,
     .help = "Image file: raw binary, Intel HEX (.hex, .ihex, .ihx) or S-record (.srec, .s19, .s28, .s37, .mot); "
             "without it, the image built into zelflash",
     .place = text_at([](setting_values* v) { return &v->flash.image_path; })},
    {.id = SETTING_SHA256, .flag = nullptr, .section = "[image]", .key = "sha256", .kind = SETTING_TEXT,
     .check = sha256_error, .place = text_at([](setting_values* v) { return &v->flash.station.sha256; })},
    {.id = SETTING_FORMAT, .flag = "--format", .section = "[image]", .key = "format", .kind = SETTING_CHOICE,
     .choices = format_choices, .help = "Image format instead of the one its extension names",
     .place = text_at([](setting_values* v) { return &v->flash.format; })},
    {.id = SETTING_ADDRESS, .flag = "-a,--address", .section = "[image]", .key = "address",
     .kind = SETTING_ADDRESS_TEXT, .least = 0, .most = 0xFFFFFFFF, .noun = "a 32-bit address", .flag_noun = "a 32-bit address",
     .help = "Device address of a raw image, decimal or 0x hex (images of at most 255 bytes: 0x1FF000)",
     .shown_default = "0", .place = text_at([](setting_values* v) { return &v->flash.address; })},
    {.id = SETTING_FILL_GAPS, .flag = "--fill-gaps", .section = "[image]", .key = "fill_gaps", .kind = SETTING_SWITCH,
     .help = "Write a HEX or S-record image whose records leave more than a 4 KiB sector between them; the device "
             "erases the gaps and they read 0xFF",
     .place = on_at([](setting_values* v) { return &v->flash.fill_gaps; })},
    {.id = SETTING_FLASH_SIZE, .flag = "--flash-size", .section = "[image]", .key = "flash_size",
     .kind = SETTING_SIZE, .least = 1, .most = 0xFFFFFFFF, .noun = "a flash size in bytes",
     .flag_noun = "a flash size from 1 to 0xFFFFFFFF bytes",
     .help = "Bytes of flash on the device, decimal or 0x hex (2 MiB); the image must lie below",
     .shown_default = "0x200000", .place = number_at([](setting_values* v) { return &v->flash.flash_size; })},
};

const setting link_rows[] = {
    {.id = SETTING_BAUD, .flag = "-b,--baud", .section = "[link]", .key = "baud", .kind = SETTING_NUMBER, .least = 1,
     .most = OPTION_BAUD_MAX, .noun = "a line speed", .help = "Line speed",
     .place = number_at([](setting_values* v) { return &v->flash.baud; })},
    {.id = SETTING_RETRIES, .flag = "--retries", .section = "[link]", .key = "retries", .kind = SETTING_NUMBER,
     .least = 1, .most = OPTION_RETRIES_MAX, .noun = "a number of attempts",
     .help = "Attempts of one command before the port's run fails",
     .place = number_at([](setting_values* v) { return &v->flash.retries; })},
    {.id = SETTING_ERASE_TIMEOUT, .flag = "--erase-timeout", .section = "[link]", .key = "erase_timeout",
     .kind = SETTING_SECONDS, .help = "Seconds the wait for the erase may last",
     .place = setting_place{.seconds = [](setting_values* v) { return &v->flash.erase_timeout; }}},
};

const setting station_rows[] = {
    {.id = SETTING_PORTS, .flag = "-p,--port", .section = "[station]", .key = "ports", .kind = SETTING_LIST,
     .help = "Serial port: a device path (/dev/ttyUSB0), or COM7 on Windows", .shown_default = "",
     .place = list_at([](setting_values* v) { return &v->ports; })},
    {.id = SETTING_GLOB, .flag = "--glob", .section = "[station]", .key = "glob", .kind = SETTING_TEXT,
     .check = ports_glob_error, .check_name = "PATTERN",
     .help = "Ports are the paths matching this pattern (wildcards in the last part), not the system's serial ports",
     .place = text_at([](setting_values* v) { return &v->watch.glob; })},
    {.id = SETTING_MATCH, .flag = "--match", .section = "[station]", .key = "match", .kind = SETTING_LIST,
     .help = "Only USB ports with these ids, VID:PID in hex (repeatable)", .shown_default = "",
     .place = list_at([](setting_values* v) { return &v->watch.match; })},
    {.id = SETTING_JOBS, .flag = "--jobs", .section = "[station]", .key = "jobs", .kind = SETTING_NUMBER, .least = 1,
     .most = OPTION_JOBS_MAX, .noun = "a number of boards at once", .help = "Boards programmed at once",
     .place = number_at([](setting_values* v) { return &v->watch.jobs; })},
    {.id = SETTING_INCLUDE_PRESENT, .flag = "--include-present", .section = "[station]", .key = "include_present",
     .kind = SETTING_SWITCH, .help = "Also program the ports there at start",
     .place = on_at([](setting_values* v) { return &v->watch.include_present; })},
    {.id = SETTING_LOG, .flag = "--log", .section = "[station]", .key = "log", .kind = SETTING_PATH,
     .help = "Append one JSON line per finished board to this file (the board log)",
     .place = text_at([](setting_values* v) { return &v->flash.station.log; })},
    {.id = SETTING_STATE, .flag = "--state", .section = "[station]", .key = "state", .kind = SETTING_PATH,
     .help = "The state file that records the values handed out (default: the job's, beside it)",
     .place = text_at([](setting_values* v) { return &v->flash.station.state; })},
    {.id = SETTING_ON_FAILURE, .flag = "--on-failure", .section = "[station]", .key = "on_failure",
     .kind = SETTING_CHOICE, .choices = failure_choices,
     .help = "What becomes of a failed board's values: burn or reuse", .shown_default = "burn",
     .place = text_at([](setting_values* v) { return &v->flash.station.on_failure; })},
    {.id = SETTING_MODE, .flag = "--mode", .section = "[station]", .key = "mode", .kind = SETTING_CHOICE,
     .choices = mode_choices,
     .help = "What the ports are: ports (a board brings its own port, which appears when it is plugged in) or "
             "fixture (each port is a fixture's slot, open all day, where boards come and go); --fixture is "
             "--mode fixture",
     .place = text_at([](setting_values* v) { return &v->watch.mode; })},
    {.id = SETTING_PRESENT, .flag = "--present", .section = "[station]", .key = "present", .kind = SETTING_CHOICE,
     .choices = present_choices,
     .help = "Fixture: how a board is known to be in its slot: probe (it answers its loader), dsr, cts, dcd or ri "
             "(the fixture's switch drives that modem line), enter (the operator presses Enter)",
     .place = text_at([](setting_values* v) { return &v->watch.present; })},
    {.id = SETTING_PROBE_MS, .flag = "--probe-ms", .section = "[station]", .key = "probe_ms", .kind = SETTING_NUMBER,
     .least = OPTION_PROBE_MS_MIN, .most = OPTION_PROBE_MS_MAX, .noun = "a probe period in milliseconds",
     .help = "Fixture: milliseconds between two probes of a slot",
     .place = number_at([](setting_values* v) { return &v->watch.probe_ms; })},
    {.id = SETTING_LEAVE_MS, .flag = "--leave-ms", .section = "[station]", .key = "leave_ms", .kind = SETTING_NUMBER,
     .least = OPTION_LEAVE_MS_MIN, .most = OPTION_LEAVE_MS_MAX, .noun = "a time in milliseconds",
     .help = "Fixture: a programmed board that has not answered its loader this long has left its slot",
     .place = number_at([](setting_values* v) { return &v->watch.leave_ms; })},
};

// The three sections, one after the other, as the job file gives them.
const std::array<setting, SETTING_COUNT> table = [] {
    std::array<setting, SETTING_COUNT> rows{};
    size_t n = 0;
    for (std::span<const setting> part : {std::span<const setting>(image_rows), std::span<const setting>(link_rows),
                                          std::span<const setting>(station_rows)})
        for (const setting& row : part)
            rows[n++] = row;
    return rows;
}();

template <typename T>
void copy(T* (*place)(setting_values*), setting_values* from, setting_values* to)
{
    *place(to) = *place(from);
}

}  // namespace

std::span<const setting> settings_table()
{
    return table;
}

const setting& settings_row(setting_id id)
{
    return table[id];
}

void settings_merge(const setting_values& from, const setting_marks& from_given, setting_values* to,
                    const setting_marks& to_given)
{
    setting_values source = from;  // the places hand out pointers to change through
    for (const setting& s : table) {
        if (!from_given.given[s.id] || to_given.given[s.id])
            continue;
        const setting_place& p = s.place;
        if (p.text)
            copy(p.text, &source, to);
        else if (p.number)
            copy(p.number, &source, to);
        else if (p.seconds)
            copy(p.seconds, &source, to);
        else if (p.on)
            copy(p.on, &source, to);
        else
            copy(p.list, &source, to);
    }
}
