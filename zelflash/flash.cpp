#include "flash.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <memory>
#include <set>

#include "interrupts.h"
#include "terminal.h"

// The image the dialog program carries, compiled into zelflash as well.
extern const uint8_t zel_image_data[];
extern const uint32_t zel_image_size;

enum flash_constants : int {
    IDLE_WAKE_MS = 250,    // the longest sleep between looks at Ctrl-C
    MAX_RETRIES = 1000000,
};
constexpr double MIN_ERASE_SECONDS = 0.1;
constexpr double MAX_ERASE_SECONDS = 86400;  // a day

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
                value >= MIN_ERASE_SECONDS && value <= MAX_ERASE_SECONDS)
                return "";
            return as_given(text) + " is not a number of seconds from 0.1 to 86400";
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

void flash_add_options(CLI::App* command, flash_options* o)
{
    command->add_option("IMAGE", o->image_path,
                        "Image file: raw binary, Intel HEX (.hex, .ihex, .ihx) or S-record (.srec, .s19, .s28, "
                        ".s37, .mot); without it, the image built into zelflash");
    command->add_option("--format", o->format, "Image format instead of the one its extension names")
        ->check(CLI::IsMember({"auto", "bin", "ihex", "srec"}));
    command->add_option("-a,--address", o->address,
                        "Device address of a raw image, decimal or 0x hex (images of at most 255 bytes: 0x1FF000)")
        ->check(number_32("a 32-bit address", 0))
        ->default_str("0");
    command->add_option("-b,--baud", o->baud, "Line speed")->check(CLI::Range(1u, 4000000u));
    command->add_option("--retries", o->retries, "Attempts of one command before the port's run fails")
        ->check(CLI::Range(1u, static_cast<uint32_t>(MAX_RETRIES)));
    command->add_option("--erase-timeout", o->erase_timeout, "Seconds the wait for the erase may last")
        ->check(seconds_in_range());
    command->add_flag("--fill-gaps", o->fill_gaps,
                      "Write a HEX or S-record image whose records leave more than a 4 KiB sector between them; "
                      "the device erases the gaps and they read 0xFF");
    // The check runs before the function, so the text is a number here.
    command->add_option_function<std::string>(
               "--flash-size", [o](const std::string& text) { o->flash_size = *image_parse_address(text); },
               "Bytes of flash on the device, decimal or 0x hex (2 MiB); the image must lie below")
        ->check(number_32("a flash size from 1 to 0xFFFFFFFF bytes", 1))
        ->default_str("0x200000");
    command->add_flag("--json", o->json, "JSON lines on standard output, one event per line");
    command->add_flag("-q,--quiet", o->quiet, "Nothing on standard output; failures still on standard error");
}

bool flash_load_image(const flash_options& o, image* out, std::string* error)
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

run_limits flash_limits(const flash_options& o)
{
    return run_limits{o.retries, static_cast<uint32_t>(o.erase_timeout * 1000)};
}

std::string flash_options_error(const flash_options& o)
{
    if (o.json && o.quiet)
        return "-q and --json cannot go together: --json already keeps standard output to JSON events, and -q "
               "would leave it empty; give one of them";
    return "";
}

display_mode flash_display_mode(const flash_options& o)
{
    if (o.json)
        return DISPLAY_JSON;
    if (o.quiet)
        return DISPLAY_QUIET;
    if (terminal_is(stdout) && terminal_enable_ansi(stdout))
        return DISPLAY_LIVE;
    return DISPLAY_PLAIN;
}

static bool is_com_name(const std::string& name)
{
    if (name.size() < 4)
        return false;
    std::string head = name.substr(0, 3);
    std::transform(head.begin(), head.end(), head.begin(), [](unsigned char c) { return std::tolower(c); });
    return head == "com" && std::all_of(name.begin() + 3, name.end(), [](unsigned char c) { return std::isdigit(c); });
}

std::string flash_port_identity(const std::string& name)
{
    if (is_com_name(name)) {
        std::string upper = name;
        std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
        return upper;
    }
    std::error_code ec;
    std::filesystem::path real = std::filesystem::weakly_canonical(name, ec);
    return ec ? name : real.string();
}

static bool check_ports(const std::vector<std::string>& ports, display* d)
{
    std::set<std::string> seen;
    for (const std::string& p : ports)
        if (!seen.insert(flash_port_identity(p)).second) {
            d->problem(p + ": port given twice; give each port once", p);
            return false;
        }
    return true;
}

static int exit_status(const std::vector<board_view>& all, const display& d)
{
    bool interrupted = false;
    bool failed = !d.output_error().empty();  // the events a script reads are lost
    for (const board_view& v : all) {
        interrupted |= v.result.outcome == RUN_INTERRUPTED;
        failed |= !board_programmed(v.result.outcome);
    }
    return interrupted ? EXIT_INTERRUPTED : failed ? EXIT_FAILED : EXIT_PROGRAMMED;
}

static std::vector<board_view> views(const std::vector<std::unique_ptr<board>>& boards)
{
    std::vector<board_view> all;
    for (const auto& b : boards)
        all.push_back(b->view());
    return all;
}

// Every port is opened before a byte goes to any of them; false after the
// first that does not open (the ones opened put their ports back as they go).
static bool open_all(const std::vector<std::string>& ports, const flash_options& o, const image& img,
                     board_news* news, std::vector<std::unique_ptr<board>>* boards, display* d)
{
    for (const std::string& p : ports) {
        boards->push_back(std::make_unique<board>(static_cast<int>(boards->size()), p, "", news));
        std::string error;
        if (!boards->back()->open(o.baud, &error)) {
            d->finished(board_unstarted(p, "", BOARD_NOT_OPENED, error, static_cast<uint32_t>(img.bytes.size())));
            return false;
        }
    }
    return true;
}

// Shows the boards' news until every board has finished; the first
// interrupt stops them all after their exchange in flight.
static void follow(const std::vector<std::unique_ptr<board>>& boards, board_news* news, display* d)
{
    size_t finished = 0;
    std::vector<bool> shown(boards.size(), false);  // its end has been displayed
    int interrupts_seen = 0;
    auto wake = d->wake(std::chrono::milliseconds(IDLE_WAKE_MS));
    while (finished < boards.size()) {
        for (int i : news->take(wake)) {
            board_view v = boards[static_cast<size_t>(i)]->view();
            if (v.state != BOARD_FINISHED) {
                d->progressed(v);
            } else if (!shown[static_cast<size_t>(i)]) {
                shown[static_cast<size_t>(i)] = true;
                d->finished(v);
                finished += 1;
            }
        }
        if (interrupts_count() > interrupts_seen) {
            d->interrupted();
            interrupts_seen = interrupts_count();
            for (auto& b : boards)
                b->stop();
        }
        d->redraw(views(boards));
    }
}

int flash_write(const flash_options& o, const std::vector<std::string>& ports)
{
    interrupts_catch();
    display d(flash_display_mode(o), stdout, stderr);
    image img;
    std::string error;
    if (!flash_load_image(o, &img, &error)) {
        d.problem(error);
        return EXIT_BAD_INPUT;
    }
    if (!check_ports(ports, &d))
        return EXIT_BAD_INPUT;
    board_news news;
    std::vector<std::unique_ptr<board>> boards;
    if (!open_all(ports, o, img, &news, &boards, &d))
        return EXIT_BAD_INPUT;

    run_limits limits = flash_limits(o);
    for (auto& b : boards) {
        b->start(&img, limits);
        d.started(b->view(), img);
    }
    follow(boards, &news, &d);
    for (auto& b : boards)
        b->join();
    std::vector<board_view> all = views(boards);
    d.summary(all);
    int status = exit_status(all, d);
    if (status == EXIT_INTERRUPTED)
        d.notice("interrupted; the ports' settings are put back");
    return status;
}
