#include "lot/lot_status.h"

#include "lot/lot_station.h"

uint64_t lot_field_status::held_total() const
{
    uint64_t n = 0;
    for (const auto& [station, count] : held)
        n += count;
    return n;
}

uint64_t lot_counter_span(uint64_t next, uint64_t last, uint64_t step)
{
    return next > last ? 0 : (last - next) / step + 1;
}

namespace {

const char utc[] = "YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"";

bool read_lot(lot_db& db, const std::string& name, std::string* id, lot_status* out, std::string* error)
{
    std::vector<lot_row> rows;
    if (!db.run("SELECT id, fields::text, to_char(created_at AT TIME ZONE 'UTC', $2) FROM zelflash.lots "
                "WHERE name = $1",
                {name, std::string(utc)}, &rows, error))
        return false;
    if (rows.empty()) {
        *error = "lot " + name + " is not in " + db.shown() + ": make it with zelflash lot create JOB";
        return false;
    }
    *id = rows[0][0].value_or("");
    out->name = name;
    out->created_at = rows[0][2].value_or("");
    std::vector<lot_field> fields;
    if (!lot_fields_read(rows[0][1].value_or(""), &fields, error))
        return false;
    for (lot_field& f : fields) {
        lot_field_status status;
        status.def = std::move(f);
        out->fields.push_back(std::move(status));
    }
    return true;
}

void count(lot_field_status* f, const std::string& state, const std::string& station, uint64_t n)
{
    uint64_t* counts[] = {&f->used, &f->failed, &f->burned, &f->free, &f->reserved};
    const char* names[] = {"used", "failed", "burned", "free", "reserved"};
    for (size_t i = 0; i < std::size(names); ++i)
        if (state == names[i])
            *counts[i] += n;
    if (state == "held")
        f->held[station] += n;
}

bool read_states(lot_db& db, const std::string& id, lot_status* out, std::string* error)
{
    std::vector<lot_row> rows;
    if (!db.run("SELECT field, state, coalesce(station, ''), count(*) FROM zelflash.lot_values "
                "WHERE lot_id = $1::bigint GROUP BY 1, 2, 3",
                {id}, &rows, error))
        return false;
    for (const lot_row& r : rows)
        for (lot_field_status& f : out->fields)
            if (f.def.name == r[0])
                count(&f, r[1].value_or(""), r[2].value_or(""), lot_number(r[3]).value_or(0));
    return true;
}

// Values given back go out first: a list's in its order, a counter's lowest first.
bool first_free(lot_db& db, const std::string& id, lot_field_status* f, std::string* error)
{
    std::vector<lot_row> rows;
    bool ok = db.run("SELECT v.value FROM zelflash.lot_values v LEFT JOIN zelflash.list_lines l ON l.lot_id = "
                     "v.lot_id AND l.field = v.field AND l.value = v.value WHERE v.lot_id = $1::bigint AND v.field "
                     "= $2 AND v.state = 'free' ORDER BY l.line_no, length(v.value), v.value LIMIT 1",
                     {id, f->def.name}, &rows, error);
    if (ok && !rows.empty())
        f->next = rows[0][0];
    return ok;
}

bool read_counter(lot_db& db, const std::string& id, lot_field_status* f, std::string* error)
{
    std::vector<lot_row> rows;
    if (!db.run("SELECT next::text FROM zelflash.counters WHERE lot_id = $1::bigint AND field = $2",
                {id, f->def.name}, &rows, error))
        return false;
    std::optional<uint64_t> next = rows.empty() ? std::nullopt : lot_number(rows[0][0]);
    const lot_field& d = f->def;
    if (d.last) {
        f->total = lot_counter_span(d.start, *d.last, d.step);
        f->remaining = next ? lot_counter_span(*next, *d.last, d.step) : 0;
    }
    if (!f->next && next && (!d.last || *next <= *d.last))
        f->next = std::to_string(*next);
    return true;
}

bool read_list(lot_db& db, const std::string& id, lot_field_status* f, std::string* error)
{
    std::vector<lot_row> rows;
    if (!db.run("SELECT count(*), (array_agg(value ORDER BY line_no))[1] FROM zelflash.list_lines l WHERE "
                "l.lot_id = $1::bigint AND l.field = $2 AND NOT EXISTS (SELECT 1 FROM zelflash.lot_values v WHERE "
                "v.lot_id = l.lot_id AND v.field = l.field AND v.value = l.value)",
                {id, f->def.name}, &rows, error))
        return false;
    f->remaining = lot_number(rows.at(0).at(0)).value_or(0);
    f->total = f->def.line_count;
    if (!f->next)
        f->next = rows[0][1];
    return true;
}

bool read_stations(lot_db& db, const std::string& id, lot_status* out, std::string* error)
{
    std::vector<lot_row> rows;
    // Live: its zelflash holds the station's advisory lock (lot_station.h);
    // the column alone stays true after a crash.
    const std::string sql = "SELECT name, to_char(last_seen AT TIME ZONE 'UTC', $2), boards, lease, live AND EXISTS ("
                            "SELECT 1 FROM pg_locks l WHERE l.locktype = 'advisory' AND l.objsubid = 1 AND l.granted "
                            "AND ((l.classid::bigint << 32) | l.objid::bigint) = " +
                            lot_station_key("lot_id::text", "name") +
                            ") FROM zelflash.stations WHERE lot_id = $1::bigint ORDER BY name";
    if (!db.run(sql.c_str(),
                {id, std::string(utc)}, &rows, error))
        return false;
    for (const lot_row& r : rows) {
        lot_station_status s;
        s.name = r[0].value_or(""), s.last_seen = r[1], s.boards = lot_number(r[2]).value_or(0);
        if (r[3])
            s.lease = static_cast<uint32_t>(lot_number(r[3]).value_or(0));
        s.live = r[4] == "t";
        out->stations.push_back(std::move(s));
    }
    return true;
}

}  // namespace

bool lot_status_read(lot_db& db, const std::string& name, lot_status* out, std::string* error)
{
    lot_transaction t(db, "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY", error);
    lot_status status;
    std::string id;
    if (!t.open() || !read_lot(db, name, &id, &status, error) || !read_states(db, id, &status, error))
        return false;
    for (lot_field_status& f : status.fields) {
        bool ok = first_free(db, id, &f, error) &&
                  (f.def.kind == FIELD_LIST ? read_list(db, id, &f, error) : read_counter(db, id, &f, error));
        if (!ok)
            return false;
    }
    if (!read_stations(db, id, &status, error) || !t.commit(error))
        return false;
    *out = std::move(status);
    return true;
}
