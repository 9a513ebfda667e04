// report --lot: the board records of a lot, read from the lot database
// (lot/lot_db.h) and fed to the report's reader as the lines of one log, so
// that a lot and a board log of the same records give the same report.
//
// zelflash.boards holds one row per board of the lot; its record is the
// board-log line the station wrote, with the keys "station" and "ticket"
// added, which the report passes over. The records are read in one
// snapshot, in a stable order (their "end", then station and ticket, as
// bytes; records without an "end" last) through a cursor, a batch at a time,
// so a lot of millions of boards is never held whole.
//
// One file per platform: report_lot.cpp reads with libpq; the Windows build
// has no PostgreSQL client and refuses, as the lot commands do.
#pragma once

#include <cstdint>
#include <string>

#include "report/yield_report.h"
#include "station/job_file.h"

// The command's exit status follows the result.
enum report_lot_result : int32_t {
    REPORT_LOT_READ = 0,
    REPORT_LOT_UNREACHABLE = 1,  // the database out of reach, or a statement failed
    REPORT_LOT_REFUSED = 2,      // no such lot, no lots at all, a newer schema, no lot support here
};

enum report_lot_limits : uint32_t {
    REPORT_LOT_BATCH = 1000,  // records fetched at a time
};

// Reads the records of `lot` into `out`, under the name report_lot_source
// gives, `batch` records a fetch. Anything but REPORT_LOT_READ comes with a
// one-line error naming the database without its password.
report_lot_result report_lot_read(const job_lot& lot, report_data* out, std::string* error,
                                  uint32_t batch = REPORT_LOT_BATCH);

// The name the report gives the lot's records where a log has its file
// name: "lot L2026-1208 in host=db1 dbname=zel" (`database` as shown).
inline std::string report_lot_source(const std::string& name, const std::string& database)
{
    return "lot " + name + " in " + database;
}
