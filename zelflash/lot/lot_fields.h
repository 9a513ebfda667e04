// A lot's field definitions: what every station of the lot must agree on,
// kept in lots.fields as a versioned JSON record with stable keys:
//   {"version": 1, "fields": [
//     {"name": "serial", "kind": "counter", "format": "le32", "address": 126976,
//      "start": 1000, "step": 1, "last": 1999},             (last: null for no end)
//     {"name": "mac", "kind": "list", "format": "bytes6", "address": 126992,
//      "list": "macs.txt", "list_sha256": "9f86...", "lines": 20}]}
// A list is known by its file's SHA-256 and its number of values; its
// file's name (without the folder, which differs from bench to bench) is
// there for people only. Value fields (given each run) are no part of a
// lot.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "values/value_pool.h"

struct lot_field {
    std::string name;
    field_kind kind = FIELD_COUNTER;  // FIELD_COUNTER or FIELD_LIST
    std::string format;               // "le32", as field_format_name spells it
    uint32_t address = 0;
    uint64_t start = 0, step = 1;     // a counter's
    std::optional<uint64_t> last;     // a counter's; nullopt: no end
    std::string list_file;            // a list's file name
    std::string list_sha256;          // of the list file's bytes
    uint64_t line_count = 0;          // a list's values
    std::vector<std::string> lines;   // a list's values in file order, where known (not in the record)
};

// The job's counted fields (each list read), in the job's order.
std::vector<lot_field> lot_fields_of(const std::vector<value_field>& fields);

// The record of `fields`, and back. false with a one-line error for a
// record this zelflash cannot read (a newer version, a key missing).
std::string lot_fields_record(const std::vector<lot_field>& fields);
bool lot_fields_read(const std::string& record, std::vector<lot_field>* out, std::string* error);

// What lot extend changes in a field: a counter's last raised (nullopt:
// to no end), or a list's values from `first_new` on added.
struct lot_growth {
    std::string field;
    bool raises_last = false;
    std::optional<uint64_t> last;
    size_t first_new = 0;  // a list's: values before it are the lot's already
    bool adds_lines = false;
};

// The first way the job's fields differ from the lot's, as "field serial:
// step 2 in the lot, 1 in the job"; empty when they agree. With
// `growth` (lot extend, the lot's list values in `lines`) a raised last
// and values added at a list's end agree, and land there.
std::string lot_fields_differ(const std::vector<lot_field>& lot, const std::vector<lot_field>& job,
                              std::vector<lot_growth>* growth);
