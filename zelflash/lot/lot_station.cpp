#include "lot/lot_station.h"

#include "lot/lot_schema.h"

std::string lot_station_key(const std::string& lot_id, const std::string& station)
{
    return "hashtextextended('zelflash station ' || " + lot_id + " || '/' || " + station + ", 0)";
}

namespace {

const char* const exact_utc = "YYYY-MM-DD\"T\"HH24:MI:SS.US\"Z\"";
// The station's advisory lock, of the lot's id ($1) and the station's
// name ($2).
const std::string try_lock = "SELECT pg_try_advisory_lock(" + lot_station_key("$1", "$2") + ")";
const std::string unlock = "SELECT pg_advisory_unlock(" + lot_station_key("$1", "$2") + ")";

// The lot's state of a value as the journal has it.
const char* lot_state_of(serial_value_state s)
{
    switch (s) {
    case VALUE_USED: return "used";
    case VALUE_FAILED: return "failed";
    case VALUE_RESERVED:  // burned at the journal's open: it may be on a board
    case VALUE_BURNED: return "burned";
    default: return "free";
    }
}

const char* lot_state_of(value_end end)
{
    switch (end) {
    case END_USED: return "used";
    case END_REUSE: return "held";  // back in the station's hand, for its next board
    default: return "failed";
    }
}

// What the journal's `states` make of a value the lot shows in the
// station's hand or on its board: free when the journal shows it on none.
const char* journal_state(const value_states& states, const field_value& v)
{
    auto field = states.find(v.name);
    if (field == states.end())
        return "free";
    auto value = field->second.find(v.text);
    return value == field->second.end() ? "free" : lot_state_of(value->second);
}

// Moves the station's held or reserved `values` to state `to`: free
// values leave the station, and only reserved, used and failed ones keep a
// ticket.
bool move_values(lot_db& db, const lot_ref& lot, const std::string& station, const char* to,
                 const std::vector<field_value>& values, const std::optional<uint64_t>& ticket, std::string* error)
{
    std::vector<std::string> fields, texts;
    for (const field_value& v : values) {
        fields.push_back(v.name);
        texts.push_back(v.text);
    }
    if (values.empty())
        return true;
    return db.run("UPDATE zelflash.lot_values v SET state = $3, changed_at = now(),"
                  " station = CASE WHEN $3 = 'free' THEN NULL ELSE v.station END,"
                  " ticket = CASE WHEN $3 IN ('free', 'held') THEN NULL ELSE coalesce($6::bigint, v.ticket) END"
                  " FROM unnest($4::text[], $5::text[]) AS m(field, value)"
                  " WHERE v.lot_id = $1::bigint AND v.station = $2 AND v.field = m.field AND v.value = m.value"
                  " AND v.state IN ('held', 'reserved')",
                  {lot.id, station, std::string(to), lot_text_array(fields), lot_text_array(texts),
                   ticket ? lot_param(std::to_string(*ticket)) : std::nullopt},
                  error);
}

}  // namespace

bool lot_find(lot_db& db, const std::string& name, lot_ref* out, std::string* error)
{
    std::vector<lot_row> rows;
    if (!lot_schema_check(db, error) ||
        !db.run("SELECT id, fields::text, to_char(created_at AT TIME ZONE 'UTC', $2) FROM zelflash.lots WHERE name = $1",
                {name, std::string(exact_utc)}, &rows, error))
        return false;
    if (rows.empty()) {
        *error = "lot " + name + " is not in " + db.shown() + ": make it with zelflash lot create JOB";
        return false;
    }
    out->id = rows[0][0].value_or("");
    out->name = name;
    out->created = rows[0][2].value_or("");
    return lot_fields_read(rows[0][1].value_or(""), &out->fields, error);
}


bool lot_station_register(lot_db& db, const lot_ref& lot, const std::string& station, uint32_t lease,
                          lot_registration* out, std::string* error)
{
    std::vector<lot_row> rows;
    if (!db.run(try_lock.c_str(), {lot.id, station}, &rows, error))
        return false;
    if (rows.at(0).at(0) != "t") {
        rows.clear();
        db.run("SELECT coalesce(host, '?'), coalesce(pid::text, '?') FROM zelflash.stations WHERE lot_id = "
               "$1::bigint AND name = $2", {lot.id, station}, &rows, error);
        std::string holder = rows.empty() ? "" : " (on " + rows[0][0].value_or("?") + ", pid " +
                                                     rows[0][1].value_or("?") + ")";
        *error = "station " + station + " of lot " + lot.name + " is live already" + holder +
                 ": two stations of a lot never share a name; give this one another ([lot] station)";
        return false;
    }
    rows.clear();
    if (!db.run("INSERT INTO zelflash.stations (lot_id, name, host, pid, started_at, last_seen, lease, live)"
                " VALUES ($1::bigint, $2, inet_client_addr()::text, pg_backend_pid(), now(), now(), $3::integer, true)"
                " ON CONFLICT (lot_id, name) DO UPDATE SET started_at = now(), last_seen = now(),"
                " lease = $3::integer, live = true RETURNING journal",
                {lot.id, station, std::to_string(lease)}, &rows, error))
        return false;
    out->journal = rows.at(0).at(0);
    rows.clear();
    if (!db.run("SELECT EXISTS (SELECT 1 FROM zelflash.lot_values WHERE lot_id = $1::bigint AND station = $2 AND"
                " state IN ('held', 'reserved')), greatest((SELECT max(ticket) FROM zelflash.boards WHERE lot_id ="
                " $1::bigint AND station = $2), (SELECT max(ticket) FROM zelflash.lot_values WHERE lot_id = $1::bigint"
                " AND station = $2))::text",
                {lot.id, station}, &rows, error))
        return false;
    out->holds = rows.at(0).at(0) == "t";
    out->top_ticket = lot_number(rows[0][1]).value_or(0);
    return true;
}

bool lot_station_host(lot_db& db, const lot_ref& lot, const std::string& station, const std::string& host,
                      uint64_t pid, std::string* error)
{
    return db.run("UPDATE zelflash.stations SET host = $3, pid = $4::integer WHERE lot_id = $1::bigint AND name = $2",
                  {lot.id, station, host, std::to_string(pid)}, error);
}

bool lot_station_bind(lot_db& db, const lot_ref& lot, const std::string& station,
                      const std::optional<std::string>& was, const std::string& key, std::string* error)
{
    std::vector<lot_row> rows;
    if (!db.run("UPDATE zelflash.stations SET journal = $4 WHERE lot_id = $1::bigint AND name = $2 AND journal IS "
                "NOT DISTINCT FROM $3 RETURNING 1",
                {lot.id, station, was, key}, &rows, error))
        return false;
    if (rows.empty())
        *error = "station " + station + " of lot " + lot.name + " took another journal meanwhile; start it again";
    return !rows.empty();
}

bool lot_station_leave(lot_db& db, const lot_ref& lot, const std::string& station, std::string* error)
{
    return db.run("UPDATE zelflash.stations SET live = false, last_seen = now() WHERE lot_id = $1::bigint AND "
                  "name = $2",
                  {lot.id, station}, error) &&
           db.run(unlock.c_str(), {lot.id, station}, error);
}

bool lot_station_seen(lot_db& db, const lot_ref& lot, const std::string& station, std::string* error)
{
    return db.run("UPDATE zelflash.stations SET last_seen = now() WHERE lot_id = $1::bigint AND name = $2",
                  {lot.id, station}, error);
}

bool lot_station_settle(lot_db& db, const lot_ref& lot, const std::string& station, const value_states& states,
                        std::string* error)
{
    lot_transaction t(db, "BEGIN", error);
    std::vector<lot_row> rows;
    if (!t.open() ||
        !db.run("SELECT field, value FROM zelflash.lot_values WHERE lot_id = $1::bigint AND station = $2 AND state "
                "IN ('held', 'reserved') FOR UPDATE",
                {lot.id, station}, &rows, error))
        return false;
    std::map<std::string, std::vector<field_value>> by_state;
    for (const lot_row& r : rows) {
        field_value v{r.at(0).value_or(""), r.at(1).value_or("")};
        by_state[journal_state(states, v)].push_back(v);
    }
    for (const auto& [state, values] : by_state)
        if (!move_values(db, lot, station, state.c_str(), values, std::nullopt, error))
            return false;
    return t.commit(error);
}

namespace {

// Free values of the field back into a hand, up to `n`.
bool lease_free(lot_db& db, const lot_ref& lot, const std::string& station, const std::string& field, size_t n,
                std::vector<std::string>* got, std::string* error)
{
    std::vector<lot_row> rows;
    if (!db.run("UPDATE zelflash.lot_values SET state = 'held', station = $2, ticket = NULL, changed_at = now()"
                " WHERE lot_id = $1::bigint AND field = $3 AND value IN (SELECT value FROM zelflash.lot_values WHERE"
                " lot_id = $1::bigint AND field = $3 AND state = 'free' ORDER BY length(value), value LIMIT"
                " $4::integer FOR UPDATE SKIP LOCKED) RETURNING value",
                {lot.id, station, field, std::to_string(n)}, &rows, error))
        return false;
    for (const lot_row& r : rows)
        got->push_back(r.at(0).value_or(""));
    return true;
}

bool insert_held(lot_db& db, const lot_ref& lot, const std::string& station, const std::string& field,
                 const std::vector<std::string>& values, std::string* error)
{
    return values.empty() ||
           db.run("INSERT INTO zelflash.lot_values (lot_id, field, value, state, station) SELECT $1::bigint, $3, v,"
                  " 'held', $2 FROM unnest($4::text[]) AS v",
                  {lot.id, station, field, lot_text_array(values)}, error);
}

// A counter's next values, up to `n`, from its row (locked till the end
// of the transaction: one station at a time takes from a field's supply).
bool lease_counter(lot_db& db, const lot_ref& lot, const std::string& station, const field_spec& f, size_t n,
                   std::vector<std::string>* got, std::string* error)
{
    std::vector<lot_row> rows;
    if (!db.run("SELECT next::text, last::text FROM zelflash.counters WHERE lot_id = $1::bigint AND field = $2 FOR "
                "UPDATE",
                {lot.id, f.name}, &rows, error))
        return false;
    std::optional<uint64_t> next = rows.empty() ? std::nullopt : lot_number(rows[0][0]);
    uint64_t limit = field_counter_limit(f);
    if (!rows.empty() && rows[0][1])
        limit = std::min(limit, lot_number(rows[0][1]).value_or(0));
    std::vector<std::string> taken;
    while (next && *next <= limit && taken.size() < n) {
        taken.push_back(std::to_string(*next));
        next = *next > UINT64_MAX - f.step ? std::nullopt : std::optional<uint64_t>(*next + f.step);
    }
    if (taken.empty())
        return true;
    if (!insert_held(db, lot, station, f.name, taken, error) ||
        !db.run("UPDATE zelflash.counters SET next = $3::numeric + $4::numeric * $5::integer WHERE lot_id = "
                "$1::bigint AND field = $2",
                {lot.id, f.name, taken.front(), std::to_string(f.step), std::to_string(taken.size())}, error))
        return false;
    got->insert(got->end(), taken.begin(), taken.end());
    return true;
}

// A list's next lines, up to `n`, after its cursor (a row of counters,
// locked as a counter's is).
bool lease_list(lot_db& db, const lot_ref& lot, const std::string& station, const field_spec& f, size_t n,
                std::vector<std::string>* got, std::string* error)
{
    std::vector<lot_row> rows;
    if (!db.run("INSERT INTO zelflash.counters (lot_id, field, next) VALUES ($1::bigint, $2, 0) ON CONFLICT DO NOTHING",
                {lot.id, f.name}, error) ||
        !db.run("SELECT next::text FROM zelflash.counters WHERE lot_id = $1::bigint AND field = $2 FOR UPDATE",
                {lot.id, f.name}, &rows, error))
        return false;
    std::string cursor = rows.at(0).at(0).value_or("0");
    rows.clear();
    if (!db.run("SELECT line_no, value FROM zelflash.list_lines WHERE lot_id = $1::bigint AND field = $2 AND line_no >="
                " $3::integer ORDER BY line_no LIMIT $4::integer",
                {lot.id, f.name, cursor, std::to_string(n)}, &rows, error))
        return false;
    if (rows.empty())
        return true;
    std::vector<std::string> taken;
    for (const lot_row& r : rows)
        taken.push_back(r.at(1).value_or(""));
    if (!insert_held(db, lot, station, f.name, taken, error) ||
        !db.run("UPDATE zelflash.counters SET next = $3::integer + 1 WHERE lot_id = $1::bigint AND field = $2",
                {lot.id, f.name, rows.back().at(0).value_or("0")}, error))
        return false;
    got->insert(got->end(), taken.begin(), taken.end());
    return true;
}

}  // namespace

bool lot_station_lease(lot_db& db, const lot_ref& lot, const std::string& station,
                       const std::vector<field_spec>& fields, const std::map<std::string, size_t>& need,
                       value_lists* leased, std::string* error)
{
    lot_transaction t(db, "BEGIN", error);
    value_lists got;
    if (!t.open())
        return false;
    for (const field_spec& f : fields) {
        auto n = need.find(f.name);
        if (f.kind == FIELD_VALUE || n == need.end() || n->second == 0)
            continue;
        std::vector<std::string>& values = got[f.name];
        bool ok = lease_free(db, lot, station, f.name, n->second, &values, error) &&
                  (values.size() >= n->second ||
                   (f.kind == FIELD_COUNTER ? lease_counter : lease_list)(db, lot, station, f,
                                                                          n->second - values.size(), &values, error));
        if (!ok)
            return false;
        if (values.empty())
            got.erase(f.name);
    }
    if (!t.commit(error))
        return false;
    *leased = std::move(got);
    return true;
}

bool lot_station_apply(lot_db& db, const lot_ref& lot, const std::string& station, const lot_event& e,
                       std::string* error)
{
    if (e.kind == lot_event::RESERVED)
        return move_values(db, lot, station, "reserved", e.values, e.ticket, error);
    lot_transaction t(db, "BEGIN", error);
    std::vector<lot_row> rows;
    bool ok = t.open() && move_values(db, lot, station, lot_state_of(e.end), e.values, e.ticket, error) &&
              (e.record.empty() ||
               db.run("INSERT INTO zelflash.boards (lot_id, station, ticket, record) VALUES ($1::bigint, $2,"
                      " $3::bigint, $4::jsonb) ON CONFLICT DO NOTHING RETURNING 1",
                      {lot.id, station, std::to_string(e.ticket), e.record}, &rows, error)) &&
              (rows.empty() || db.run("UPDATE zelflash.stations SET boards = boards + 1, last_seen = now() WHERE"
                                      " lot_id = $1::bigint AND name = $2",
                                      {lot.id, station}, error));
    return ok && t.commit(error);
}

bool lot_station_boards(lot_db& db, const lot_ref& lot, const std::string& station, std::vector<uint64_t>* tickets,
                        std::string* error)
{
    std::vector<lot_row> rows;
    if (!db.run("SELECT ticket FROM zelflash.boards WHERE lot_id = $1::bigint AND station = $2", {lot.id, station},
                &rows, error))
        return false;
    for (const lot_row& r : rows)
        tickets->push_back(lot_number(r.at(0)).value_or(0));
    return true;
}

namespace {

// Whether the station may be recovered: known, and unseen long enough.
bool recoverable(lot_db& db, const lot_ref& lot, const std::string& station, uint32_t after, bool force,
                 std::string* error)
{
    std::vector<lot_row> rows;
    if (!db.run("SELECT floor(extract(epoch FROM now() - last_seen) / 60)::bigint, to_char(last_seen AT TIME ZONE "
                "'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"') FROM zelflash.stations WHERE lot_id = $1::bigint AND name = $2",
                {lot.id, station}, &rows, error))
        return false;
    if (rows.empty()) {
        *error = "lot " + lot.name + " has no station " + station + " (zelflash lot status JOB lists its stations)";
        return false;
    }
    uint64_t minutes = lot_number(rows[0][0]).value_or(0);
    if (force || minutes >= after)
        return true;
    *error = "station " + station + " of lot " + lot.name + " was last seen " + rows[0][1].value_or("?") + ", " +
             std::to_string(minutes) + " minutes ago: recover burns a station's values only once it has been unseen "
             "for " + std::to_string(after) + " minutes (--after); wait, or give --force if it will never come back";
    return false;
}

}  // namespace

bool lot_station_recover(lot_db& db, const lot_ref& lot, const std::string& station, uint32_t after, bool force,
                         uint64_t* burned, std::string* error)
{
    std::vector<lot_row> rows;
    if (!db.run(try_lock.c_str(), {lot.id, station}, &rows, error))
        return false;
    if (rows.at(0).at(0) != "t") {
        *error = "station " + station + " of lot " + lot.name + " is live: recover never touches a live station's "
                 "values; stop it (it gives back what it holds), or recover it once it is gone";
        return false;
    }
    rows.clear();
    lot_transaction t(db, "BEGIN", error);
    bool ok = recoverable(db, lot, station, after, force, error) && t.open() &&
              db.run("WITH b AS (UPDATE zelflash.lot_values SET state = 'burned', changed_at = now() WHERE lot_id = "
                     "$1::bigint AND station = $2 AND state IN ('held', 'reserved') RETURNING 1) SELECT count(*) FROM b",
                     {lot.id, station}, &rows, error) &&
              db.run("UPDATE zelflash.stations SET live = false WHERE lot_id = $1::bigint AND name = $2",
                     {lot.id, station}, error) &&
              t.commit(error);
    *burned = ok ? lot_number(rows.at(0).at(0)).value_or(0) : 0;
    std::string ignored;
    db.run(unlock.c_str(), {lot.id, station}, &ignored);
    return ok;
}
