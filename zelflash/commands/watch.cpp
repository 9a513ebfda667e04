#include "commands/watch.h"

#include <chrono>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>

#include "outputs/logbook.h"
#include "outputs/display_factory.h"
#include "platform/interrupts.h"
#include "platform/port_identity.h"
#include "platform/ports.h"
#include "engine/session.h"
#include "station/board_source.h"
#include "station/fixture_station.h"
#include "station/station.h"
#include "platform/sha256.h"
#include "values/serials_lot.h"
#include "web/web_page.h"

enum watch_constants : int {
    SCAN_MS = 250,  // how often the ports are looked for
};

namespace {

// A port as a scan finds it. The identity tells a new device behind the
// same path (a symlink pointing elsewhere) from the one seen before.
struct found_port {
    port_info info;
    std::string identity;
};

enum watched_state : int32_t {
    WATCHED_LEFT_ALONE = 0,  // there at start without --include-present: never taken
    WATCHED_TAKEN = 1,       // handed to the session: not taken again
};

// An attached port, from the scan that first found it to the one that finds
// it gone or another device behind its path; then its attachment ends, and
// a port found there again is a new one.
struct watched_port {
    port_info info;
    std::string identity;
    watched_state state = WATCHED_TAKEN;
    int board = -1;  // the session's id of its board, when taken
};

// The ports as each scan finds them, held against what the scans before
// found: a port is queued in the session when it appears, and withdrawn
// when it goes away before its turn.
class scanner : public board_source {
public:
    scanner(const watch_options& w, display* d) : w_(w), d_(d) {}
    // Reads --match; false when an id is malformed (said).
    bool parse_match();
    // The ports there at start, left alone unless --include-present; not
    // EXIT_PROGRAMMED when they cannot be known (said): every one would
    // then look new.
    int open(session* s) override;
    // A scan, when one is due.
    void look(session* s) override;
    // "serial ports", or the --glob pattern.
    std::string what() const override { return w_.glob.empty() ? std::string("serial ports") : w_.glob; }
    // Whether --glob or --match narrows the ports down.
    bool narrowed() const { return !w_.glob.empty() || !match_.empty(); }
    // The wanted ports there now, in the order of their paths; false when
    // they cannot be known (said).
    bool present(std::vector<port_info>* out);

private:
    bool scan(std::map<std::string, found_port>* found);
    bool scan_glob(std::map<std::string, found_port>* found);
    void add_usb_facts(std::map<std::string, found_port>* found);
    bool system_ports(std::vector<port_info>* out);
    bool wanted(const port_info& p) const;
    void rescan(session* s);

    const watch_options& w_;
    display* d_;
    std::vector<usb_id> match_;
    std::map<std::string, watched_port> ports_;  // by path: every attached port seen
    std::string list_error_;  // why the system's port list failed last; empty once it works again
    std::chrono::steady_clock::time_point next_scan_{};
};

bool scanner::parse_match()
{
    for (const std::string& m : w_.match) {
        std::optional<usb_id> id = ports_parse_usb_id(m);
        if (!id) {
            d_->problem("--match " + m + ": not a USB id; give VID:PID in hex, such as 0403:6001");
            return false;
        }
        match_.push_back(*id);
    }
    return true;
}

int scanner::open(session*)
{
    std::map<std::string, found_port> present;
    if (!scan(&present))
        return EXIT_FAILED;
    if (!w_.include_present)
        for (const auto& [path, f] : present)
            ports_[path] = watched_port{f.info, f.identity, WATCHED_LEFT_ALONE, -1};
    next_scan_ = std::chrono::steady_clock::now();
    return EXIT_PROGRAMMED;
}

bool scanner::present(std::vector<port_info>* out)
{
    std::map<std::string, found_port> found;
    if (!scan(&found))
        return false;
    for (const auto& [path, f] : found)
        if (wanted(f.info))
            out->push_back(f.info);
    return true;
}

void scanner::look(session* s)
{
    if (std::chrono::steady_clock::now() < next_scan_)
        return;
    rescan(s);
    next_scan_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(SCAN_MS);
}

// The system's port list. A failure is said once, not at every scan, and
// is no empty list: the caller keeps what it saw before, so that attached
// boards do not look gone and then new.
bool scanner::system_ports(std::vector<port_info>* out)
{
    std::string error;
    if (ports_list(out, &error)) {
        list_error_.clear();
        return true;
    }
    if (error != list_error_)
        d_->problem("cannot read the system's serial ports (" + error + "); keeping the last list");
    list_error_ = error;
    return false;
}

// Without --glob the ports are the system's list; false when it could not
// be read.
bool scanner::scan(std::map<std::string, found_port>* found)
{
    if (!w_.glob.empty())
        return scan_glob(found);
    std::vector<port_info> system;
    if (!system_ports(&system))
        return false;
    for (const port_info& p : system)
        (*found)[p.path] = found_port{p, port_identity(p.path)};
    return true;
}

// With --glob the ports are the matching paths, with the USB facts of the
// system's list where a path leads to a port it knows; that list is only
// read when a path is new.
bool scanner::scan_glob(std::map<std::string, found_port>* found)
{
    bool fresh = false;
    for (const std::string& path : ports_glob(w_.glob)) {
        found_port f{port_info{}, port_identity(path)};
        f.info.path = path;
        auto seen = ports_.find(path);
        if (seen != ports_.end() && seen->second.identity == f.identity)
            f.info = seen->second.info;
        else
            fresh = true;
        (*found)[path] = f;
    }
    if (fresh)
        add_usb_facts(found);
    return true;
}

// Without the system's list the paths only lack their USB facts.
void scanner::add_usb_facts(std::map<std::string, found_port>* found)
{
    std::vector<port_info> system;
    if (!system_ports(&system))
        return;
    std::map<std::string, const port_info*> known;  // the system's ports by identity
    for (const port_info& p : system)
        known[port_identity(p.path)] = &p;
    for (auto& [path, f] : *found) {
        auto k = known.find(f.identity);
        if (k != known.end()) {
            f.info = *k->second;
            f.info.path = path;
        }
    }
}

bool scanner::wanted(const port_info& p) const
{
    if (match_.empty())
        return true;
    for (const usb_id& id : match_)
        if (id.vid == p.vid && id.pid == p.pid)
            return true;
    return false;
}

// A port gone, or another device behind its path, ends its attachment; a
// board still waiting for its turn there leaves the queue. New ports are
// queued in the order found, while the session takes boards.
void scanner::rescan(session* s)
{
    std::map<std::string, found_port> now;
    if (!scan(&now))
        return;
    std::erase_if(ports_, [&](const auto& entry) {
        auto f = now.find(entry.first);
        bool gone = f == now.end() || f->second.identity != entry.second.identity;
        if (gone && entry.second.state == WATCHED_TAKEN)
            s->withdraw(entry.second.board);
        return gone;
    });
    // Once the session takes no more boards, a new port is still queued:
    // it ends at once "not started", named, logged and counted.
    for (const auto& [path, f] : now)
        if (ports_.count(path) == 0 && wanted(f.info))
            ports_[path] = watched_port{f.info, f.identity, WATCHED_TAKEN, s->queue(f.info)};
}

session_rules watch_rules(const flash_options& o, const watch_options& w)
{
    session_rules rules;
    rules.baud = o.baud;
    rules.limits = options_limits(o);
    rules.jobs = w.jobs;
    rules.interrupts_to_stop = 2;
    rules.keep_ended = false;
    rules.open_grace = std::chrono::milliseconds(1000);  // a port that has just appeared may be half-ready
    if (w.mode == "fixture") {
        rules.limits.silence_ms = fixture_silence_ms(w.leave_ms, o.baud);
        rules.presence_line = fixture_line_of(w.present);
    }
    rules.unstarted_hint = w.mode == "fixture"
                               ? "take it out, and seat it again once the station runs"
                               : "program it in another run (watch --include-present takes the ports already there)";
    return rules;
}

std::string footer(const session& s, const std::string& what)
{
    const board_tally& t = s.tally();
    return std::to_string(t.done) + " done, " + std::to_string(t.failed) + " failed, " +
           std::to_string(s.running()) + " running, " + std::to_string(s.waiting()) + " waiting; watching " + what +
           (s.taking() ? "; Ctrl-C stops" : "; stopping");
}

// The station's loop: interrupts, standard output, a look for boards, the
// page's commands, the queue (unless the page paused it), the boards'
// news, the rows; until no board is taken or runs. A station that cannot
// write its standard output stops taking boards.
void run_station(session* s, board_source* boards, display* d, web_page* page)
{
    auto wake = d->wake(std::chrono::milliseconds(SCAN_MS));
    while (!s->over()) {
        s->look_at_interrupts();
        if (!d->output_error().empty() && !s->failed())
            s->halt("standard output cannot be written");
        boards->look(s);
        if (page != nullptr)
            page->pass(s, d);
        if (page == nullptr || !page->paused())
            s->start_queued();
        s->take_news(wake);
        boards->redraw(s, footer(*s, boards->what()));
    }
}

// The values the station's state file has left per counted field, read
// beside the station as job check reads it; nothing when it cannot be read.
// A lot's station learns them in the background: never a database on the
// main thread.
web_values_source values_left_of(const station_setup& setup, const station& st)
{
    std::vector<field_spec> counted = station_counted(setup);
    if (counted.empty())
        return {};
    if (setup.lot)
        return [&st] {
            std::vector<web_field_left> all;
            std::map<std::string, std::optional<uint64_t>> left;
            if (st.source() != nullptr && st.source()->remaining(&left))
                for (const auto& [field, n] : left)
                    all.push_back({field, n});
            return all;
        };
    return [&setup, counted] {
        std::vector<value_field> fields;
        std::vector<field_value> next;
        std::string error;
        std::unique_ptr<value_source> state = station_source(setup);
        if (!serial_lot_read_fields(counted, &fields, &error) || !state->look(counted, setup.policy, &error))
            return std::vector<web_field_left>{};
        if (!state->peek(&next, &error))
            next.clear();  // a field has run out
        return web_values_left(fields, next);
    };
}

// The address and token of --http, checked before anything opens; false
// when they are refused (said). No page without --http.
bool web_config_of(const watch_options& w, display* d, std::optional<web_server_config>* out)
{
    if (w.http.empty())
        return true;
    web_server_config c;
    std::string error;
    bool fit = web_address_parse(w.http, &c.address, &error) &&
               (w.http_token_file.empty() || web_token_read(w.http_token_file, &c.token, &error));
    if (fit)
        error = web_bind_refusal(c.address, !c.token.empty());
    if (!error.empty()) {
        d->problem(error);
        return false;
    }
    *out = c;
    return true;
}

int watch_boards(const flash_options& o, const watch_options& w, const image& img, board_source* boards,
                 session_listener* first, display* d, const station_setup& setup)
{
    logbook log(&setup.labels);
    station st(setup, nullptr);
    std::optional<web_server_config> served;
    if (!web_config_of(w, d, &served) || !st.open(img, d) || !log.open(setup.log_path, d))
        return EXIT_BAD_INPUT;
    session s(watch_rules(o, w), img, &st);
    station_waker waker(st, s);
    struct closer {
        board_source* boards;
        ~closer() { boards->close(); }
    } closing{boards};  // before the session goes, also when an error unwinds this
    if (first != nullptr)
        s.subscribe(first);  // the fixture has its port back before anyone hears of the board
    display_listener shown(d);
    s.subscribe(&shown);  // a board is shown before it is logged
    s.subscribe(&log);
    // After the session, so that it goes first: nothing from the page's
    // threads reaches a session that is gone.
    std::unique_ptr<web_page> page;
    if (served)
        page = std::make_unique<web_page>(*served, &setup.labels, values_left_of(setup, st));
    if (page != nullptr && !page->start(&s, d))
        return EXIT_BAD_INPUT;
    int opened = boards->open(&s);
    if (opened != EXIT_PROGRAMMED)
        return opened;
    s.watching(boards->what());
    run_station(&s, boards, d, page.get());
    std::string error;
    if (!log.close(&error))
        s.fail(error);
    std::string lost = st.close();
    if (!lost.empty())
        s.fail(lost);
    s.tell_totals();
    return s.exit_status();
}

// A fixture's slots: the ports named, else those the pattern or the USB ids
// find at start.
bool fixture_ports(const std::vector<std::string>& named, scanner* ports, std::vector<port_info>* out,
                   display* d)
{
    for (const std::string& path : named) {
        port_info p;
        p.path = path;
        out->push_back(p);
    }
    if (named.empty() && !ports->narrowed()) {
        d->problem("--fixture needs the fixture's ports: give them with -p (or [station] ports), --glob or --match; "
                   "without them every serial port of the computer would be probed");
        return false;
    }
    if (named.empty() && !ports->present(out))
        return false;
    if (!out->empty())
        return true;
    d->problem("--fixture: no port to make a slot of; give the fixture's ports with -p (or [station] ports), "
               "--glob or --match, and plug its adapters in");
    return false;
}

fixture_rules fixture_rules_of(const flash_options& o, const watch_options& w)
{
    fixture_rules rules;
    rules.timing.signal = fixture_signal_of(w.present);
    rules.timing.probe = std::chrono::milliseconds(w.probe_ms);
    rules.timing.leave = std::chrono::milliseconds(w.leave_ms);
    rules.line = fixture_line_of(w.present);
    rules.baud = o.baud;
    return rules;
}

int watch_fixture(const flash_options& o, const watch_options& w, const std::vector<std::string>& named,
                  const image& img, scanner* ports, display* d, const station_setup& setup)
{
    std::vector<port_info> slots;
    if (!fixture_ports(named, ports, &slots, d))
        return EXIT_BAD_INPUT;
    fixture_station fixture(fixture_rules_of(o, w), slots, d);
    return watch_boards(o, w, img, &fixture, &fixture, d, setup);
}

}  // namespace

int watch_run(const flash_options& o, const watch_options& w, const std::vector<std::string>& ports,
              const station_setup& setup)
{
    interrupts_catch();
    std::unique_ptr<display> d = display_for(o.json, o.quiet, stdout, stderr);
    scanner scan(w, d.get());
    if (!scan.parse_match())
        return EXIT_BAD_INPUT;
    if (w.mode != "fixture" && !ports.empty()) {
        d->problem("-p names ports of a fixture (--fixture); watch programs the ports that appear: give --glob or "
                   "--match, or --fixture");
        return EXIT_BAD_INPUT;
    }
    image img;
    std::string error;
    if (!options_load_image(o, &img, &error)) {
        d->problem(error);
        return EXIT_BAD_INPUT;
    }
    if (w.mode == "fixture")
        return watch_fixture(o, w, ports, img, &scan, d.get(), setup);
    return watch_boards(o, w, img, &scan, nullptr, d.get(), setup);
}
