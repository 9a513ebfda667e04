// The state file's text (its format is in serials.h): reading a whole file
// into what it says, and the records a run appends, settling first what
// the last run left. The file itself, its lock and syncs are serials.cpp's.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "values/fields.h"
#include "values/value_pool.h"

struct serial_reservation {
    uint64_t ticket = 0;
    uint64_t line = 0;  // where it was recorded, from 1
    std::string board;
    std::vector<field_value> values;
};

// A field as the state file records it: what the lot hands out. `def`
// holds no list path (the list is known by its digest and length) and no
// value.
struct serial_lot_field {
    field_spec def;
    std::string list_sha256;  // FIELD_LIST: of the list file's bytes
    uint64_t list_bytes = 0;  // FIELD_LIST: the list file's length
    bool operator==(const serial_lot_field&) const;
};

// What a state file's text says, read by serial_journal_read.
struct serial_journal {
    int format = 2;
    // The lot's fields, as the last "fields" record (or the header) gives
    // them; empty for a format 1 file not yet bound.
    std::vector<serial_lot_field> lot;
    // The bytes that complete a header cut short, the whole header for an
    // empty file; empty when the header is there.
    std::string header_rest;
    bool ends_mid_line = false;  // the last byte is not a line end
    // Every value the file shows, by field name then text, in its latest state.
    value_states values;
    std::vector<serial_reservation> unfinished;  // reserved and never ended, in file order
    // Lines cut short at the end and not yet set aside (0 when none), and
    // the values read in them (counted burned in `values`).
    uint64_t torn_first = 0, torn_last = 0;
    std::vector<field_value> torn_values;
    uint64_t lines = 0;        // lines in the file, a last one without its line end included
    uint64_t next_ticket = 1;  // above every ticket in the file
    uint64_t pid = 0;          // of the last "open" record, 0 when none
};

// Reads a state file's text; `name` labels the errors ("station.serials:12:
// ..."). false with a one-line error when the file cannot be trusted: not a
// state file, a newer format, a line that cannot be read before the end, a
// record that ends a board no reservation names.
bool serial_journal_read(std::string_view text, const std::string& name, serial_journal* out, std::string* error);

// The header of a new lot's file, a whole line.
std::string serial_journal_header(const std::vector<serial_lot_field>& lot);

// What a run appends before it hands anything out, each a whole record (the
// first starting a line of its own): a header cut short completed, lines
// cut short set aside, reservations left unfinished burned, the lot's
// fields when `lot` is given, and this run's "open". The notices say what
// was settled, each naming `path`; `given` names the fields whose values
// are given each run, so not counted as burned in them.
std::vector<std::string> serial_journal_recovery(const serial_journal& journal,
                                                 const std::vector<serial_lot_field>* lot,
                                                 const std::vector<std::string>& given, failed_policy policy,
                                                 uint64_t pid, const std::string& path,
                                                 std::vector<std::string>* notices);

// A board's reservation, its values cut to what a record holds.
std::string serial_journal_reserved(uint64_t ticket, const std::vector<field_value>& values,
                                    const std::string& board);
// A board's end, as value_end_of has it.
std::string serial_journal_ended(uint64_t ticket, value_end end);

// "station.serials:12: what"
std::string serial_line_error(const std::string& name, uint64_t line, const std::string& what);
// A line without the spaces, tabs and carriage returns around it.
std::string_view serial_trim(std::string_view text);
