// Which value each field of a lot hands out next: the counter, list and
// failure rules, and nothing else -- no file, no lock, no clock. A value
// source (the state file, or a store of another kind) reads what it has on
// record, feeds the pool the lot's fields and the latest state of every
// value seen, and asks it for the next values; it records a reservation or
// a board's end first, and tells the pool after.
//
// The rules:
//   - a counter hands out start, start + step, ... above the highest value
//     seen, up to its last (or the most its width holds); nothing wraps;
//   - a list hands out its lines in file order, each line (by its bytes)
//     once; a line seen in any state is never handed out;
//   - a value seen reserved, used, failed or burned is never handed out
//     again, but one failed under FAILED_REUSE: such values go out first
//     (a counter's lowest first; this run's in the order their boards
//     failed), while the field still takes them;
//   - a failed board's values go back to the pool only under FAILED_REUSE
//     and only when no chunk holding them may have reached its flash;
//     else they are burned.
// Not thread-safe: its source holds it under its own lock.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "values/fields.h"

enum failed_policy : int32_t { FAILED_BURN = 0, FAILED_REUSE = 1 };

// The latest state of a value on record.
enum serial_value_state : int32_t {
    VALUE_RESERVED = 0,      // on a board being programmed, or on one when the run stopped
    VALUE_USED = 1,          // programmed
    VALUE_FAILED = 2,        // its board failed; burned
    VALUE_FAILED_REUSE = 3,  // its board failed; may go to another board
    VALUE_BURNED = 4,        // never to be handed out again
};

// Every value on record, by field name then text, in its latest state.
using value_states = std::map<std::string, std::map<std::string, serial_value_state>>;

// How a board's end is recorded, from the policy, whether it was
// programmed, and whether a chunk holding its values may be in its flash.
enum value_end : int32_t {
    END_USED = 0,       // programmed
    END_BURN = 1,       // failed; burned by the policy
    END_REUSE = 2,      // failed; its values go to the next boards
    END_BURN_HELD = 3,  // failed; reuse asked, but the board may hold them
};
value_end value_end_of(failed_policy policy, bool programmed, bool may_hold);

// A job's field as a value source reads it: its definition and, for a
// list, the list file's bytes and its values in file order (blank and
// comment lines left out, each value's bytes once).
struct value_field {
    field_spec def;
    std::vector<std::string> lines;  // FIELD_LIST
    std::string list_bytes;          // FIELD_LIST: the file as read (what binds it to its lot)
};

class value_pool {
public:
    value_pool() = default;
    value_pool(const std::vector<value_field>& fields, const value_states& seen, failed_policy policy);

    // The values for the next board, one per field in the fields' order (a
    // value field's as given). false with a one-line error naming the
    // first field that has run out.
    bool next(std::vector<field_value>* values, std::string* error) const;
    // The values next() gave are on record, reserved under `ticket`: they
    // are handed out. Anything but what next() gives is a programming error.
    void take(uint64_t ticket, const std::vector<field_value>& values);
    // Whether `ticket` is reserved and not ended in this run.
    bool holds(uint64_t ticket) const { return live_.count(ticket) != 0; }
    // The board of `ticket` (one it holds) ended, as recorded: under
    // END_REUSE its values go out again, first; else they never do.
    void finish(uint64_t ticket, value_end end);
    // Whether the field `name` (a counter or a list) could ever hand out
    // `text`: the values a witness of the lot may show.
    bool could_hand(const std::string& name, const std::string& text) const;

private:
    // One counted field. Its invariant: every value out of `reuse` may go
    // out, and next_number (a counter) or the first line from list_next not
    // in handed_keys (a list) is free; any other value has been seen.
    struct counted {
        field_spec def;
        std::vector<std::string> list;       // FIELD_LIST: its lines in order,
        std::vector<std::string> list_keys;  // their bytes as the field encodes them,
        std::set<std::string> handed_keys;   // the bytes of every value seen,
        size_t list_next = 0;                // and no line before this one is free
        std::optional<uint64_t> next_number;  // FIELD_COUNTER; nullopt past 64 bits
        std::vector<std::string> reuse;       // failed values to hand out again, first first
    };
    static counted count(const value_field& f, const value_states& seen, failed_policy policy);
    static bool next_of(const counted& f, std::string* text);
    static void hand_out(counted* f, const std::string& text);
    static void skip_handed(counted* f);

    std::vector<counted> fields_;
    std::map<uint64_t, std::vector<field_value>> live_;  // reserved in this run, not yet ended
};

// The bytes `text` takes in the field; empty when the field cannot take it.
std::string value_key(const field_spec& def, const std::string& text);
// Why field `f` has nothing more to hand out, in one line saying what to do.
std::string value_run_out(const field_spec& def, size_t list_size);
