#include "lot/lot_make.h"

#include <algorithm>

#include "base/texts.h"
#include "lot/lot_schema.h"

namespace {

// The lot's id and fields, its row locked; found false when there is none.
bool find_lot(lot_db& db, const std::string& name, std::string* id, std::vector<lot_field>* fields, bool* found,
              std::string* error)
{
    std::vector<lot_row> rows;
    if (!db.run("SELECT id, fields::text FROM zelflash.lots WHERE name = $1 FOR UPDATE", {name}, &rows, error))
        return false;
    *found = !rows.empty();
    if (!*found)
        return true;
    *id = rows[0][0].value_or("");
    return lot_fields_read(rows[0][1].value_or(""), fields, error);
}

// The values of a list from `first` on, numbered on from first + 1.
bool add_lines(lot_db& db, const std::string& id, const lot_field& f, size_t first, std::string* error)
{
    std::vector<std::string> values(f.lines.begin() + static_cast<std::ptrdiff_t>(first), f.lines.end());
    return db.run("INSERT INTO zelflash.list_lines (lot_id, field, line_no, value) SELECT $1::bigint, $2, "
                  "$3::integer + n, v FROM unnest($4::text[]) WITH ORDINALITY AS t(v, n)",
                  {id, f.name, std::to_string(first), lot_text_array(values)}, error);
}

bool add_field(lot_db& db, const std::string& id, const lot_field& f, std::string* error)
{
    if (f.kind == FIELD_LIST)
        return add_lines(db, id, f, 0, error);
    lot_param last = f.last ? lot_param(std::to_string(*f.last)) : std::nullopt;
    return db.run("INSERT INTO zelflash.counters (lot_id, field, next, last) VALUES ($1::bigint, $2, $3::numeric, "
                  "$4::numeric)",
                  {id, f.name, std::to_string(f.start), last}, error);
}

bool insert_lot(lot_db& db, const std::string& name, const std::vector<lot_field>& fields, std::string* error)
{
    std::vector<lot_row> rows;
    if (!db.run("INSERT INTO zelflash.lots (name, fields) VALUES ($1, $2::jsonb) RETURNING id",
                {name, lot_fields_record(fields)}, &rows, error))
        return false;
    for (const lot_field& f : fields)
        if (!add_field(db, rows.at(0).at(0).value_or(""), f, error))
            return false;
    return true;
}

std::string refusal(const lot_db& db, const std::string& name, const std::string& difference)
{
    return "lot " + name + " in " + db.shown() + " is not the job's: " + difference +
           "; a lot keeps the fields it was made with (lot extend may only raise a counter's last or add values "
           "at a list's end): give the job a lot name of its own";
}

// A list's values as the lot holds them, in order.
bool read_lines(lot_db& db, const std::string& id, lot_field* f, std::string* error)
{
    std::vector<lot_row> rows;
    if (!db.run("SELECT value FROM zelflash.list_lines WHERE lot_id = $1::bigint AND field = $2 ORDER BY line_no",
                {id, f->name}, &rows, error))
        return false;
    for (const lot_row& r : rows)
        f->lines.push_back(r.at(0).value_or(""));
    return true;
}

bool lock(lot_db& db, std::string* error)
{
    return db.run("SELECT pg_advisory_xact_lock($1::bigint)", {lot_schema_lock_key()}, error);
}

}  // namespace

// The lot named `name` read under the lot lock, in the transaction `t`
// just begun: its id and fields, when *found.
static bool open_lot(lot_db& db, lot_transaction& t, const std::string& name, std::string* id,
                     std::vector<lot_field>* recorded, bool* found, std::string* error)
{
    return t.open() && lock(db, error) && find_lot(db, name, id, recorded, found, error);
}

bool lot_create(lot_db& db, const std::string& name, const std::vector<lot_field>& fields, lot_made* made,
                std::string* error)
{
    lot_transaction t(db, "BEGIN", error);
    std::string id;
    std::vector<lot_field> recorded;
    bool found = false;
    if (!open_lot(db, t, name, &id, &recorded, &found, error))
        return false;
    *made = found ? LOT_EXISTS : LOT_MADE;
    std::string difference = found ? lot_fields_differ(recorded, fields, nullptr) : "";
    if (!difference.empty()) {
        *error = refusal(db, name, difference);
        return false;
    }
    return (found || insert_lot(db, name, fields, error)) && t.commit(error);
}

namespace {

bool grow(lot_db& db, const std::string& id, const lot_growth& g, const std::vector<lot_field>& fields,
          std::vector<std::string>* notes, std::string* error)
{
    const lot_field& f = *std::find_if(fields.begin(), fields.end(), [&](const lot_field& x) { return x.name == g.field; });
    if (g.raises_last) {
        lot_param last = g.last ? lot_param(std::to_string(*g.last)) : std::nullopt;
        notes->push_back("field " + f.name + ": last raised to " + (g.last ? *last : std::string("no end")));
        return db.run("UPDATE zelflash.counters SET last = $3::numeric WHERE lot_id = $1::bigint AND field = $2",
                      {id, f.name, last}, error);
    }
    notes->push_back("field " + f.name + ": " + counted(f.lines.size() - g.first_new, "value", "values") +
                     " added at the list's end (" + std::to_string(f.lines.size()) + " now), SHA-256 " +
                     f.list_sha256);
    return add_lines(db, id, f, g.first_new, error);
}

}  // namespace

bool lot_extend(lot_db& db, const std::string& name, const std::vector<lot_field>& fields,
                std::vector<std::string>* notes, std::string* error)
{
    lot_transaction t(db, "BEGIN", error);
    std::string id;
    std::vector<lot_field> recorded;
    bool found = false;
    if (!open_lot(db, t, name, &id, &recorded, &found, error))
        return false;
    if (!found) {
        *error = "lot " + name + " is not in " + db.shown() + ": make it with zelflash lot create JOB";
        return false;
    }
    for (lot_field& f : recorded)
        if (f.kind == FIELD_LIST && !read_lines(db, id, &f, error))
            return false;
    std::vector<lot_growth> growth;
    std::string difference = lot_fields_differ(recorded, fields, &growth);
    if (!difference.empty()) {
        *error = refusal(db, name, difference);
        return false;
    }
    for (const lot_growth& g : growth)
        if (!grow(db, id, g, fields, notes, error))
            return false;
    return db.run("UPDATE zelflash.lots SET fields = $2::jsonb WHERE id = $1::bigint", {id, lot_fields_record(fields)},
                  error) &&
           t.commit(error);
}
