#include "outputs/event_json.h"

#include "outputs/display.h"

static nlohmann::json or_null(const std::string& s)
{
    return s.empty() ? nlohmann::json(nullptr) : nlohmann::json(s);
}

// Every event starts the same: what happened, and to which port.
static nlohmann::json event_of(const char* name, const std::string& port)
{
    return {{"event", name}, {"port", or_null(port)}};
}

static nlohmann::json board_event(const char* name, const board_view& v)
{
    nlohmann::json e = event_of(name, v.port);
    e["bytes"] = v.at.done;
    e["total"] = v.at.total;
    e["seconds"] = v.seconds;
    e["retries"] = v.at.retries;
    if (!v.serial.empty())
        e["serial"] = v.serial;
    return e;
}

nlohmann::json event_json::started(const board_view& v, const image& img)
{
    step_[v.port] = 0;
    nlohmann::json e = board_event("start", v);
    e["image"] = img.name;
    e["address"] = img.addr;
    return e;
}

nlohmann::json event_json::progressed(const board_view& v)
{
    int reached = display_percent(v);
    int& last = step_[v.port];
    if (reached <= last || v.state == BOARD_FINISHED)
        return nullptr;
    last = reached;
    nlohmann::json e = board_event("progress", v);
    e["command"] = display_doing(v);
    return e;
}

nlohmann::json event_json::finished(const board_view& v) const
{
    nlohmann::json e = board_event(board_programmed(v.end) ? "done" : "error", v);
    e["outcome"] = board_end_text(v.end);
    e["outcome_key"] = board_end_key(v.end);
    e["link"] = board_link_json(v);
    e["image_sha256"] = v.image_sha256;
    e["file_sha256"] = or_null(v.file_sha256);
    if (!v.values.empty())
        e["values"] = board_values_json(v);
    if (!v.message.empty())
        e["message"] = v.message;
    return e;
}

nlohmann::json event_json::totals(const board_tally& t) const
{
    return {{"event", "totals"},
            {"port", nullptr},
            {"done", t.done},
            {"failed", t.failed},
            {"interrupted", t.interrupted},
            {"not_started", t.not_started}};
}

nlohmann::json event_json::problem(const std::string& text, const std::string& port) const
{
    nlohmann::json e = event_of("error", port);
    e["message"] = text;
    return e;
}

nlohmann::json event_json::slot_changed(const slot_view& v) const
{
    nlohmann::json e = event_of("slot", v.port);
    e["slot"] = v.number;
    e["state"] = slot_phase_key(v.phase);
    e["change"] = slot_news_key(v.news);
    e["text"] = display_slot_text(v);
    if (v.phase == slot_phase::leaving)
        e["values"] = board_values_json(v.board);
    return e;
}
