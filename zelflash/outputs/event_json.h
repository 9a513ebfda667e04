// The JSON events of a run, built in one place: the --json display writes
// them to standard output, and the station's page (web/) streams the very
// same objects, so there is one writer of events and no second format.
// Every event has "event" and "port" (null when about no port).
//
// Progress is thinned here too: at most one "progress" per percent of a
// port, so every reader of these events sees the same stream.
#pragma once

#include <string>
#include <unordered_map>

#include <nlohmann/json.hpp>

#include "engine/board.h"
#include "engine/slot.h"
#include "images/image.h"

class event_json {
public:
    nlohmann::json started(const board_view& v, const image& img);
    // null when the board has not reached a new percent since the last.
    nlohmann::json progressed(const board_view& v);
    nlohmann::json finished(const board_view& v) const;
    nlohmann::json totals(const board_tally& t) const;
    nlohmann::json problem(const std::string& text, const std::string& port) const;
    nlohmann::json slot_changed(const slot_view& v) const;

private:
    std::unordered_map<std::string, int> step_;  // the last percent reported, per port
};
