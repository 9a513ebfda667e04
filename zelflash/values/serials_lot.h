// The state file's lot: the job's fields read (each list file with its
// bytes), checked against the fields the file records, and the board log
// as the file's witness. Every message names the file it is about.
#pragma once

#include <string>
#include <vector>

#include "values/fields.h"
#include "values/serials_journal.h"
#include "values/value_pool.h"

// The job's fields, each checked, each list file read: its lines in order,
// each value once. false with a one-line error naming the field, or the
// list file and line.
bool serial_lot_read_fields(const std::vector<field_spec>& given, std::vector<value_field>* out, std::string* error);

// The counted fields as the state file records them.
std::vector<serial_lot_field> serial_lot_of(const std::vector<value_field>& fields);

// The job's counted fields against the lot `recorded` (empty: a format 1
// file, bound at its first open). *changed when the file must record them
// anew before it hands anything out (a counter's last raised, lines added
// to a list); `notes` says so. false with a one-line error naming the
// difference when the job is not the lot's.
bool serial_lot_agrees(const std::vector<value_field>& job, const std::vector<serial_lot_field>& recorded,
                       const std::string& path, bool* changed, std::vector<std::string>* notes, std::string* error);

// The board log `log` (empty: none) as witness: every value of the lot it
// shows on a board must be one the file knows (`values`). `fresh`: the
// file is being made, so it has handed out nothing. false with a one-line
// error naming log:line and what to do.
bool serial_lot_witnessed(const std::vector<value_field>& fields, const value_pool& pool, const value_states& values,
                          const std::string& log, const std::string& path, bool fresh, std::string* error);

// A whole file's bytes; false when it cannot be read.
bool serial_read_file(const std::string& path, std::string* bytes);
