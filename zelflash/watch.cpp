#include "watch.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>

#include "console.h"
#include "display.h"
#include "sha256.h"

enum watch_constants : int {
    SCAN_MS = 250,  // how often the ports are looked for
};

std::string watch_iso_utc(std::chrono::system_clock::time_point t)
{
    using namespace std::chrono;
    std::time_t seconds = system_clock::to_time_t(floor<std::chrono::seconds>(t));
    long ms = static_cast<long>(duration_cast<milliseconds>(t - floor<std::chrono::seconds>(t)).count());
    std::tm utc{};
    if (!console_utc(seconds, &utc))
        return "";
    char text[40];
    size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + n, sizeof text - n, ".%03ldZ", ms);
    return text;
}

static nlohmann::json or_null(const std::string& s)
{
    return s.empty() ? nlohmann::json(nullptr) : nlohmann::json(s);
}

nlohmann::json watch_log_line(const watch_record& r)
{
    const board_view& v = r.view;
    std::string usb = ports_usb_id_text(r.port);
    return {
        {"start", watch_iso_utc(r.start)},
        {"end", watch_iso_utc(r.end)},
        {"port", r.port.path},
        {"usb_id", or_null(usb)},
        {"serial", or_null(r.port.serial)},
        {"image", r.img->name},
        {"sha256", r.sha256},
        {"address", r.img->addr},
        {"bytes", v.at.done},
        {"total", static_cast<uint32_t>(r.img->bytes.size())},
        {"seconds", v.seconds},
        {"retries", v.at.retries},
        {"outcome", v.state == BOARD_FINISHED ? run_outcome_text(v.result.outcome) : "not opened"},
        {"error", or_null(v.message)},
        {"link", v.state == BOARD_FINISHED ? display_link_json(v.result) : nlohmann::json(nullptr)},
    };
}

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
        : o_(o), w_(w), d_(d), limits_(flash_limits(o))
    {
    }

    int run();

private:
    bool prepare();
    std::map<std::string, found_port> scan() const;
    bool wanted(const port_info& p) const;
    void rescan();
    void start_queued();
    void finish(int id);
    void log(const attachment& a, const board_view& v);
    void stop_everything(int interrupts);
    std::string footer() const;
    size_t running() const;

    const flash_options& o_;
    const watch_options& w_;
    display* d_;
    run_limits limits_;
    image img_;
    std::string sha256_;
    std::vector<usb_id> match_;
    FILE* log_ = nullptr;
    board_news news_;

    std::map<int, attachment> boards_;        // by board index, in order of appearance
    std::map<std::string, int> by_path_;      // attached paths -> their attachment
    std::map<std::string, std::string> old_;  // present at start, left alone: path -> identity
    int next_id_ = 0;
    bool stopping_ = false;
    int interrupts_seen_ = 0;
    int done_ = 0;
    int failed_ = 0;
    int interrupted_ = 0;
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
    if (!flash_load_image(o_, &img_, &error)) {
        d_->problem(error);
        return false;
    }
    sha256_ = sha256_hex(img_.bytes);
    if (!w_.log.empty()) {
        log_ = std::fopen(w_.log.c_str(), "a");
        if (log_ == nullptr) {
            d_->problem(w_.log + ": cannot open the log for appending: " + console_last_error_text());
            return false;
        }
    }
    return true;
}

// Without --glob the ports are the system's list. With it they are the
// matching paths, with the USB facts of the system's list where a path leads
// to a port it knows; that list is only read when a path is new.
std::map<std::string, found_port> watcher::scan() const
{
    std::map<std::string, found_port> found;
    if (w_.glob.empty()) {
        for (const port_info& p : ports_list())
            found[p.path] = found_port{p, flash_port_identity(p.path)};
        return found;
    }
    bool fresh = false;
    for (const std::string& path : ports_glob(w_.glob)) {
        found_port f{port_info{}, flash_port_identity(path)};
        f.info.path = path;
        auto seen = by_path_.find(path);
        if (seen != by_path_.end() && boards_.at(seen->second).identity == f.identity)
            f.info = boards_.at(seen->second).info;
        else if (old_.count(path) == 0)
            fresh = true;
        found[path] = f;
    }
    if (!fresh)
        return found;
    std::map<std::string, const port_info*> known;  // the system's ports by identity
    std::vector<port_info> system = ports_list();
    for (const port_info& p : system)
        known[flash_port_identity(p.path)] = &p;
    for (auto& [path, f] : found) {
        auto k = known.find(f.identity);
        if (k != known.end()) {
            f.info = *k->second;
            f.info.path = path;
        }
    }
    return found;
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
    std::map<std::string, found_port> now = scan();
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
            // Not opened: recorded as a failed board, not tried again until re-attached.
            a.ended = true;
            failed_ += 1;
            d_->problem(error);
            board_view v = a.b->view();
            v.message = error;
            log(a, v);
            continue;
        }
        a.b->start(&img_, limits_);
        d_->started(a.b->view(), img_);
    }
}

void watcher::finish(int id)
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
    int32_t outcome = v.result.outcome;
    if (outcome == RUN_PROGRAMMED || outcome == RUN_UNCONFIRMED)
        done_ += 1;
    else if (outcome == RUN_INTERRUPTED)
        interrupted_ += 1;
    else
        failed_ += 1;
    d_->finished(v);
    log(a, v);
}

// One line of the board log, on the disk before the next board is looked at.
void watcher::log(const attachment& a, const board_view& v)
{
    if (log_ == nullptr)
        return;
    watch_record r{a.start, std::chrono::system_clock::now(), a.info, &img_, sha256_, v};
    std::fprintf(log_, "%s\n", watch_log_line(r).dump().c_str());
    console_sync(log_);
}

// First Ctrl-C: no new boards, the queue is dropped, the running ones
// finish. Second: the running ones stop after their exchange in flight.
void watcher::stop_everything(int interrupts)
{
    if (!stopping_) {
        stopping_ = true;
        for (auto it = by_path_.begin(); it != by_path_.end();)
            it = boards_[it->second].b ? std::next(it) : by_path_.erase(it);
        for (auto it = boards_.begin(); it != boards_.end();)
            it = it->second.b ? std::next(it) : boards_.erase(it);
        if (running() > 0)
            d_->notice("stopping: no new boards; the running ones finish (Ctrl-C again interrupts them)");
    }
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

int watcher::run()
{
    if (!prepare())
        return EXIT_BAD_INPUT;
    if (!w_.include_present)
        for (const auto& [path, f] : scan())
            old_[path] = f.identity;
    if (d_->mode() == DISPLAY_PLAIN) {
        std::printf("zelflash: watching %s for boards; Ctrl-C stops\n", w_.glob.empty() ? "serial ports" : w_.glob.c_str());
        std::fflush(stdout);  // a pipe or a file sees it now, not with the first board
    }
    auto wake = d_->wake(std::chrono::milliseconds(SCAN_MS));
    auto next_scan = std::chrono::steady_clock::now();
    for (;;) {
        if (console_interrupts() > interrupts_seen_) {
            interrupts_seen_ = console_interrupts();
            stop_everything(interrupts_seen_);
        }
        if (std::chrono::steady_clock::now() >= next_scan) {
            rescan();
            next_scan = std::chrono::steady_clock::now() + std::chrono::milliseconds(SCAN_MS);
        }
        start_queued();
        if (stopping_ && running() == 0)
            break;
        for (int id : news_.take(wake))
            finish(id);
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
    d_->clear();
    if (log_ != nullptr)
        std::fclose(log_);
    std::string totals = std::to_string(done_) + " boards programmed, " + std::to_string(failed_) + " failed" +
                         (interrupted_ ? ", " + std::to_string(interrupted_) + " interrupted" : "");
    if (d_->mode() == DISPLAY_JSON)
        std::printf("%s\n", nlohmann::json{{"event", "totals"}, {"done", done_}, {"failed", failed_},
                                           {"interrupted", interrupted_}}.dump().c_str());
    else if (d_->mode() != DISPLAY_QUIET)
        std::printf("zelflash: %s\n", totals.c_str());
    if (interrupted_ > 0)
        return EXIT_INTERRUPTED;
    return failed_ > 0 ? EXIT_FAILED : EXIT_PROGRAMMED;
}

}  // namespace

int flash_watch(const flash_options& o, const watch_options& w)
{
    console_catch_interrupts();
    display d(flash_display_mode(o), stdout, stderr);
    if (w.jobs < 1) {
        d.problem("--jobs must be at least 1");
        return EXIT_BAD_INPUT;
    }
    watcher watching(o, w, &d);
    return watching.run();
}

int flash_list(bool json)
{
    std::vector<port_info> all = ports_list();
    if (json) {
        std::printf("%s\n", ports_json(all).dump(2).c_str());
        return EXIT_PROGRAMMED;
    }
    for (const port_info& p : all)
        std::printf("%s\n", ports_line(p).c_str());
    if (all.empty())
        std::fprintf(stderr, "zelflash: no serial ports found\n");
    return EXIT_PROGRAMMED;
}
