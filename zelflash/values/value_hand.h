// The values a lot's station holds in hand: leased from the lot, not yet
// reserved for a board. Which value goes to the next board, and nothing
// else -- no file, no database. Per field, in the order leased; a value
// whose board failed under FAILED_REUSE (and that cannot be in its flash)
// goes back to the front of its field's hand, to the next board.
// Not thread-safe: its journal holds it under its own lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "values/fields.h"
#include "values/value_pool.h"

// Values by field name, each field's in order.
using value_lists = std::map<std::string, std::vector<std::string>>;

class value_hand {
public:
    value_hand() = default;
    // The job's fields in order: counters and lists are handed from the
    // hand, value fields as given.
    explicit value_hand(const std::vector<field_spec>& fields);

    // Values leased: to the back of their fields' hands.
    void add(const value_lists& leased);
    // Boards the hand can serve now: the fewest values any counted field holds.
    size_t boards() const;
    // How many values the hand holds of each counted field.
    std::map<std::string, size_t> counts() const;
    // The values for the next board, one per field in the fields' order;
    // false when a counted field's hand is empty.
    bool next(std::vector<field_value>* values) const;
    // The values next() gave are on record, reserved under `ticket`.
    void take(uint64_t ticket, const std::vector<field_value>& values);
    bool holds(uint64_t ticket) const { return live_.count(ticket) != 0; }
    // The counted values of `ticket`, one it holds.
    std::vector<field_value> values_of(uint64_t ticket) const;
    // The board of `ticket` ended as recorded: under END_REUSE its values
    // go back to the front of the hand; else they are gone from it.
    void finish(uint64_t ticket, value_end end);
    // Everything in hand, for giving back to the lot; the hand is then empty.
    value_lists take_all();

private:
    std::vector<field_spec> fields_;
    std::map<std::string, std::deque<std::string>> hand_;  // counted fields only
    std::map<uint64_t, std::vector<field_value>> live_;    // reserved, not yet ended
};
