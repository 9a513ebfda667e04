// The state file's text (its format is in serials.h): reading a whole file
// into what it says, and the records a run appends, settling first what
// the last run left. The file itself, its lock and syncs are serials.cpp's.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
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

// A lot station's journal (format 3) is bound to one lot of a lot database
// and one station of it: its header names them, and the journal key is
// the one the database records for the station (lot_station.h).
struct serial_journal_binding {
    std::string lot;      // the lot's name
    std::string created;  // when the lot was made, as the database has it: a lot made anew under the same name differs
    std::string station;  // this station's name in the lot
    std::string key;      // random, made with the file
    uint64_t first_ticket = 1;  // its first board's: above every ticket the lot saw from the station before
    bool same(const serial_journal_binding& o) const
    {
        return lot == o.lot && created == o.created && station == o.station && key == o.key;
    }
};

// A board's record (a board-log line, JSON) kept with its end in a lot
// station's journal, for the lot's database.
struct serial_board_record {
    uint64_t ticket = 0;
    std::string record;
};

// What a state file's text says, read by serial_journal_read.
struct serial_journal {
    int format = 2;
    std::optional<serial_journal_binding> binding;  // format 3: a lot station's journal
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
    // Format 3: per field, the values the lot leased to the station that
    // it has neither given back nor reserved for a board, in the order
    // leased; and the boards' records in the order they ended. A value
    // given back leaves `values` too when its board failed and it was to
    // go to another (VALUE_FAILED_REUSE): it is the lot's again.
    std::map<std::string, std::vector<std::string>> hand;
    std::vector<serial_board_record> boards;
};

// Reads a state file's text; `name` labels the errors ("station.serials:12:
// ..."). false with a one-line error when the file cannot be trusted: not a
// state file, a newer format, a line that cannot be read before the end, a
// record that ends a board no reservation names.
bool serial_journal_read(std::string_view text, const std::string& name, serial_journal* out, std::string* error);

// The header of a new lot's file, a whole line; with `binding`, of a lot
// station's journal (format 3).
std::string serial_journal_header(const std::vector<serial_lot_field>& lot,
                                  const serial_journal_binding* binding = nullptr);

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
// A board's end, as value_end_of has it, with its record when given (a
// lot station's journal).
std::string serial_journal_ended(uint64_t ticket, value_end end, const std::string& record = "");
// Values of a lot taken into a station's hand (rec "lease") or given back
// to the lot (rec "returned"), per field.
std::string serial_journal_hand(const char* rec, const std::map<std::string, std::vector<std::string>>& values);

// "station.serials:12: what"
std::string serial_line_error(const std::string& name, uint64_t line, const std::string& what);
// A line without the spaces, tabs and carriage returns around it.
std::string_view serial_trim(std::string_view text);
