#include "report/report_lot.h"

#include "lot/lot_db.h"
#include "lot/lot_schema.h"

namespace {

report_lot_result failed(const lot_db& db)
{
    return db.broken() ? REPORT_LOT_UNREACHABLE : REPORT_LOT_REFUSED;
}

bool lot_id(lot_db& db, const std::string& name, std::string* id, std::string* error)
{
    std::vector<lot_row> rows;
    if (!db.run("SELECT id FROM zelflash.lots WHERE name = $1", {name}, &rows, error))
        return false;
    if (rows.empty()) {
        *error = "lot " + name + " is not in " + db.shown() + ": make it with zelflash lot create JOB";
        return false;
    }
    *id = rows[0][0].value_or("");
    return true;
}

// The order is that of bytes (COLLATE "C"), whatever the database's
// locale, so every server gives the same report.
const char declare_cursor[] =
    "DECLARE lot_boards NO SCROLL CURSOR FOR SELECT record::text FROM zelflash.boards WHERE lot_id = $1::bigint "
    "ORDER BY (record->>'end') COLLATE \"C\", station COLLATE \"C\", ticket";

// Each record becomes one line of the reader; jsonb's text of a record
// never holds a line end.
bool read_batches(lot_db& db, uint32_t batch, report_reader* reader, std::string* error)
{
    std::string fetch = "FETCH FORWARD " + std::to_string(batch) + " FROM lot_boards";
    std::vector<lot_row> rows;
    do {
        rows.clear();
        if (!db.run(fetch.c_str(), {}, &rows, error))
            return false;
        for (const lot_row& r : rows) {
            reader->feed(r.at(0).value_or(""));
            reader->feed("\n");
        }
    } while (rows.size() == batch);
    return true;
}

}  // namespace

report_lot_result report_lot_read(const job_lot& lot, report_data* out, std::string* error, uint32_t batch)
{
    lot_db db;
    if (!db.connect(lot.database, error) || !lot_schema_check(db, error))
        return failed(db);
    lot_transaction t(db, "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY", error);
    std::string id;
    if (!t.open() || !lot_id(db, lot.name, &id, error) || !db.run(declare_cursor, {id}, error))
        return failed(db);
    report_reader reader(report_lot_source(lot.name, db.shown()), out);
    if (!read_batches(db, batch < 1 ? 1 : batch, &reader, error) || !t.commit(error))
        return failed(db);
    reader.finish();
    return REPORT_LOT_READ;
}
