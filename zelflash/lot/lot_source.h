// A lot's station's values: its journal on the disk (lot_journal.h), fed
// by leases from the lot's database and read back into the database in
// the background (lot_station.h). The journal decides what a board may
// carry; the database learns of it afterwards, in order, retried until
// it has: a board never waits for the database while values are in hand.
//
// Its thread (one connection, which holds the station's lock):
//   - takes a lease when a field's hand has fallen to half a lease (or is
//     empty with a lease of 1), topping every field up to a lease;
//   - then tells the database what the journal recorded, oldest first:
//     reservations, boards' ends with their records;
//   - a failure closes the connection: it connects again after 1, 2, 4 ...
//     up to 30 s, meanwhile the boards go on from the hand.
// At open, before any board: the lot's rows of this station's values are
// made to agree with the journal (what it never put on a board is free
// again), and the records of boards the lot has not seen are queued.
#pragma once

#include <memory>
#include <string>

#include "values/value_source.h"

struct lot_source_config {
    std::string database;  // the connection string, no password in it
    std::string lot;       // the lot's name
    std::string station;   // this station's name in the lot
    uint32_t lease = 8;
    std::string journal;   // the journal's path (the job's state file)
};

// Nothing is opened yet. On a build without the lot's client library
// (Windows) it is null.
std::unique_ptr<value_source> lot_source_make(const lot_source_config& config);
// The station's name: the one given, else this computer's host name.
std::string lot_station_name(const std::string& given);
