// Where a lot stands, read in one snapshot: per field, the next value its
// supply would give and how many values are in each state; per station,
// when it was last seen and what it did. Nothing is changed, so it may run
// beside the stations.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "lot/lot_db.h"
#include "lot/lot_fields.h"

struct lot_field_status {
    lot_field def;
    std::optional<std::string> next;  // nullopt: the supply has run out
    // Values out of the supply, by state; held ones by station.
    uint64_t used = 0, failed = 0, burned = 0, free = 0, reserved = 0;
    std::map<std::string, uint64_t> held;
    // Values still in the supply, and all the lot's values (every state and
    // the supply added up): a list's lines, a counter's size from start to
    // last. nullopt for a counter without a last.
    std::optional<uint64_t> remaining, total;

    uint64_t held_total() const;
};

struct lot_station_status {
    std::string name;
    std::optional<std::string> last_seen;  // UTC, "2026-01-08T09:30:00Z"
    uint64_t boards = 0;
    std::optional<uint32_t> lease;
    bool live = false;
};

struct lot_status {
    std::string name;
    std::string created_at;  // UTC
    std::vector<lot_field_status> fields;
    std::vector<lot_station_status> stations;
};

// Reads lot `name` (the schema checked). false with a one-line error, also
// when there is no such lot.
bool lot_status_read(lot_db& db, const std::string& name, lot_status* out, std::string* error);

// A counter's values from `next` to `last` (inclusive) in steps of `step`:
// 0 when next is past last.
uint64_t lot_counter_span(uint64_t next, uint64_t last, uint64_t step);
