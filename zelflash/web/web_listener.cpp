#include "web/web_listener.h"

#include "base/texts.h"
#include "outputs/board_log.h"
#include "outputs/display.h"

static std::string slot_key(int slot)
{
    return "slot " + decimal(static_cast<uint64_t>(slot), 4);
}

// A board's figures as its tile shows them.
static nlohmann::json board_figures(const board_view& v)
{
    return {{"percent", display_percent(v)},
            {"bytes", v.at.done},
            {"total", v.at.total},
            {"seconds", v.seconds},
            {"speed", display_rate(v)},
            {"command", display_doing(v)}};
}

static const char* tile_state_of(slot_phase p, bool programmed)
{
    switch (p) {
    case slot_phase::unplugged:
        return "unplugged";
    case slot_phase::empty:
        return "idle";
    case slot_phase::ready:
        return "waiting";
    case slot_phase::programming:
        return "programming";
    case slot_phase::leaving:
        return programmed ? "programmed" : "failed";
    }
    return "idle";
}

// What an empty slot's tile keeps of the board that left it: how it ended,
// and why when it failed, so that a failure stays in view after the board
// has gone.
static nlohmann::json last_board(const nlohmann::json& board)
{
    if (!board.contains("outcome"))
        return board.contains("last") ? nlohmann::json{{"last", board["last"]}} : nlohmann::json::object();
    std::string last = board["outcome"].get<std::string>();
    std::string reason = board.value("reason", "");
    return {{"last", reason.empty() ? last : last + ": " + reason}};
}

web_listener::web_listener(web_feed* feed, const std::map<std::string, std::string>* labels,
                           web_values_source values)
    : feed_(feed), labels_(labels), values_(std::move(values))
{
}

web_listener::tile& web_listener::tile_of(const std::string& port, int slot)
{
    std::string key = slot > 0 ? slot_key(slot) : port;
    tile_key_of_port_[port] = key;
    tile& t = tiles_[key];
    t.slot = slot;
    t.port = port;
    return t;
}

void web_listener::event(const nlohmann::json& e)
{
    if (e.is_null())
        return;
    feed_->publish(json_text(e));
    publish_status();
}

void web_listener::board_started(const session_board& b, const board_view& v)
{
    tile& t = tile_of(v.port, b.slot);
    t.state = "programming";
    t.running = true;
    t.board = board_figures(v);
    event(events_.started(v, *b.img));
}

void web_listener::board_progressed(const board_view& v)
{
    auto key = tile_key_of_port_.find(v.port);
    if (key != tile_key_of_port_.end())
        tiles_[key->second].board = board_figures(v);
    event(events_.progressed(v));
}

bool web_listener::board_ended(const session_board& b, const board_view& v, std::string*)
{
    board_log_record r{b.start, std::chrono::system_clock::now(), b.port, b.img, v, labels_, b.slot};
    nlohmann::json record = board_log_line(r);
    count_board(record, v);
    if (board_ran(v) || b.slot == 0) {  // a fixture's board that never ran leaves its slot's tile as it was
        tile& t = tile_of(v.port, b.slot);
        t.state = board_programmed(v.end) ? "programmed" : "failed";
        t.running = false;
        t.board = board_figures(v);
        t.board["values"] = board_values_json(v);
        t.board["outcome"] = board_end_text(v.end);
        t.board["outcome_key"] = board_end_key(v.end);
        t.board["reason"] = v.message;
        t.board["end"] = record["end"];
    }
    refresh_values();
    event(events_.finished(v));
    return true;  // the page keeps nothing the run depends on
}

// The record into the report's figures, the last boards and the metrics.
void web_listener::count_board(const nlohmann::json& record, const board_view& v)
{
    std::string line = json_text(record);
    feed_->add_board(line);
    reader_.feed(line + "\n");
    summary_ = report_tally_up(report_, report_grouping{}).total;
    auto now = std::chrono::steady_clock::now();
    if (board_programmed(v.end))
        programmed_at_.push_back(now);
    while (!programmed_at_.empty() && now - programmed_at_.front() > std::chrono::hours(1))
        programmed_at_.pop_front();
    web_port_link link{v.result.link.resends, v.result.link.late};
    web_metrics_add(&metrics_, v.port, board_end_key(v.end), board_ran(v), v.seconds, link);
    feed_->set_metrics(metrics_);
}

void web_listener::slot_changed(const slot_view& v)
{
    tile& t = tile_of(v.port, v.number);
    t.state = tile_state_of(v.phase, v.programmed);
    if (v.phase == slot_phase::programming && !t.running)
        t.state = "waiting";  // queued: it starts at its turn (or once the page resumes)
    if (v.phase == slot_phase::leaving) {
        t.board["values"] = board_values_json(v.board);
        t.board["text"] = display_slot_text(v);
    } else if (v.phase != slot_phase::programming) {
        t.board = last_board(t.board);
        t.running = false;
    }
    event(events_.slot_changed(v));
}

void web_listener::stopping()
{
    stopping_ = true;
    publish_status();
}

void web_listener::failed(const std::string& why)
{
    failure_ = why;
    publish_status();
}

void web_listener::watching(const std::string& what)
{
    watching_ = what;
    refresh_values();
    publish_status();
}

void web_listener::totals(const board_tally& t)
{
    ended_ = true;
    event(events_.totals(t));
}

void web_listener::loop_state(const web_loop_state& s)
{
    if (s == loop_)
        return;
    loop_ = s;
    publish_status();
}

void web_listener::refresh_values()
{
    if (!values_)
        return;
    left_ = values_();
    metrics_.values_left.clear();
    for (const web_field_left& f : left_)
        metrics_.values_left[f.field] = f.left;
    feed_->set_metrics(metrics_);
}

bool web_listener::out_of_values() const
{
    for (const web_field_left& f : left_)
        if (f.left && *f.left == 0)
            return true;
    return false;
}

void web_listener::publish_status()
{
    feed_->set_status(json_text(status_json()));
}

static nlohmann::json ports_json(const std::vector<report_port>& ports)
{
    nlohmann::json all = nlohmann::json::array();
    for (const report_port& p : ports)
        all.push_back({{"port", p.port},
                       {"boards", p.boards},
                       {"failed", p.failed},
                       {"frames", p.link.frames},
                       {"resends", p.link.resends},
                       {"late_replies", p.link.late_replies},
                       {"bad_frames", p.link.bad_frames},
                       {"many_failures", p.many_failures},
                       {"many_resends", p.many_resends}});
    return all;
}

// Boards per hour: those programmed in the last hour, or, in a run younger
// than an hour, its pace so far (from a minute on, so that the first board
// does not read as thousands an hour).
static double per_hour(size_t last_hour, uint64_t programmed, std::chrono::steady_clock::duration age)
{
    double seconds = std::chrono::duration<double>(age).count();
    if (seconds >= 3600)
        return static_cast<double>(last_hour);
    return static_cast<double>(programmed) * 3600 / std::max(seconds, 60.0);
}

nlohmann::json web_listener::counts_json() const
{
    const report_summary& s = summary_;
    return {{"boards", s.boards},
            {"programmed", s.programmed},
            {"failed", s.failed},
            {"failures", s.failures},
            {"first_pass", {{"boards", s.distinct_boards}, {"programmed", s.first_pass}}},
            {"per_hour", per_hour(programmed_at_.size(), s.programmed, std::chrono::steady_clock::now() - began_)},
            {"ports", ports_json(s.ports)}};
}

nlohmann::json web_listener::status_json() const
{
    nlohmann::json tiles = nlohmann::json::array();
    bool out = out_of_values();
    for (const auto& [key, t] : tiles_) {
        std::string state = out && (t.state == "idle" || t.state == "waiting") ? "out_of_values" : t.state;
        tiles.push_back({{"slot", t.slot}, {"port", t.port}, {"state", state}, {"board", t.board}});
    }
    nlohmann::json lot = nlohmann::json::array();
    for (const web_field_left& f : left_)
        lot.push_back({{"field", f.field}, {"left", f.left ? nlohmann::json(*f.left) : nlohmann::json(nullptr)}});
    nlohmann::json station = {{"watching", watching_},   {"taking", loop_.taking}, {"paused", loop_.paused},
                              {"waiting", loop_.waiting}, {"stopping", stopping_},  {"ended", ended_},
                              {"control", loop_.control}, {"failure", failure_}};
    return {{"station", station}, {"tiles", tiles},  {"counts", counts_json()},
            {"lot", lot},         {"event", feed_->last_id()}};
}
