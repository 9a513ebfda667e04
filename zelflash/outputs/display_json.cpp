#include "outputs/display_json.h"

#include <nlohmann/json.hpp>

#include "base/texts.h"

void display_json::event(const nlohmann::json& e)
{
    if (!e.is_null())
        put_out(json_text(e) + "\n");
}

void display_json::started(const board_view& v, const image& img)
{
    event(events_.started(v, img));
}

void display_json::progressed(const board_view& v)
{
    event(events_.progressed(v));
}

void display_json::finished(const board_view& v)
{
    event(events_.finished(v));
}

void display_json::totals(const board_tally& t)
{
    event(events_.totals(t));
}

void display_json::problem(const std::string& text, const std::string& port)
{
    event(events_.problem(text, port));
}

bool display_json::ports(const std::vector<port_info>& all)
{
    return put_whole(json_text(ports_json(all), 2) + "\n");
}

void display_json::slot_changed(const slot_view& v)
{
    event(events_.slot_changed(v));
}
