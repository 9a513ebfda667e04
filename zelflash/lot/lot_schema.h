// The lot database's tables, in the PostgreSQL schema `zelflash`, made and
// brought up to date by numbered migrations. Each migration runs in a
// transaction of its own under one advisory lock, so two `lot create` at
// once apply it once; zelflash.migrations records those applied:
//   migrations(version integer primary key, name text, applied_at timestamptz)
// A database whose schema is newer than this zelflash knows is refused by
// every command: its tables may mean something this one cannot keep.
//
// Migration 1, the lot (every table keyed by its lot's id):
//   lots        the lot's name and its field definitions (lot_fields.h), as made
//   list_lines  a list field's values, in the list file's order (line_no from 1)
//   counters    a counter's next value never handed out, and its last
//   lot_values  every value that ever left a counter or a list, in its state:
//               free (given back), held (by a station, not yet on a board),
//               reserved (on a board), used, failed, burned; a list line or
//               counter value not in it is still in the lot's supply
//   stations    each station that took part: host, pid, last seen, boards, lease
//   boards      each station's board records, by station and ticket
// A station's role needs only USAGE on the schema and SELECT, INSERT,
// UPDATE on the tables and sequences; making and migrating them is for the
// database's owner (lot create).
#pragma once

#include <string>

#include "lot/lot_db.h"

enum lot_schema_versions : int {
    LOT_SCHEMA_VERSION = 2,  // the newest migration this zelflash knows
};

// Makes the schema or brings it up to date, migration by migration. false
// with a one-line error (a newer schema is refused by name).
bool lot_schema_prepare(lot_db& db, std::string* error);
// Checks that the schema is there and not newer than this zelflash knows,
// changing nothing. false with a one-line error saying what to do.
bool lot_schema_check(lot_db& db, std::string* error);

// The advisory lock key that serialises what changes the schema or makes a
// lot (pg_advisory_xact_lock), as a statement parameter.
std::string lot_schema_lock_key();
