#include "options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>

#include "device.h"
#include "flash.h"

enum option_defaults : int32_t {
    DEFAULT_SEED = 1,
    DEFAULT_SLOW_GAP_MS = 5,   // well inside the tool's 120 ms per-byte time-out
    DEFAULT_LATE_MS = 200,     // well past it
    DEFAULT_NOISE_MAX = 8,
    DEFAULT_WAIT_SPREAD_MS = 20,  // inside the tool's 30 ms bound on it
};

void options_defaults(options* t)
{
    *t = options{};
    t->seed = DEFAULT_SEED;
    t->slow_gap_ms = DEFAULT_SLOW_GAP_MS;
    t->late_ms = DEFAULT_LATE_MS;
    t->noise_max = DEFAULT_NOISE_MAX;
    t->erase_wait = DEVICE_WAIT_HOLD;
    t->wait_spread_ms = DEFAULT_WAIT_SPREAD_MS;
    t->exit_after_reset_ms = -1;
    t->report_path = "-";
    t->plan = fixture_plan_defaults();
}

static bool parse_unsigned(const std::string& text, uint64_t max, uint64_t* out)
{
    if (text.empty() || text[0] == '-')
        return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v > max)
        return false;
    *out = v;
    return true;
}

static bool parse_number(const std::string& text, double* out)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (*end != '\0' || !std::isfinite(v) || v < 0)
        return false;
    *out = v;
    return true;
}

bool options_parse_fault(const std::string& text, fault_rule* out)
{
    *out = fault_rule{0.0, 0};
    if (text.empty())
        return false;
    if (text.back() == '%') {
        double percent = 0;
        if (!parse_number(text.substr(0, text.size() - 1), &percent) || percent > 100)
            return false;
        out->probability = percent / 100;
        return true;
    }
    if (text.find_first_of(".eE") != std::string::npos) {
        double p = 0;
        if (!parse_number(text, &p) || p > 1)
            return false;
        out->probability = p;
        return true;
    }
    uint64_t count = 0;
    if (!parse_unsigned(text, INT64_MAX, &count))
        return false;
    out->count = static_cast<int64_t>(count);
    return true;
}

// "N:T": the reply to frame N leaves T ms late.
static bool parse_late_frame(const std::string& text, options* t)
{
    size_t colon = text.find(':');
    if (colon == std::string::npos)
        return false;
    uint64_t frame = 0;
    double ms = 0;
    if (!parse_unsigned(text.substr(0, colon), INT64_MAX, &frame) || frame == 0)
        return false;
    if (!parse_number(text.substr(colon + 1), &ms) || ms <= 0)
        return false;
    t->aimed.push_back(fault_at{static_cast<int64_t>(frame), FAULT_LATE_REPLY, static_cast<int64_t>(ms * 1000.0 + 0.5)});
    return true;
}

static bool parse_miss_frame(const std::string& text, options* t)
{
    uint64_t frame = 0;
    if (!parse_unsigned(text, INT64_MAX, &frame) || frame == 0)
        return false;
    t->aimed.push_back(fault_at{static_cast<int64_t>(frame), FAULT_IGNORE_FRAME, 0});
    return true;
}

struct option_entry {
    const char* name;
    bool takes_value;
    std::function<bool(options*, const std::string&)> apply;
    bool needs_fixture = false;  // meaningful only with --fixture
};

static bool set_text(std::string* field, const std::string& v)
{
    *field = v;
    return !v.empty();
}

static bool set_u32(uint32_t* field, const std::string& v)
{
    uint64_t x = 0;
    if (!parse_unsigned(v, UINT32_MAX, &x))
        return false;
    *field = static_cast<uint32_t>(x);
    return true;
}

static std::vector<option_entry> option_table()
{
    return {
        {"link", true, [](options* t, const std::string& v) { return set_text(&t->link_path, v); }},
        {"device", true, [](options* t, const std::string& v) { return set_text(&t->device_path, v); }},
        {"tag", true, [](options* t, const std::string& v) { t->tagged = true; return set_u32(&t->tag, v); }},
        {"erase-ms-per-sector", true, [](options* t, const std::string& v) { return parse_number(v, &t->erase_ms_per_sector); }},
        {"program-ms", true, [](options* t, const std::string& v) { return parse_number(v, &t->program_ms); }},
        {"erase-wait", true, [](options* t, const std::string& v) {
             t->erase_wait = device_erase_wait_parse(v.c_str());
             return t->erase_wait >= 0;
         }},
        {"wait-spread-ms", true, [](options* t, const std::string& v) { return parse_number(v, &t->wait_spread_ms); }},
        {"baud", true, [](options* t, const std::string& v) {
             uint64_t x = 0;
             if (!parse_unsigned(v, 100000000, &x) || x == 0)
                 return false;
             t->baud = static_cast<long>(x);
             return true;
         }},
        {"seed", true, [](options* t, const std::string& v) { return parse_unsigned(v, UINT64_MAX, &t->seed); }},
        {"drop-reply", true, [](options* t, const std::string& v) { return options_parse_fault(v, &t->faults[FAULT_DROP_REPLY]); }},
        {"flip-reply", true, [](options* t, const std::string& v) { return options_parse_fault(v, &t->faults[FAULT_FLIP_REPLY]); }},
        {"noise", true, [](options* t, const std::string& v) { return options_parse_fault(v, &t->faults[FAULT_NOISE]); }},
        {"slow-reply", true, [](options* t, const std::string& v) { return options_parse_fault(v, &t->faults[FAULT_SLOW_REPLY]); }},
        {"late-reply", true, [](options* t, const std::string& v) { return options_parse_fault(v, &t->faults[FAULT_LATE_REPLY]); }},
        {"ignore-frame", true, [](options* t, const std::string& v) { return options_parse_fault(v, &t->faults[FAULT_IGNORE_FRAME]); }},
        {"late-frame", true, [](options* t, const std::string& v) { return parse_late_frame(v, t); }},
        {"miss-frame", true, [](options* t, const std::string& v) { return parse_miss_frame(v, t); }},
        {"mute", false, [](options* t, const std::string&) { t->mute = true; return true; }},
        {"slow-gap-ms", true, [](options* t, const std::string& v) { return parse_number(v, &t->slow_gap_ms); }},
        {"late-ms", true, [](options* t, const std::string& v) { return parse_number(v, &t->late_ms); }},
        {"noise-max", true, [](options* t, const std::string& v) {
             uint64_t x = 0;
             if (!parse_unsigned(v, 4096, &x) || x == 0)
                 return false;
             t->noise_max = static_cast<int32_t>(x);
             return true;
         }},
        {"exit-after-reset-ms", true, [](options* t, const std::string& v) { return parse_number(v, &t->exit_after_reset_ms); }},
        {"time-limit-s", true, [](options* t, const std::string& v) { return parse_number(v, &t->time_limit_s); }},
        {"report", true, [](options* t, const std::string& v) { return set_text(&t->report_path, v); }},
        {"flash-dump", true, [](options* t, const std::string& v) { return set_text(&t->flash_dump_path, v); }},
        {"image", true, [](options* t, const std::string& v) { return set_text(&t->image_path, v); }},
        {"image-addr", true, [](options* t, const std::string& v) { return set_u32(&t->image_addr, v); }},
        {"help", false, [](options* t, const std::string&) { t->help = true; return true; }},
    };
}

// Milliseconds into microseconds, more than 0 when above_zero.
static bool parse_ms(const std::string& text, bool above_zero, int64_t* out_us)
{
    double ms = 0;
    if (!parse_number(text, &ms) || (above_zero && ms <= 0) || ms > 1e9)
        return false;
    *out_us = static_cast<int64_t>(ms * 1000.0 + 0.5);
    return true;
}

// "ADDR:LEN", both decimal or 0x hex, within the flash.
static bool parse_read(const std::string& text, options* t)
{
    size_t colon = text.find(':');
    uint64_t addr = 0, length = 0;
    if (colon == std::string::npos || !parse_unsigned(text.substr(0, colon), FLASH_SIZE, &addr) ||
        !parse_unsigned(text.substr(colon + 1), FIXTURE_READ_MAX, &length))
        return false;
    if (length == 0 || addr + length > FLASH_SIZE)
        return false;
    t->reads.push_back(fixture_read{static_cast<uint32_t>(addr), static_cast<uint32_t>(length)});
    return true;
}

static std::vector<option_entry> fixture_option_table()
{
    return {
        {"fixture", false, [](options* t, const std::string&) { t->fixture = true; return true; }, false},
        {"present-ms", true, [](options* t, const std::string& v) { return parse_ms(v, true, &t->plan.present_us); }, true},
        {"absent-ms", true, [](options* t, const std::string& v) { return parse_ms(v, false, &t->plan.absent_us); }, true},
        {"boards", true, [](options* t, const std::string& v) {
             uint64_t n = 0;
             if (!parse_unsigned(v, 1000000, &n))
                 return false;
             t->plan.boards = static_cast<int32_t>(n);
             return true;
         }, true},
        {"after-reset", true, [](options* t, const std::string& v) {
             t->plan.after_reset = fixture_after_reset_parse(v);
             return t->plan.after_reset >= 0;
         }, true},
        {"loader-boards", true, [](options* t, const std::string& v) { return fixture_parse_boards(v, &t->plan.loader_boards); }, true},
        {"loader-return-ms", true, [](options* t, const std::string& v) { return parse_ms(v, false, &t->plan.loader_return_us); }, true},
        {"read", true, [](options* t, const std::string& v) { return parse_read(v, t); }, true},
    };
}

static const option_entry* find_option(const std::vector<option_entry>& table, const std::string& name)
{
    for (const option_entry& e : table)
        if (name == e.name)
            return &e;
    return nullptr;
}

// Options that only make sense together. needs_fixture: the last option
// given that means something only with --fixture, or empty.
static bool check_combination(const options* t, const std::string& needs_fixture, std::string* error)
{
    if (!t->link_path.empty() && !t->device_path.empty()) {
        *error = "--link and --device exclude each other";
        return false;
    }
    if (!needs_fixture.empty() && !t->fixture) {
        *error = "--" + needs_fixture + " needs --fixture";
        return false;
    }
    return true;
}

bool options_parse(options* t, const std::vector<std::string>& args, std::string* error)
{
    std::vector<option_entry> table = option_table();
    for (option_entry& e : fixture_option_table())
        table.push_back(std::move(e));
    std::string needs_fixture;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "-h") {
            t->help = true;
            continue;
        }
        if (arg.rfind("--", 0) != 0) {
            *error = "unexpected argument: " + arg;
            return false;
        }
        size_t equals = arg.find('=');
        std::string name = arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
        const option_entry* e = find_option(table, name);
        if (!e) {
            *error = "unknown option: " + arg;
            return false;
        }
        std::string value;
        if (equals != std::string::npos) {
            value = arg.substr(equals + 1);
        } else if (e->takes_value) {
            if (i + 1 >= args.size()) {
                *error = "missing value for --" + name;
                return false;
            }
            value = args[++i];
        }
        if (!e->takes_value && equals != std::string::npos) {
            *error = "--" + name + " takes no value";
            return false;
        }
        if (!e->apply(t, value)) {
            *error = "bad value for --" + name + ": " + value;
            return false;
        }
        if (e->needs_fixture)
            needs_fixture = name;
    }
    return check_combination(t, needs_fixture, error);
}

// The help text, one section of it to a constant.
static const char help_usage_and_line[] = R"(usage: zelsim [options]
A simulated target device for the zel flash tool: speaks the device side of
the serial protocol (SLIP frames, CRC-32 packets, ERASE / PROGRAM / RTC_SET /
RESET answered with "ACK"), keeps a 2 MiB NOR flash, and reports at exit.

Line
  --link PATH              make a pty and a symlink PATH to its tool end
                           (without --link and --device the pty is made with
                           no symlink; its /dev/pts path is printed)
  --device PATH            use a real serial device instead of a pty
  --baud N                 emulate an N-baud line (10 bits a byte) both ways;
                           default: instant line
)";
static const char help_device[] = R"(Device
  --tag N                  tagged device with tag N (default: plain framing)
  --erase-ms-per-sector T  erase time of each 4 KiB sector (default 0)
  --program-ms T           time of each PROGRAM chunk (default 0)
  --erase-wait MODE        what the device does with commands while it erases:
                           hold      holds PROGRAM(0, 0) and answers it when
                                     the erase ends; a later one replaces it
                                     (default)
                           hold-all  holds every PROGRAM(0, 0) and answers
                                     them all, in order, when the erase ends
                           ignore    answers nothing while erasing; the first
                                     command after the erase is answered
                           late-erase  answers ERASE only once it has erased;
                                     what comes meanwhile is taken afterwards,
                                     in order (an ERASE then erases again)
)";
static const char help_faults[] = R"(Faults (F: probability "0.1" or "10%", or a count N = the first N chances)
  --seed S                 seed of the fault generator (default 1)
  --drop-reply F           drop a reply
  --flip-reply F           flip one bit of a reply
  --noise F                random bytes right after a reply
  --slow-reply F           write a reply a byte at a time with gaps
  --late-reply F           delay a reply past the tool's 120 ms time-out
  --ignore-frame F         ignore an incoming frame
  --late-frame N:T         the reply to frame N (from 1) leaves T ms late
                           (repeatable; the report numbers every command's frame)
  --miss-frame N           ignore frame N (repeatable)
  --mute                   never answer at all
  --slow-gap-ms T          gap between the bytes of a slow reply (default 5)
  --late-ms T              delay of a late reply (default 200)
  --noise-max N            at most N noise bytes (default 8)
  --wait-spread-ms T       after the first answer to PROGRAM(0, 0) since an
                           ERASE, a late or slow reply fault holds the others
                           back by at most T ms, so the answers of one erase
                           wait come together (default 20)
)";
static const char help_fixture[] = R"(Fixture (one port for the whole run, boards seated and taken off on it)
  --fixture                boards come and go on the one port: board 1 is
                           seated at the start; while the slot is empty every
                           frame is dropped unanswered; each board starts with
                           an erased flash and a fresh device, every option
                           above applying to each
  --present-ms T           a board stays seated T ms (default 5000)
  --absent-ms T            then the slot is empty T ms (default 1000)
  --boards N               N boards come, then the slot stays empty
                           (default 0: boards keep coming)
  --after-reset MODE       after a RESET a board runs its application and
                           answers nothing more (app, default) or comes back
                           into its loader and answers again (loader)
  --loader-boards LIST     these boards (from 1, e.g. 2,5) come back into their
                           loader after a RESET whatever --after-reset says
  --loader-return-ms T     from RESET to the loader answering (default 100)
  --read ADDR:LEN          report each board's flash at ADDR, LEN bytes (at
                           most 4096), in hex (repeatable)
  With --fixture the report lists each board; --exit-after-reset-ms T ends
  the run T ms after the last of --boards N has left; --flash-dump FILE writes
  FILE.1, FILE.2, ... one a board. Status lines say "zelsim: board K seated"
  and "zelsim: board K removed".
)";
static const char help_end[] = R"(End and report
  --exit-after-reset-ms T  exit once T ms pass without input after a RESET
  --time-limit-s T         exit after T seconds in any case
  --report FILE            JSON report at exit (default: standard output)
  --flash-dump FILE        write the 2 MiB flash to FILE at exit
  --image FILE             compare the flash with FILE at exit ("image_match")
  --image-addr A           where the image should be (default 0)
  --help                   this text
SIGINT and SIGTERM end the run; the report is written in every case.
)";

std::string options_help()
{
    return std::string(help_usage_and_line) + help_device + help_faults + help_fixture + help_end;
}
