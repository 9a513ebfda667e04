#include "values/serials.h"

#include <filesystem>

#include "platform/file_lock.h"
#include "values/serials_lot.h"

namespace {

std::string missing(const std::string& path)
{
    return path + ": there is no state file here. A lot's state file is made once, on purpose: with zelflash "
                  "job init JOB for a job (--state FILE --new-state without one). If the lot has one elsewhere, "
                  "give its path; never start a lot's values anew";
}

// The fields whose values are given each run, not handed out.
std::vector<std::string> given_names(const std::vector<value_field>& fields)
{
    std::vector<std::string> names;
    for (const value_field& f : fields)
        if (f.def.kind == FIELD_VALUE)
            names.push_back(f.def.name);
    return names;
}

}  // namespace

bool serial_state_create(const std::string& path, const std::vector<field_spec>& fields, const std::string& log,
                         std::string* error)
{
    std::vector<value_field> built;
    if (!serial_lot_read_fields(fields, &built, error) ||
        !serial_lot_witnessed(built, value_pool(built, {}, FAILED_BURN), {}, log, path, true, error))
        return false;
    std::vector<serial_lot_field> lot = serial_lot_of(built);
    if (lot.empty()) {
        *error = "the job has no counter or list field, so it hands nothing out and needs no state file";
        return false;
    }
    std::string why;
    switch (file_lock_make(path, serial_journal_header(lot), &why)) {
    case FILE_LOCK_MADE: return true;
    case FILE_LOCK_EXISTS:
        *error = path + " already exists: a lot's state file is made once. To go on with the lot, run the job; "
                        "to start another lot, give the job another state file";
        return false;
    default: *error = path + ": cannot make the state file: " + why; return false;
    }
}

// What a file's text says of the job's fields, all checks made: the
// journal, the fields and the pool counted from it, and whether the fields
// must be recorded anew.
struct serial_state::opened_file {
    serial_journal journal;
    std::vector<value_field> fields;
    value_pool pool;
    bool changed = false;
    std::vector<std::string> notes;
};

serial_state::serial_state(std::string path, std::string log)
    : path_(std::move(path)), log_(std::move(log)), file_(path_)
{
}
serial_state::~serial_state() = default;

bool serial_state::settle(std::string_view text, failed_policy policy, opened_file* out, std::string* error) const
{
    if (!serial_journal_read(text, path_, &out->journal, error))
        return false;
    if (const auto& b = out->journal.binding) {
        *error = path_ + " is the journal of station " + b->station + " of lot " + b->lot +
                 ", whose values come from the lot's database: run the job that has that [lot]";
        return false;
    }
    if (!serial_lot_agrees(out->fields, out->journal.lot, path_, &out->changed, &out->notes, error))
        return false;
    out->pool = value_pool(out->fields, out->journal.values, policy);
    return serial_lot_witnessed(out->fields, out->pool, out->journal.values, log_, path_, false, error);
}

bool serial_state::look(const std::vector<field_spec>& fields, failed_policy policy, std::string* error)
{
    std::lock_guard<std::mutex> hold(mutex_);
    std::error_code ec;
    std::string text;
    opened_file opened;
    if (!serial_lot_read_fields(fields, &opened.fields, error))
        return false;
    if (!std::filesystem::exists(path_, ec)) {
        *error = ec ? path_ + ": " + ec.message() : missing(path_);
        return false;
    }
    if (!serial_read_file(path_, &text)) {
        *error = path_ + ": cannot read the state file";
        return false;
    }
    if (!settle(text, policy, &opened, error))
        return false;
    file_.close();
    policy_ = policy;
    pool_ = std::move(opened.pool);
    notices_ = std::move(opened.notes);
    return true;
}

bool serial_state::open(const std::vector<field_spec>& fields, failed_policy policy, std::string* error)
{
    std::lock_guard<std::mutex> hold(mutex_);
    std::string text;
    opened_file opened;
    if (!serial_lot_read_fields(fields, &opened.fields, error) || !file_.open(missing(path_), &text, error))
        return false;
    if (!settle(text, policy, &opened, error)) {
        file_.close();
        return false;
    }
    policy_ = policy;
    pool_ = std::move(opened.pool);
    next_ticket_ = opened.journal.next_ticket;
    notices_ = std::move(opened.notes);
    // A file an older zelflash stopped making before its header was whole
    // may not be in its folder on the disk yet.
    bool fresh = !opened.journal.header_rest.empty();
    bool ok = recover(opened, error) && (!fresh || file_.sync_directory(error));
    if (!ok)
        file_.close();
    return ok;
}

// Settles what the last run left: completes a header cut short, sets
// lines cut short aside, burns what was still reserved, and records this
// run; all synced before any value goes out.
bool serial_state::recover(const opened_file& opened, std::string* error)
{
    std::vector<serial_lot_field> lot = serial_lot_of(opened.fields);
    for (const std::string& line :
         serial_journal_recovery(opened.journal, opened.changed ? &lot : nullptr, given_names(opened.fields),
                                 policy_, file_lock_process_id(), path_, &notices_))
        if (!file_.record(line, error))
            return false;
    return true;
}

bool serial_state::reserve(const std::string& board, std::vector<field_value>* values, uint64_t* ticket,
                           std::string* error)
{
    std::lock_guard<std::mutex> hold(mutex_);
    std::vector<field_value> picked;
    if (!file_.writable(error) || !file_.in_place(error) || !pool_.next(&picked, error))
        return false;
    if (next_ticket_ == UINT64_MAX) {  // the next open would take the file for damaged
        *error = path_ + ": its tickets have reached the highest number (has the file been edited?)";
        return false;
    }
    if (!file_.record(serial_journal_reserved(next_ticket_, picked, board), error))
        return false;
    pool_.take(next_ticket_, picked);
    next_ticket_++;
    // Looked at again once the record is on the disk: a file replaced while
    // it was written may have been copied without it. The values then go
    // to no board, and stay reserved in the file held.
    if (!file_.in_place(error))
        return false;
    *ticket = next_ticket_ - 1;
    *values = std::move(picked);
    return true;
}

bool serial_state::finish(uint64_t ticket, bool programmed, bool may_hold, std::string* error)
{
    std::lock_guard<std::mutex> hold(mutex_);
    if (!file_.writable(error))
        return false;
    if (!pool_.holds(ticket)) {
        *error = path_ + ": no board holds ticket " + std::to_string(ticket);
        return false;
    }
    value_end end = value_end_of(policy_, programmed, may_hold);
    if (!file_.record(serial_journal_ended(ticket, end), error))
        return false;
    pool_.finish(ticket, end);
    return true;
}

bool serial_state::peek(std::vector<field_value>* values, std::string* error) const
{
    std::lock_guard<std::mutex> hold(mutex_);
    return pool_.next(values, error);
}

std::string serial_state::save_if_lost()
{
    std::lock_guard<std::mutex> hold(mutex_);
    return file_.save_if_lost();
}
