// The yield report: what the board logs of one or more stations say about
// a production run, as a table for people and as JSON for programs.
//
// Reading. Each log is read as it stands, also while a station is still
// appending to it. Every line falls in exactly one of four counts:
//   blank     nothing but spaces, tabs and carriage returns; not counted as
//             a line read
//   accepted  a record: a JSON object with the keys below, of their types
//   note      something a station noticed about a fixture's slot: a JSON
//             object with a string key "note", its kind, and no key
//             "outcome"; counted by kind, nothing else of it read
//   rejected  anything else, with its reason; a last line without its line
//             end is a record still being written and is rejected as an
//             "incomplete last line", whatever it holds
// so that lines (the non-blank ones) = accepted + rejected + notes, in every
// file. A bad line is never fatal; a file that cannot be read is.
//
// The keys a record must have (others are ignored):
//   start         string, ISO UTC time the board's turn began
//   port          string
//   serial        string or null: USB serial number of the port's adapter
//   image         string
//   image_sha256  string
//   file_sha256   string or null
//   seconds       number, not negative
//   outcome       string ("programmed", "no answer", ...)
//   link          null, or an object of unsigned integers frames, resends,
//                 late_replies, bad_frames, quiet_waits, unasked_acks
// and may have (absent in older logs):
//   outcome_key   string, the outcome's stable key ("no_answer"): where it
//                 is one this version knows, the outcome is read from it
//                 and the text only shown
//   labels        object of strings (product, lot, station, operator, ...)
//   values        object of strings: field name -> the value given to the board;
//                 the one named board_key (report_data) names the board
//   slot          unsigned integer, from 1: the fixture's slot the board sat
//                 in, whose adapter (and so its serial) stays while boards
//                 come and go
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "report/report_boards.h"
#include "report/report_record.h"

enum report_limits : uint32_t {
    REPORT_KEPT_REJECTIONS = 10,   // rejected lines kept with file, line and reason
    REPORT_MAX_LINE = 64 * 1024,   // longer lines are rejected unread (a record is under 2 KiB)
};

struct report_rejection {
    std::string file;
    uint64_t line = 0;  // from 1
    std::string reason;
};

// One port's boards and link figures, to tell a bad fixture or hub. A port
// with at least REPORT_MARK_MIN_BOARDS boards is marked when it fares far
// worse than all other ports taken together:
//   failures  a failure rate (failed / boards) at least REPORT_MARK_FACTOR
//             times the others' and REPORT_MARK_FAILURE_POINTS percentage
//             points above it
//   resends   a resend rate (resends / frames) at least REPORT_MARK_FACTOR
//             times the others' and REPORT_MARK_RESEND_POINTS points above it
// With a single port there is nothing to compare and nothing is marked.
struct report_port {
    std::string port;
    uint64_t boards = 0;  // records
    uint64_t failed = 0;
    report_link link;
    bool many_failures = false;
    bool many_resends = false;
};

enum report_mark_rule : uint32_t {
    REPORT_MARK_MIN_BOARDS = 3,
    REPORT_MARK_FACTOR = 2,
    REPORT_MARK_FAILURE_POINTS = 10,  // percentage points
    REPORT_MARK_RESEND_POINTS = 1,
};

// The records of one hour, by their start: the hour a record's start names
// when it has the form dddd-dd-ddThh...Z (UTC, a station's form and
// 1.1.0's); a record with any other start is undated, counted apart.
struct report_hour {
    uint64_t hour = 0;  // YYYYMMDDhh as a number (2026030208)
    uint64_t boards = 0;  // records
    uint64_t programmed = 0;
};

// The hour of `start` as report_hour::hour; none when undated.
std::optional<uint64_t> report_hour_of(std::string_view start);
// An hour's start as text: "2026-03-02T08:00:00Z".
std::string report_hour_text(uint64_t hour);
// Hours from `from` to `to` (to - from on a clock); both report_hour::hour.
int64_t report_hours_between(uint64_t from, uint64_t to);

// The programmed records' times in bins of equal width from 0: bin i holds
// those from i * bin_seconds up to (not with) (i + 1) * bin_seconds, the
// last one also the slowest. The width is 1, 2, 2.5 or 5 times a power of
// ten, the smallest that needs at most REPORT_TIME_BINS bins; none without
// programmed records.
struct report_histogram {
    std::optional<double> bin_seconds;
    std::vector<uint64_t> counts;
};

enum report_chart_limits : uint32_t {
    REPORT_TIME_BINS = 20,
};

// The records of one cell: the same image, digest and labels, so that they
// fall in one group under every grouping. Their figures are added up as
// they are read; only the programmed ones' times are kept, for the median.
struct report_cell {
    std::string image;
    std::string digest;  // the file's, else the written bytes'
    std::map<std::string, std::string> labels;
    uint64_t boards = 0;  // records
    uint64_t programmed = 0;
    std::map<std::string, uint64_t> failures;  // outcome text -> records
    uint64_t lone_boards = 0;      // records known by no name (report_summary): each a board of its own
    uint64_t lone_first_pass = 0;  // of which programmed
    std::vector<double> seconds;   // of the programmed records
    std::map<std::string, report_port> ports;  // by port name
    std::map<uint64_t, report_hour> hours;     // by report_hour::hour
    uint64_t undated = 0;                      // records whose start names no hour
};

// What the logs hold. Invariant: lines == accepted + rejected + notes. The
// records are folded as they are read (report_fold): what is kept grows
// with the cells, the ports, the boards known by a name (their first
// record, report_boards.h) and the programmed records (8 bytes each, for
// the median; twice that while the report is made), never with the text of
// the logs.
struct report_data {
    // The field of a record's "values" that names its board (report_summary);
    // empty: none. Set before the logs are read.
    std::string board_key;
    std::vector<std::string> files;  // in the order read
    uint64_t accepted = 0;    // records
    uint64_t lines = 0;       // non-blank lines
    uint64_t blank = 0;       // blank lines, counted apart
    uint64_t rejected = 0;    // all rejected lines, incomplete last ones included
    uint64_t incomplete = 0;  // of which last lines still being written
    uint64_t notes = 0;       // note lines
    std::map<std::string, uint64_t> note_kinds;  // kind ("still_in_loader") -> note lines
    uint64_t slotted = 0;     // records with a slot
    std::vector<report_rejection> rejections;  // the first REPORT_KEPT_REJECTIONS
    std::vector<report_cell> cells;
    std::unordered_map<std::string, uint32_t> cell_of;     // report_cell_key -> index in cells
    report_boards boards;  // each board's first record: the earliest start, then the first read
    std::vector<std::string> odd_starts;  // starts not in the form a station writes (report_start_key)
};

// Adds an accepted record to the figures.
void report_fold(report_data* d, const report_record& r);
// Counts a note of kind `kind`.
void report_note(report_data* d, const std::string& kind);
// The order of starts as a number: a start in the form a station writes
// ("2026-03-02T08:00:00.000Z") is its digits, which sort as the text does;
// another is kept in d->odd_starts and compared as text (report_start_less).
uint64_t report_start_key(report_data* d, const std::string& start);
bool report_start_less(const report_data& d, uint64_t a, uint64_t b);

// How records are grouped before the total.
enum report_by : int32_t {
    REPORT_BY_NONE = 0,   // the total only
    REPORT_BY_IMAGE = 1,  // image name and content digest
    REPORT_BY_LABEL = 2,  // the value of one label; records without it in a group of their own
};

struct report_grouping {
    report_by by = REPORT_BY_NONE;
    std::string label;  // REPORT_BY_LABEL: its name
};

// "image" or "label:NAME"; false with a one-line error saying what is allowed.
bool report_grouping_parse(std::string_view text, report_grouping* out, std::string* error);

// Reads the logs at `paths` into `out`, one after another. false with an
// error naming the file when one cannot be opened or read.
bool report_read(const std::vector<std::string>& paths, report_data* out, std::string* error);
// Reads one log's text as if from a file called `file`, adding to `out`.
void report_read_text(std::string_view text, const std::string& file, report_data* out);

// One log read piece by piece (a pipe, a file in chunks): cuts the bytes,
// fed in pieces of any size, into lines and files each line as blank, a
// record, a note or rejected. Of a line longer than REPORT_MAX_LINE only the first
// bytes are held (it is rejected anyway), so memory stays bounded whatever
// the log holds.
class report_reader {
public:
    // Adds `file` to out->files; the lines go to `out` as they end.
    report_reader(std::string file, report_data* out);
    void feed(std::string_view bytes);
    // At the end of the log: what is left has no line end, a record still
    // being written.
    void finish();

private:
    void take(std::string_view piece);
    void line_done(bool ended);
    void sort_line(bool ended);

    std::string file_;
    report_data* out_;
    std::string line_;     // the line's first bytes, at most REPORT_MAX_LINE
    report_record record_; // the last record read, its strings' room used again
    uint64_t length_ = 0;  // the line's whole length so far
    uint64_t number_ = 0;  // lines of the file so far, blank ones included
    bool nonblank_ = false;
};

// The figures of a set of records. Invariant: programmed + failed == boards.
// First pass: a board is known by the value of the field board_key in its
// record's values (report_data) where it has one that is not empty; else
// by its adapter's USB serial number, unless the record has a slot (the
// adapter then stays for all the slot's boards). A record known by neither
// is a board of its own. A board's first record of all the logs
// (earliest start, then the order read) decides: it passed when that record
// is programmed. A board counts in the group of its first record, so the
// groups' first-pass figures add up to the total's.
struct report_summary {
    uint64_t boards = 0;      // records
    uint64_t programmed = 0;  // "programmed" and "programmed, restart not confirmed"
    uint64_t failed = 0;
    std::map<std::string, uint64_t> failures;  // outcome text -> records
    uint64_t distinct_boards = 0;
    uint64_t first_pass = 0;               // distinct boards programmed at their first record
    std::optional<double> median_seconds;  // of the programmed records
    std::optional<double> slowest_seconds;
    report_histogram times;          // of the programmed records
    std::vector<report_port> ports;  // by port name
    std::vector<report_hour> hours;  // the hours with records, in order
    uint64_t undated = 0;            // records whose start names no hour
};

// Records of one image go together when their digests agree: the file's
// when the record has it (per-board values make the written bytes differ
// from board to board while the file stays the same), else the written
// bytes'.
struct report_group {
    std::string image;                 // REPORT_BY_IMAGE
    std::string sha256;                // REPORT_BY_IMAGE
    std::optional<std::string> value;  // REPORT_BY_LABEL: none for records without the label
    report_summary summary;
};

struct report_tally {
    std::vector<report_group> groups;  // none without grouping; else in name order
    report_summary total;
};

report_tally report_tally_up(const report_data& data, const report_grouping& grouping);

// The report as an aligned plain-text table with its legend, and as JSON.
std::string report_text(const report_data& data, const report_grouping& grouping);
nlohmann::json report_json(const report_data& data, const report_grouping& grouping);
// The legend of report_text alone: how each figure is counted.
std::string report_legend(const report_data& data);
