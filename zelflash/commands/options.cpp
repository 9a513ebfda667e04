#include "commands/options.h"

#include <CLI/CLI.hpp>
#include <charconv>
#include <cmath>
#include <initializer_list>
#include <utility>

#include "values/fields.h"
#include "images/image_file.h"

// The image the dialog program carries, compiled into zelflash as well.
extern const uint8_t zel_image_data[];
extern const uint32_t zel_image_size;

const char options_exit_statuses[] =
    "Exit status:\n"
    "  0    every board programmed\n"
    "  1    a board failed or was not started, or standard output or the board log could not be written\n"
    "  2    bad usage or input; nothing was sent to any device\n"
    "  130  interrupted (Ctrl-C, SIGTERM, SIGHUP)";

// The text as the user gave it, quoted, so that an empty one shows.
static std::string as_given(const std::string& text)
{
    return "'" + text + "'";
}

// A number of seconds: what from_chars reads, nothing around it, finite and in
// range. CLI11's Range lets "nan" through (no comparison with it is true), and
// the seconds become milliseconds in a uint32_t, where neither a NaN nor an
// infinity has a value.
static CLI::Validator seconds_in_range()
{
    return CLI::Validator(
        [](std::string& text) -> std::string {
            double value = 0;
            const char* end = text.data() + text.size();
            auto [stop, result] = std::from_chars(text.data(), end, value);
            if (!text.empty() && result == std::errc() && stop == end && std::isfinite(value) &&
                value >= OPTION_ERASE_SECONDS_MIN && value <= OPTION_ERASE_SECONDS_MAX)
                return "";
            return as_given(text) + options_erase_seconds_range;
        },
        "FLOAT in [0.1 - 86400]");
}

// Decimal or 0x hex, 32 bits, at least `least`, as image_parse_address reads
// it. Checked as it is parsed: an empty --address would otherwise pass for
// no --address at all.
static CLI::Validator number_32(std::string what, uint32_t least)
{
    return CLI::Validator(
        [what, least](std::string& text) -> std::string {
            std::optional<uint32_t> value = image_parse_address(text);
            if (value && *value >= least)
                return "";
            return as_given(text) + " is not " + what + "; give it in decimal, or in hex with 0x";
        },
        "");
}

// Options that cannot go together are refused as usage errors, exit 2,
// once the whole command line is read.
static void refuse(const std::string& reason)
{
    if (!reason.empty())
        throw CLI::ValidationError(reason);
}

// A setting of the table as the command line spells it, with its checks.
static CLI::Option* add_text(CLI::App* command, const setting& s, setting_values* v)
{
    std::string* text = s.place.text(v);
    switch (s.kind) {
    case SETTING_CHOICE:
        return command->add_option(s.flag, *text, s.help)
            ->check(CLI::IsMember(std::vector<std::string>(s.choices.begin(), s.choices.end())));
    case SETTING_ADDRESS_TEXT:
        return command->add_option(s.flag, *text, s.help)->check(number_32(s.flag_noun, s.least));
    default: break;
    }
    CLI::Option* option = command->add_option(s.flag, *text, s.help);
    if (s.check != nullptr)
        option->check(CLI::Validator([check = s.check](std::string& given) { return check(given); }, s.check_name));
    return option;
}

static CLI::Option* add_number(CLI::App* command, const setting& s, setting_values* v)
{
    uint32_t* number = s.place.number(v);
    if (s.kind == SETTING_NUMBER)
        return command->add_option(s.flag, *number, s.help)->check(CLI::Range(s.least, s.most));
    // The check runs before the function, so the text is a number here.
    return command
        ->add_option_function<std::string>(
            s.flag, [number](const std::string& text) { *number = *image_parse_address(text); }, s.help)
        ->check(number_32(s.flag_noun, s.least));
}

static CLI::Option* add_setting(CLI::App* command, const setting& s, setting_values* v)
{
    switch (s.kind) {
    case SETTING_SIZE:
    case SETTING_NUMBER: return add_number(command, s, v);
    case SETTING_SECONDS: return command->add_option(s.flag, *s.place.seconds(v), s.help)->check(seconds_in_range());
    case SETTING_SWITCH: return command->add_flag(s.flag, *s.place.on(v), s.help);
    case SETTING_LIST:
        // One value per option: a word after it is the IMAGE.
        return command->add_option(s.flag, *s.place.list(v), s.help)->allow_extra_args(false);
    default: return add_text(command, s, v);
    }
}

// The options a command took from the table, to mark those given.
using added_settings = std::vector<std::pair<setting_id, const CLI::Option*>>;

static void add_settings(CLI::App* command, std::initializer_list<setting_id> ids, setting_values* v,
                         added_settings* added)
{
    for (setting_id id : ids) {
        const setting& s = settings_row(id);
        CLI::Option* option = add_setting(command, s, v);
        if (s.shown_default != nullptr)
            option->default_str(s.shown_default);  // in place of an empty list or text
        added->emplace_back(id, option);
    }
}

static void mark_given(const added_settings& added, setting_marks* given)
{
    for (const auto& [id, option] : added)
        given->given[id] = option->count() > 0;
}

// The job file and per-board values; the job file's settings count where
// the command line does not give them.
static void add_station_options(CLI::App* command, setting_values* v, added_settings* added)
{
    station_options* s = &v->flash.station;
    command->add_option("--job", s->job, "The station's job file (TOML): image, link, ports, fields, labels")
        ->check(CLI::ExistingFile);
    command->add_option("--serial", s->serial,
                        "A serial number per board: ADDR:FORMAT:START[:STEP[:LAST]], such as 0x1F000:le32:1000 "
                        "(formats le8..le64, be8..be64, decN, hexN)")
        ->check(CLI::Validator(
            [](std::string& text) {
                field_spec f;
                std::string error;
                return field_parse_serial(text, &f, &error) ? std::string() : error;
            },
            "FIELD"));
    command->add_option("--set", s->set, "The value of one of the job's value fields, NAME=VALUE (repeatable)")
        ->allow_extra_args(false)
        ->default_str("");
    add_settings(command, {SETTING_STATE}, v, added);
    command->add_flag("--new-state", s->new_state,
                      "Make the --state file for a new lot (without a job; a job's is made by job init)");
    add_settings(command, {SETTING_LOG, SETTING_ON_FAILURE}, v, added);
}

void options_prepare_app(CLI::App& app)
{
    // Every error line starts with the program's name, as the others do;
    // help shows each option's default and what the exit statuses mean.
    app.failure_message(
        [](const CLI::App* from, const CLI::Error& e) { return "zelflash: " + CLI::FailureMessage::simple(from, e); });
    app.option_defaults()->always_capture_default();
    app.footer(options_exit_statuses);
    // Options are spelt -x and --name on every platform. CLI11 built for
    // Windows would also read "/x" and "/name:value" as options, and so
    // refuse an image or a log given as /images/fw.bin, an MSYS path
    // (/c/images) or a WSL one (/mnt/c/images).
    app.allow_windows_style_options(false);
}

static void add_flash_options(CLI::App* command, setting_values* v, added_settings* added)
{
    add_settings(command,
                 {SETTING_IMAGE, SETTING_FORMAT, SETTING_ADDRESS, SETTING_BAUD, SETTING_RETRIES, SETTING_ERASE_TIMEOUT,
                  SETTING_FILL_GAPS, SETTING_FLASH_SIZE},
                 v, added);
    command->add_flag("--json", v->flash.json, "JSON lines on standard output, one event per line");
    add_station_options(command, v, added);
    command->add_flag("-q,--quiet", v->flash.quiet, "Nothing on standard output; failures still on standard error");
}

CLI::App* options_add_write(CLI::App& app, setting_values* values, setting_marks* given)
{
    CLI::App* write = app.add_subcommand("write", "Program the device on every port given, all at once");
    added_settings added;
    add_settings(write, {SETTING_PORTS}, values, &added);
    add_flash_options(write, values, &added);
    // Without -p the ports come from the job file.
    write->parse_complete_callback([values, given, added] {
        if (values->ports.empty() && values->flash.station.job.empty())
            throw CLI::RequiredError("--port");
        refuse(options_flash_error(values->flash));
        mark_given(added, given);
    });
    return write;
}

CLI::App* options_add_watch(CLI::App& app, setting_values* values, setting_marks* given)
{
    CLI::App* watch = app.add_subcommand("watch", "Program every port that appears, as boards are plugged in");
    added_settings added;
    add_settings(watch, {SETTING_INCLUDE_PRESENT, SETTING_JOBS, SETTING_MATCH, SETTING_GLOB, SETTING_PORTS,
                         SETTING_MODE, SETTING_PRESENT, SETTING_PROBE_MS, SETTING_LEAVE_MS},
                 values, &added);
    CLI::Option* fixture = watch->add_flag("--fixture")->description("Each port is a fixture's slot: --mode fixture");
    add_flash_options(watch, values, &added);
    watch->add_option("--http", values->watch.http,
                      "Serve the station's page, its events and metrics on [ADDR:]PORT (address 127.0.0.1 unless "
                      "given; PORT 0 picks a free one)");
    watch->add_option("--http-token-file", values->watch.http_token_file,
                      "A file whose first line is the token that lets the page pause, resume and stop the "
                      "station; needed to listen on an address other than loopback");
    watch->parse_complete_callback([values, given, added, fixture] {
        refuse(options_flash_error(values->flash));
        mark_given(added, given);
        if (fixture->count() > 0 && given->given[SETTING_MODE] && values->watch.mode != "fixture")
            refuse("--fixture and --mode " + values->watch.mode + " cannot go together; give one of them");
        if (fixture->count() > 0) {
            values->watch.mode = "fixture";
            given->given[SETTING_MODE] = true;
        }
        refuse(options_watch_error(values->watch));
    });
    return watch;
}

CLI::App* options_add_list(CLI::App& app, bool* json)
{
    CLI::App* list = app.add_subcommand("list", "List the serial ports with what the system knows of them");
    list->add_flag("--json", *json, "A JSON array");
    return list;
}

job_commands options_add_job(CLI::App& app, std::string* path)
{
    CLI::App* job = app.add_subcommand("job", "Work with a station's job file");
    job->require_subcommand(1);
    CLI::App* check = job->add_subcommand("check", "Check a job file and show what a run would do, touching no port");
    check->add_option("JOB", *path, "The job file (TOML)")->required()->check(CLI::ExistingFile);
    CLI::App* init = job->add_subcommand("init", "Make the job's state file, once, for a new lot");
    init->add_option("JOB", *path, "The job file (TOML)")->required()->check(CLI::ExistingFile);
    return {check, init};
}

// What the lot commands' exit statuses mean, for their --help.
static const char lot_exit_statuses[] =
    "Exit status:\n"
    "  0    done (or nothing to do)\n"
    "  1    the lot's database could not be reached, or a statement failed\n"
    "  2    bad usage or job, or refused (other definitions, a newer schema, no such lot, a live station)";

lot_commands options_add_lot(CLI::App& app, std::string* path, bool* json, lot_recovery* recovery)
{
    CLI::App* lot = app.add_subcommand("lot", "Work with a production lot that stations share through a database");
    lot->require_subcommand(1);
    CLI::App* create = lot->add_subcommand("create", "Make the job's lot in its database, once");
    CLI::App* extend = lot->add_subcommand("extend", "Raise the lot's counters' last values, add lines to its lists");
    CLI::App* status = lot->add_subcommand("status", "What the lot has handed out, what is left, and its stations");
    CLI::App* recover = lot->add_subcommand(
        "recover", "Burn the values held by a station that will not come back (its computer or disk lost)");
    for (CLI::App* command : {create, extend, status, recover})
        command->add_option("JOB", *path, "The job file (TOML), with its [lot]")->required()->check(CLI::ExistingFile);
    status->add_flag("--json", *json, "One JSON document");
    recover->add_option("--station", recovery->station, "The station, as the lot names it (lot status lists them)")
        ->required();
    recover->add_option("--after", recovery->after, "Minutes the station must have been unseen")
        ->default_val(10)
        ->check(CLI::Range(0, 525600));
    recover->add_flag("--force", recovery->force, "However recently it was seen (never while it is live)");
    for (CLI::App* command : {lot, create, extend, status, recover})
        command->footer(lot_exit_statuses);
    return {create, extend, status, recover};
}

// LOG... or --lot JOB, one of them.
static void report_inputs(CLI::App* report, std::vector<std::string>* logs, std::string* lot_job)
{
    CLI::Option* log = report->add_option("LOG", *logs, "Board logs (watch --log), several stations' at once");
    if (lot_job == nullptr) {
        log->required();
        return;
    }
    report->add_option("--lot", *lot_job, "The records of the job's [lot], from the lot database, instead of logs")
        ->option_text("JOB")
        ->excludes(log);
    report->callback([logs, lot_job] {
        if (logs->empty() && lot_job->empty())
            throw CLI::RequiredError("LOG");
    });
}

CLI::App* options_add_report(CLI::App& app, std::vector<std::string>* logs, std::string* by, bool* json,
                             std::string* board_key, std::string* html, std::string* lot_job)
{
    CLI::App* report = app.add_subcommand("report", "The yield of board logs: boards, failures, times, ports");
    report_inputs(report, logs, lot_job);
    report->add_option("--by", *by, "Groups: image, or label:NAME (label:lot)")->default_str("");
    if (board_key != nullptr)
        report
            ->add_option("--board-key", *board_key,
                         "Know boards by this field of the values given to them (e.g. serial), not by their adapter")
            ->default_str("")
            ->check(CLI::Validator(
                [](std::string& text) {
                    return text.empty() ? as_given(text) + " is not a field name; give the value field that "
                                                            "names a board, e.g. serial"
                                        : std::string();
                },
                "NAME"));
    report->add_flag("--json", *json, "One JSON document");
    if (html != nullptr)
        report
            ->add_option("--html", *html,
                         "Also write the report as one HTML page with its charts to this file (replaced whole)")
            ->option_text("OUT.html")
            ->check(CLI::Validator(
                [](std::string& text) {
                    return text.empty() ? as_given(text) + " is not a file name; give the page's file" : std::string();
                },
                "OUT.html"));
    return report;
}

bool options_load_image(const flash_options& o, image* out, std::string* error)
{
    std::optional<uint32_t> address;
    if (!o.address.empty()) {
        address = image_parse_address(o.address);
        if (!address) {
            *error = "--address " + o.address + ": not a 32-bit address (decimal, or hex with 0x)";
            return false;
        }
    }
    image_format format = IMAGE_AUTO;
    if (o.format != "auto")
        format = *image_format_named(o.format);
    image_rules rules;
    rules.fill_gaps = o.fill_gaps;
    rules.flash_size = o.flash_size;
    return image_load(o.image_path, format, address, zel_image_data, zel_image_size, rules, out, error);
}

run_limits options_limits(const flash_options& o)
{
    return run_limits{o.retries, static_cast<uint32_t>(o.erase_timeout * 1000)};
}

std::string options_flash_error(const flash_options& o)
{
    if (o.json && o.quiet)
        return "-q and --json cannot go together: --json already keeps standard output to JSON events, and -q "
               "would leave it empty; give one of them";
    if (o.station.new_state && !o.station.job.empty())
        return "--new-state is for a state file without a job; a job's state file is made once by zelflash job "
               "init JOB";
    if (o.station.new_state && o.station.state.empty())
        return "--new-state needs --state FILE, the state file to make";
    return "";
}

std::string options_watch_error(const watch_options& w)
{
    if (!w.http_token_file.empty() && w.http.empty())
        return "--http-token-file guards the station's page: give --http [ADDR:]PORT with it";
    if (w.mode == "fixture" && w.include_present)
        return "--include-present is for a port per board; a fixture's slots are its ports there at start, and "
               "each board arriving in one is programmed";
    if (!w.glob.empty() && !w.match.empty())
        return "--glob and --match cannot go together: the paths --glob matches are taken whatever their USB "
               "ids; give one of them";
    return "";
}
