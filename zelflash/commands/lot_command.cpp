#include "commands/lot_command.h"

#include <memory>
#include <nlohmann/json.hpp>

#include "base/texts.h"
#include "lot/lot_make.h"
#include "lot/lot_schema.h"
#include "lot/lot_station.h"
#include "lot/lot_status.h"
#include "outputs/display_factory.h"
#include "station/job_file.h"
#include "values/serials_lot.h"

namespace {

// What the lot commands take from a job: its [lot], and its counted
// fields with their lists read.
struct lot_job {
    job_lot lot;
    std::vector<lot_field> fields;
};

bool read_job(const std::string& path, bool with_fields, lot_job* out, std::string* error)
{
    station_job job;
    if (!job_file_read(path, &job, error))
        return false;
    if (!job.lot) {
        *error = path + ": no [lot]; give the lot's database and name there ([lot] database = \"...\", name = \"...\")";
        return false;
    }
    std::vector<field_spec> given;  // value fields are given each run, no part of a lot
    for (const job_field& f : job.fields)
        if (f.field.kind != FIELD_VALUE)
            given.push_back(f.field);
    std::vector<value_field> fields;
    if (with_fields && !serial_lot_read_fields(given, &fields, error))
        return false;
    out->lot = *job.lot;
    out->fields = lot_fields_of(fields);
    return true;
}

// 1 when the database failed or could not be reached, 2 for a refusal.
int refuse(display& d, const lot_db& db, const std::string& error)
{
    d.problem(error);
    return db.broken() ? 1 : 2;
}

std::string field_summary(const std::vector<lot_field>& fields)
{
    std::string text;
    for (const lot_field& f : fields) {
        std::string what = f.kind == FIELD_LIST
                               ? "list of " + counted(f.line_count, "value", "values")
                               : "counter from " + std::to_string(f.start) + " step " + std::to_string(f.step) +
                                     (f.last ? " to " + std::to_string(*f.last) : "");
        text += (text.empty() ? "" : ", ") + f.name + " (" + what + ")";
    }
    return text.empty() ? "no counted fields" : text;
}

}  // namespace

int lot_create_run(const std::string& path)
{
    std::unique_ptr<display> d = display_for(false, false, stdout, stderr);
    lot_job j;
    lot_db db;
    std::string error;
    lot_made made = LOT_MADE;
    if (!read_job(path, true, &j, &error))
        return refuse(*d, db, error);
    if (!db.connect(j.lot.database, &error) || !lot_schema_prepare(db, &error) ||
        !lot_create(db, j.lot.name, j.fields, &made, &error))
        return refuse(*d, db, error);
    std::string text = made == LOT_EXISTS ? "lot " + j.lot.name + " exists, as the job defines it\n"
                                          : "lot " + j.lot.name + " made in " + db.shown() + ": " +
                                                field_summary(j.fields) + "\n";
    return d->document(text) ? 0 : 1;
}

int lot_extend_run(const std::string& path)
{
    std::unique_ptr<display> d = display_for(false, false, stdout, stderr);
    lot_job j;
    lot_db db;
    std::string error;
    std::vector<std::string> notes;
    if (!read_job(path, true, &j, &error))
        return refuse(*d, db, error);
    if (!db.connect(j.lot.database, &error) || !lot_schema_check(db, &error) ||
        !lot_extend(db, j.lot.name, j.fields, &notes, &error))
        return refuse(*d, db, error);
    std::string text;
    for (const std::string& note : notes)
        text += "lot " + j.lot.name + ": " + note + "\n";
    if (notes.empty())
        text = "lot " + j.lot.name + " is as the job defines it; nothing to extend\n";
    return d->document(text) ? 0 : 1;
}

namespace {

std::string or_none(const std::optional<uint64_t>& n, const char* none)
{
    return n ? std::to_string(*n) : std::string(none);
}

std::string held_text(const lot_field_status& f)
{
    std::string by;
    for (const auto& [station, n] : f.held)
        by += (by.empty() ? "" : ", ") + (station.empty() ? std::string("?") : station) + " " + std::to_string(n);
    return std::to_string(f.held_total()) + (by.empty() ? "" : " (" + by + ")");
}

std::string field_text(const lot_field_status& f)
{
    return "field   " + f.def.name + ": next " + f.next.value_or("none (run out)") + "; used " +
           std::to_string(f.used) + ", failed " + std::to_string(f.failed) + ", burned " + std::to_string(f.burned) +
           ", free " + std::to_string(f.free) + ", held " + held_text(f) + ", reserved " +
           std::to_string(f.reserved) + ", remaining " + or_none(f.remaining, "(no last)") + " of " +
           or_none(f.total, "(no end)") + "\n";
}

std::string station_text(const lot_station_status& s)
{
    return "station " + s.name + ": last seen " + s.last_seen.value_or("never") + ", " +
           counted(s.boards, "board", "boards") + ", lease " + (s.lease ? std::to_string(*s.lease) : "?") +
           (s.live ? ", live" : ", not live") + "\n";
}

std::string status_text(const lot_status& s, const std::string& database)
{
    std::string text = "lot     " + s.name + " in " + database + ", made " + s.created_at + "\n";
    for (const lot_field_status& f : s.fields)
        text += field_text(f);
    for (const lot_station_status& st : s.stations)
        text += station_text(st);
    return text;
}

nlohmann::json optional_json(const std::optional<uint64_t>& n)
{
    return n ? nlohmann::json(*n) : nlohmann::json(nullptr);
}

nlohmann::json field_json(const lot_field_status& f)
{
    return {{"name", f.def.name},     {"kind", f.def.kind == FIELD_LIST ? "list" : "counter"},
            {"next", f.next ? nlohmann::json(*f.next) : nlohmann::json(nullptr)},
            {"used", f.used},         {"failed", f.failed},
            {"burned", f.burned},     {"free", f.free},
            {"held", f.held},         {"reserved", f.reserved},
            {"remaining", optional_json(f.remaining)},
            {"total", optional_json(f.total)}};
}

nlohmann::json status_json(const lot_status& s, const std::string& database)
{
    nlohmann::json fields = nlohmann::json::array(), stations = nlohmann::json::array();
    for (const lot_field_status& f : s.fields)
        fields.push_back(field_json(f));
    for (const lot_station_status& st : s.stations)
        stations.push_back({{"name", st.name},
                            {"last_seen", st.last_seen ? nlohmann::json(*st.last_seen) : nlohmann::json(nullptr)},
                            {"boards", st.boards},
                            {"lease", st.lease ? nlohmann::json(*st.lease) : nlohmann::json(nullptr)},
                            {"live", st.live}});
    return {{"version", 1}, {"lot", s.name},        {"database", database},
            {"created_at", s.created_at}, {"fields", fields}, {"stations", stations}};
}

}  // namespace

int lot_status_run(const std::string& path, bool json)
{
    std::unique_ptr<display> d = display_for(false, false, stdout, stderr);
    lot_job j;
    lot_db db;
    std::string error;
    lot_status status;
    if (!read_job(path, false, &j, &error))
        return refuse(*d, db, error);
    if (!db.connect(j.lot.database, &error) || !lot_schema_check(db, &error) ||
        !lot_status_read(db, j.lot.name, &status, &error))
        return refuse(*d, db, error);
    std::string text = json ? json_text(status_json(status, db.shown()), 2) + "\n" : status_text(status, db.shown());
    return d->document(text) ? 0 : 1;
}

int lot_recover_run(const std::string& path, const std::string& station, uint32_t after, bool force)
{
    std::unique_ptr<display> d = display_for(false, false, stdout, stderr);
    lot_job j;
    lot_db db;
    lot_ref lot;
    std::string error;
    uint64_t burned = 0;
    if (!read_job(path, false, &j, &error) || !db.connect(j.lot.database, &error) ||
        !lot_find(db, j.lot.name, &lot, &error) || !lot_station_recover(db, lot, station, after, force, &burned, &error))
        return refuse(*d, db, error);
    return d->document("lot " + lot.name + ": station " + station + "'s " + counted(burned, "value", "values") +
                       " burned; a station of that name may start again (without its journal, it makes a new one)\n")
               ? 0
               : 1;
}
