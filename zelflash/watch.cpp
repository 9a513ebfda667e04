#include "watch.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>

#include "board_log.h"
#include "display.h"
#include "interrupts.h"
#include "port_identity.h"
#include "ports.h"
#include "sha256.h"
#include "terminal.h"
#include "texts.h"

enum watch_constants : int {
    SCAN_MS = 250,  // how often the ports are looked for
};

namespace {

namespace fs = std::filesystem;

// A port as a scan finds it. The identity tells a new device behind the
// same path (a symlink pointing elsewhere) from the one seen before.
struct found_port {
    port_info info;
    std::string identity;
};

// One attachment: a port from the moment it appears to the end of its run
// (or until it goes away, when it never got its turn).
struct attachment {
    port_info info;
    std::string identity;
    bool attached = true;       // still there at the last scan
    std::unique_ptr<board> b;   // null while queued
    std::chrono::system_clock::time_point start{};
    bool ended = false;
};

class watcher {
public:
    watcher(const flash_options& o, const watch_options& w, display* d)
        : o_(o), w_(w), d_(d), limits_(options_limits(o))
    {
    }

    int run();

private:
    bool prepare();
    bool open_log();
    bool scan(std::map<std::string, found_port>* found);
    bool system_ports(std::vector<port_info>* out);
    bool wanted(const port_info& p) const;
    void rescan();
    void start_queued();
    void take_news(int id);
    void count(int32_t outcome);
    void end_unstarted(attachment& a, int32_t outcome, const std::string& message);
    void record(const attachment& a, const board_view& v);
    void halt(const std::string& why);
    void stop_taking();
    void stop_everything(int interrupts);
    void look_once();
    std::string footer() const;
    size_t running() const;
    int conclude();

    const flash_options& o_;
    const watch_options& w_;
    display* d_;
    run_limits limits_;
    image img_;
    std::string image_sha256_;
    std::vector<usb_id> match_;
    board_log log_;
    board_news news_;

    std::map<int, attachment> boards_;        // by board index, in order of appearance
    std::map<std::string, int> by_path_;      // attached paths -> their attachment
    std::map<std::string, std::string> old_;  // present at start, left alone: path -> identity
    int next_id_ = 0;
    bool stopping_ = false;
    bool station_failed_ = false;  // a board could not be recorded, or standard output failed
    std::string list_error_;       // why the system's port list failed last; empty once it works again
    int interrupts_seen_ = 0;
    std::chrono::steady_clock::time_point next_scan_{};
    int done_ = 0;
    int failed_ = 0;
    int interrupted_ = 0;
    int not_started_ = 0;
};

bool watcher::prepare()
{
    std::string error;
    for (const std::string& m : w_.match) {
        std::optional<usb_id> id = ports_parse_usb_id(m);
        if (!id) {
            d_->problem("--match " + m + ": not a USB id; give VID:PID in hex, such as 0403:6001");
            return false;
        }
        match_.push_back(*id);
    }
    if (!options_load_image(o_, &img_, &error)) {
        d_->problem(error);
        return false;
    }
    image_sha256_ = sha256_hex(img_.bytes);
    return open_log();
}

bool watcher::open_log()
{
    std::string error;
    if (w_.log.empty())
        return true;
    if (!log_.open(w_.log, &error)) {
        d_->problem(error);
        return false;
    }
    if (log_.found_torn())
        d_->notice(w_.log + ": its last line is cut short (no line end), as a crash or a full disk leaves it; it "
                            "stays as it is, and the new records start on the next line");
    return true;
}

// Without --glob the ports are the system's list. With it they are the
// matching paths, with the USB facts of the system's list where a path leads
// to a port it knows; that list is only read when a path is new.
// The system's port list. A failure is said once, not at every scan, and
// is no empty list: the caller keeps what it saw before, so that attached
// boards do not look gone and then new.
bool watcher::system_ports(std::vector<port_info>* out)
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

// Without --glob the ports are the system's list. With it they are the
// matching paths, with the USB facts of the system's list where a path leads
// to a port it knows; that list is only read when a path is new. false when
// the system's list could not be read and there is no --glob.
bool watcher::scan(std::map<std::string, found_port>* found)
{
    if (w_.glob.empty()) {
        std::vector<port_info> system;
        if (!system_ports(&system))
            return false;
        for (const port_info& p : system)
            (*found)[p.path] = found_port{p, port_identity(p.path)};
        return true;
    }
    bool fresh = false;
    for (const std::string& path : ports_glob(w_.glob)) {
        found_port f{port_info{}, port_identity(path)};
        f.info.path = path;
        auto seen = by_path_.find(path);
        if (seen != by_path_.end() && boards_.at(seen->second).identity == f.identity)
            f.info = boards_.at(seen->second).info;
        else if (old_.count(path) == 0)
            fresh = true;
        (*found)[path] = f;
    }
    std::vector<port_info> system;
    if (!fresh || !system_ports(&system))
        return true;  // without the list the paths only lack their USB facts
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
    return true;
}

bool watcher::wanted(const port_info& p) const
{
    if (match_.empty())
        return true;
    for (const usb_id& id : match_)
        if (id.vid == p.vid && id.pid == p.pid)
            return true;
    return false;
}

void watcher::rescan()
{
    std::map<std::string, found_port> now;
    if (!scan(&now))
        return;
    // Gone, or another device behind the same path: the attachment ends.
    for (auto it = by_path_.begin(); it != by_path_.end();) {
        attachment& a = boards_[it->second];
        auto f = now.find(it->first);
        if (f == now.end() || f->second.identity != a.identity) {
            a.attached = false;
            if (!a.b)
                boards_.erase(it->second);  // never got its turn
            it = by_path_.erase(it);
        } else {
            ++it;
        }
    }
    for (auto it = old_.begin(); it != old_.end();) {
        auto f = now.find(it->first);
        it = (f == now.end() || f->second.identity != it->second) ? old_.erase(it) : std::next(it);
    }
    if (stopping_)
        return;
    for (const auto& [path, f] : now) {
        if (by_path_.count(path) != 0 || old_.count(path) != 0 || !wanted(f.info))
            continue;
        int id = next_id_++;
        boards_[id] = attachment{f.info, f.identity, true, nullptr, {}, false};
        by_path_[path] = id;
    }
}

size_t watcher::running() const
{
    size_t n = 0;
    for (const auto& [id, a] : boards_)
        n += (a.b && !a.ended) ? 1 : 0;
    return n;
}

void watcher::start_queued()
{
    for (auto& [id, a] : boards_) {
        if (stopping_ || running() >= w_.jobs)
            return;
        if (a.b || !a.attached)
            continue;
        a.start = std::chrono::system_clock::now();
        a.b = std::make_unique<board>(id, a.info.path, a.info.serial, &news_);
        std::string error;
        if (!a.b->open(o_.baud, &error)) {
            // Not tried again until re-attached.
            end_unstarted(a, BOARD_NOT_OPENED, error);
            continue;
        }
        a.b->start(&img_, limits_);
        d_->started(a.b->view(), img_);
    }
}

void watcher::count(int32_t outcome)
{
    if (board_programmed(outcome))
        done_ += 1;
    else if (outcome == RUN_INTERRUPTED)
        interrupted_ += 1;
    else if (outcome == BOARD_NOT_STARTED)
        not_started_ += 1;
    else
        failed_ += 1;
}

// A board that never ran: its port did not open, or its turn never came.
void watcher::end_unstarted(attachment& a, int32_t outcome, const std::string& message)
{
    a.ended = true;
    if (a.start == std::chrono::system_clock::time_point{})
        a.start = std::chrono::system_clock::now();  // its turn ends now, without having come
    board_view v = board_unstarted(a.info.path, a.info.serial, outcome, message,
                                   static_cast<uint32_t>(img_.bytes.size()));
    count(outcome);
    d_->finished(v);
    record(a, v);
}

void watcher::take_news(int id)
{
    auto it = boards_.find(id);
    if (it == boards_.end() || !it->second.b || it->second.ended)
        return;
    attachment& a = it->second;
    board_view v = a.b->view();
    if (v.state != BOARD_FINISHED) {
        d_->progressed(v);
        return;
    }
    a.b->join();
    a.ended = true;
    count(v.result.outcome);
    d_->finished(v);
    record(a, v);
}

// One line of the board log, on the disk before the next board is looked
// at. A station that cannot record what it does stops taking boards.
void watcher::record(const attachment& a, const board_view& v)
{
    if (!log_.is_open())
        return;
    board_log_record r{a.start, std::chrono::system_clock::now(), a.info, &img_, image_sha256_, v};
    std::string error;
    if (log_.append(board_log_line(r), &error))
        return;
    std::string ignored;
    log_.close(&ignored);  // nothing more goes there
    halt(error);
}

void watcher::halt(const std::string& why)
{
    station_failed_ = true;
    d_->failure(why + "; no new boards are taken" + (running() > 0 ? ", the running ones finish" : ""));
    stop_taking();
}

// No new boards; the ones waiting for their turn end as not started.
void watcher::stop_taking()
{
    if (stopping_)
        return;
    stopping_ = true;
    for (auto& [id, a] : boards_)
        if (!a.b && a.attached)
            end_unstarted(a, BOARD_NOT_STARTED,
                          a.info.path + ": not programmed: zelflash stopped before its turn came; program it in "
                                        "another run (watch --include-present takes the ports already there)");
    for (auto it = by_path_.begin(); it != by_path_.end();)
        it = boards_[it->second].b ? std::next(it) : by_path_.erase(it);
    for (auto it = boards_.begin(); it != boards_.end();)
        it = it->second.b ? std::next(it) : boards_.erase(it);
}

// First Ctrl-C: no new boards, the running ones finish. Second: the running
// ones stop after their exchange in flight.
void watcher::stop_everything(int interrupts)
{
    if (!stopping_ && running() > 0)
        d_->notice("stopping: no new boards; the running ones finish (Ctrl-C again interrupts them)");
    stop_taking();
    if (interrupts >= 2)
        for (auto& [id, a] : boards_)
            if (a.b && !a.ended)
                a.b->stop();
}

std::string watcher::footer() const
{
    size_t waiting = 0;
    for (const auto& [id, a] : boards_)
        waiting += a.b ? 0 : 1;
    std::string what = w_.glob.empty() ? "serial ports" : w_.glob;
    return std::to_string(done_) + " done, " + std::to_string(failed_) + " failed, " + std::to_string(running()) +
           " running, " + std::to_string(waiting) + " waiting; watching " + what +
           (stopping_ ? "; stopping" : "; Ctrl-C stops");
}

// One turn of the main loop: interrupts, a scan when due, the queue, the
// boards' news, the rows.
void watcher::look_once()
{
    if (interrupts_count() > interrupts_seen_) {
        d_->interrupted();
        interrupts_seen_ = interrupts_count();
        stop_everything(interrupts_seen_);
    }
    if (!d_->output_error().empty() && !station_failed_)
        halt("standard output cannot be written");
    if (std::chrono::steady_clock::now() >= next_scan_) {
        rescan();
        next_scan_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(SCAN_MS);
    }
    start_queued();
    for (int id : news_.take(d_->wake(std::chrono::milliseconds(SCAN_MS))))
        take_news(id);
    // Ended boards that are gone make room; the attached ones stay, so
    // that they are not taken again.
    for (auto it = boards_.begin(); it != boards_.end();)
        it = (it->second.ended && !it->second.attached) ? boards_.erase(it) : std::next(it);
    std::vector<board_view> rows;
    for (const auto& [id, a] : boards_)
        if (a.b && !a.ended)
            rows.push_back(a.b->view());
    d_->redraw(rows, footer());
}

int watcher::conclude()
{
    d_->clear();
    std::string error;
    if (!log_.close(&error)) {
        d_->failure(error);
        station_failed_ = true;
    }
    std::string totals = counted(done_, "board", "boards") + " programmed, " + std::to_string(failed_) + " failed" +
                         (interrupted_ ? ", " + std::to_string(interrupted_) + " interrupted" : "") +
                         (not_started_ ? ", " + std::to_string(not_started_) + " not started" : "");
    d_->event({{"event", "totals"},
               {"port", nullptr},
               {"done", done_},
               {"failed", failed_},
               {"interrupted", interrupted_},
               {"not_started", not_started_}});
    d_->say("zelflash: " + totals);
    if (interrupted_ > 0)
        return EXIT_INTERRUPTED;
    bool failed = failed_ > 0 || not_started_ > 0 || station_failed_ || !d_->output_error().empty();
    return failed ? EXIT_FAILED : EXIT_PROGRAMMED;
}

int watcher::run()
{
    if (!prepare())
        return EXIT_BAD_INPUT;
    std::map<std::string, found_port> present;
    if (!scan(&present))
        return EXIT_FAILED;  // said; without the ports there at start, every one would look new
    if (!w_.include_present)
        for (const auto& [path, f] : present)
            old_[path] = f.identity;
    if (d_->mode() == DISPLAY_PLAIN)
        d_->say("zelflash: watching " + (w_.glob.empty() ? std::string("serial ports") : w_.glob) +
                " for boards; Ctrl-C stops");
    next_scan_ = std::chrono::steady_clock::now();
    for (;;) {
        look_once();
        if (stopping_ && running() == 0)
            break;
    }
    return conclude();
}

}  // namespace

int watch_run(const flash_options& o, const watch_options& w)
{
    interrupts_catch();
    display d(options_display_mode(o), stdout, stderr);
    if (w.jobs < 1) {
        d.problem("--jobs must be at least 1");
        return EXIT_BAD_INPUT;
    }
    watcher watching(o, w, &d);
    return watching.run();
}
