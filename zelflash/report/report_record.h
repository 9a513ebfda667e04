// One line of a board log as the yield report reads it: a record, reduced to
// the keys the report uses and checked for their types, a note, or the reason
// it is neither (yield_report.h lists the keys).
//
// Two readers give one answer. A quick scan takes the lines a station
// writes for its boards: one JSON object of plain ASCII strings (no
// escapes), numbers, true, false and null, nested a few levels at most, each
// key of the record once. Any other line, notes among them, and any line the
// scan would refuse, goes to the JSON parser, which is what decides and
// gives the reasons. The scan never takes a line the parser would refuse,
// nor reads one otherwise.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

// The link figures of one record, or summed over several.
struct report_link {
    uint64_t frames = 0;
    uint64_t resends = 0;
    uint64_t late_replies = 0;
    uint64_t bad_frames = 0;
    uint64_t quiet_waits = 0;
    uint64_t unasked_acks = 0;
};

// One accepted line, reduced to what the report uses: a board's record, or
// a note when it has a `note` (its other fields then mean nothing). Of a record's "values", checked to be an object of strings, only
// the one that names its board is kept.
struct report_record {
    std::optional<std::string> note;  // a note's kind ("still_in_loader"); none for a board's record
    std::string start;
    std::string port;
    std::string serial;  // empty when the log has null (or ""): no identity
    std::string image;
    std::string image_sha256;
    std::string file_sha256;  // empty when the log has null
    double seconds = 0;
    std::string outcome;      // its text
    std::string outcome_key;  // empty when the log has none (1.1.0 wrote only the text)
    report_link link;  // all zero when the log has null
    std::map<std::string, std::string> labels;
    std::optional<uint64_t> slot;  // the fixture's slot it sat in; none when the log has no "slot"
    std::string board_value;       // values[value_name]; empty when it has none (or ""): no identity
};

// The record or note on `line` (without its line end); false with the
// reason in *why when the line is neither. *r is then left in any state.
// A line is a note when it is a JSON object with a key "note" and none
// "outcome"; its "note" must be a string, the kind, and nothing else of it
// is read. `value_name` is the field of "values" kept as r->board_value;
// empty: none.
bool report_record_parse(std::string_view line, report_record* r, std::string* why,
                         std::string_view value_name = {});
// The JSON parser's reading alone, which report_record_parse falls back on.
bool report_record_parse_json(std::string_view line, report_record* r, std::string* why,
                              std::string_view value_name = {});
// The quick scan alone: false when it leaves the line to the parser. It
// takes no notes.
bool report_record_scan(std::string_view line, report_record* r, std::string_view value_name = {});
