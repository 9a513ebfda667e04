#include "lot/lot_schema.h"

#include <cstdint>
#include <iterator>

namespace {

// "zelflash" in ASCII: one key for all zelflash lots in a database.
constexpr int64_t lock_key = 0x7A656C666C617368;

struct migration {
    int version;
    const char* name;
    const char* const* statements;  // ended by nullptr
};

const char* const lot_tables[] = {
    "CREATE TABLE zelflash.lots (id bigserial PRIMARY KEY, name text UNIQUE NOT NULL,"
    " created_at timestamptz NOT NULL DEFAULT now(), fields jsonb NOT NULL)",
    "CREATE TABLE zelflash.list_lines (lot_id bigint NOT NULL REFERENCES zelflash.lots(id), field text NOT NULL,"
    " line_no integer NOT NULL, value text NOT NULL, PRIMARY KEY (lot_id, field, line_no),"
    " UNIQUE (lot_id, field, value))",
    "CREATE TABLE zelflash.counters (lot_id bigint NOT NULL REFERENCES zelflash.lots(id), field text NOT NULL,"
    " next numeric NOT NULL, last numeric, PRIMARY KEY (lot_id, field))",
    "CREATE TABLE zelflash.lot_values (lot_id bigint NOT NULL REFERENCES zelflash.lots(id), field text NOT NULL,"
    " value text NOT NULL, state text NOT NULL CHECK (state IN ('free', 'held', 'reserved', 'used', 'failed',"
    " 'burned')), station text, ticket bigint, changed_at timestamptz NOT NULL DEFAULT now(),"
    " PRIMARY KEY (lot_id, field, value))",
    "CREATE TABLE zelflash.stations (lot_id bigint NOT NULL REFERENCES zelflash.lots(id), name text NOT NULL,"
    " host text, pid integer, started_at timestamptz, last_seen timestamptz, boards bigint NOT NULL DEFAULT 0,"
    " lease integer, live boolean NOT NULL DEFAULT false, PRIMARY KEY (lot_id, name))",
    "CREATE TABLE zelflash.boards (lot_id bigint NOT NULL REFERENCES zelflash.lots(id), station text NOT NULL,"
    " ticket bigint NOT NULL, record jsonb NOT NULL, uploaded_at timestamptz NOT NULL DEFAULT now(),"
    " PRIMARY KEY (lot_id, station, ticket))",
    nullptr,
};

const char* const station_journals[] = {
    "ALTER TABLE zelflash.stations ADD COLUMN journal text",
    "CREATE INDEX lot_values_by_station ON zelflash.lot_values (lot_id, station) WHERE state IN ('held', 'reserved')",
    "CREATE INDEX lot_values_free ON zelflash.lot_values (lot_id, field) WHERE state = 'free'",
    nullptr,
};

// In version order; a migration once released never changes.
constexpr migration migrations[] = {
    {1, "the lot: lots, list lines, counters, values, stations, boards", lot_tables},
    {2, "stations' journals; values by station, free values", station_journals},
};
static_assert(std::size(migrations) == LOT_SCHEMA_VERSION, "one migration per schema version");

std::string newer(int found)
{
    return "the lot database's schema is version " + std::to_string(found) + ", newer than this zelflash knows (" +
           std::to_string(LOT_SCHEMA_VERSION) + "): use a newer zelflash";
}

// The highest migration applied; 0 when none.
bool applied(lot_db& db, int* version, std::string* error)
{
    std::vector<lot_row> rows;
    if (!db.run("SELECT coalesce(max(version), 0) FROM zelflash.migrations", {}, &rows, error))
        return false;
    *version = std::stoi(rows.at(0).at(0).value_or("0"));
    return true;
}

// One migration, in a transaction of its own under the lock; nothing when
// it is applied already (by another zelflash that held the lock first).
bool apply(lot_db& db, const migration& m, std::string* error)
{
    lot_transaction t(db, "BEGIN", error);
    int version = 0;
    bool ok = t.open() && db.run("SELECT pg_advisory_xact_lock($1::bigint)", {lot_schema_lock_key()}, error) &&
              db.run("CREATE SCHEMA IF NOT EXISTS zelflash", {}, error) &&
              db.run("CREATE TABLE IF NOT EXISTS zelflash.migrations (version integer PRIMARY KEY, name text NOT "
                     "NULL, applied_at timestamptz NOT NULL DEFAULT now())",
                     {}, error) &&
              applied(db, &version, error);
    if (ok && version > LOT_SCHEMA_VERSION) {
        *error = newer(version);
        return false;
    }
    if (!ok || version >= m.version)
        return ok && t.commit(error);
    for (const char* const* s = m.statements; ok && *s != nullptr; ++s)
        ok = db.run(*s, {}, error);
    return ok &&
           db.run("INSERT INTO zelflash.migrations (version, name) VALUES ($1::integer, $2)",
                  {std::to_string(m.version), std::string(m.name)}, error) &&
           t.commit(error);
}

}  // namespace

std::string lot_schema_lock_key()
{
    return std::to_string(lock_key);
}

bool lot_schema_prepare(lot_db& db, std::string* error)
{
    for (const migration& m : migrations)
        if (!apply(db, m, error))
            return false;
    return true;
}

bool lot_schema_check(lot_db& db, std::string* error)
{
    std::vector<lot_row> rows;
    if (!db.run("SELECT to_regclass('zelflash.migrations') IS NOT NULL", {}, &rows, error))
        return false;
    int version = 0;
    if (rows.at(0).at(0) == "t" && !applied(db, &version, error))
        return false;
    if (version == 0) {
        *error = "the lot database " + db.shown() + " has no zelflash lots yet: make the lot with zelflash lot "
                 "create JOB";
        return false;
    }
    if (version > LOT_SCHEMA_VERSION) {
        *error = newer(version);
        return false;
    }
    return true;
}
