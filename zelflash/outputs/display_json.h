// The json display: one JSON object per line on standard output, nothing
// else there, for a script to read. Every event has "event" and "port"
// (null when about no port): "start", "progress" (at most one per
// percent), "done" or "error" for each board; "error" for a problem; a
// fixture's "slot" as one changes; watch's "totals" at the end. zelflash's own failures and its notices still go to
// standard error. The events themselves are built by event_json, which
// the station's page streams too.
#pragma once

#include <string>

#include <nlohmann/json_fwd.hpp>

#include "outputs/display.h"
#include "outputs/event_json.h"

class display_json : public display {
public:
    using display::display;

    void started(const board_view& v, const image& img) override;
    void progressed(const board_view& v) override;
    void finished(const board_view& v) override;
    void summary(const std::vector<board_view>&) override {}
    void totals(const board_tally& t) override;
    void problem(const std::string& text, const std::string& port = "") override;
    bool ports(const std::vector<port_info>& all) override;
    void slot_changed(const slot_view& v) override;

protected:
    std::string_view line_start() const override { return ""; }  // an event stands on its own line

private:
    // Writes `e`, a line of its own; nothing for null.
    void event(const nlohmann::json& e);

    event_json events_;  // what the events hold (event_json.h)
};
