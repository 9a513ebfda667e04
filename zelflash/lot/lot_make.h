// Making a lot in the database and growing it: lot create and lot extend.
// Each is one transaction under the schema's advisory lock, so two at once
// end with one lot, made once. A list's values go into list_lines once, in
// file order; a counter's row starts at next = start.
#pragma once

#include <string>
#include <vector>

#include "lot/lot_db.h"
#include "lot/lot_fields.h"

enum lot_made : int {
    LOT_MADE = 0,       // a new lot
    LOT_EXISTS = 1,     // there already, with the same fields
};

// Makes lot `name` with `fields` (the schema prepared). A lot of that name
// with other fields is refused, naming the first difference. false with
// a one-line error.
bool lot_create(lot_db& db, const std::string& name, const std::vector<lot_field>& fields, lot_made* made,
                std::string* error);

// Raises counters' last values and adds the values at the end of lists
// that grew, recording the lists' new digests; anything else that differs
// is refused as lot_create refuses it. `notes` says what changed, one line
// each (none: the lot was as the job defines it).
bool lot_extend(lot_db& db, const std::string& name, const std::vector<lot_field>& fields,
                std::vector<std::string>* notes, std::string* error);
