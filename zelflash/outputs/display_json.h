// The json display: one JSON object per line on standard output, nothing
// else there, for a script to read. Every event has "event" and "port"
// (null when about no port): "start", "progress" (at most one per
// percent), "done" or "error" for each board; "error" for a problem; a
// fixture's "slot" as one changes; watch's "totals" at the end. zelflash's own failures and its notices still go to
// standard error.
#pragma once

#include <string>
#include <unordered_map>

#include <nlohmann/json_fwd.hpp>

#include "outputs/display.h"

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
    void event(const nlohmann::json& e);

    std::unordered_map<std::string, int> step_;  // the last percent reported, per port
};
