#include "values/serials.h"

#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "platform/file_lock.h"
#include "values/serials_lot.h"

namespace {

constexpr uint64_t MAX_FILE_SIZE = uint64_t{1} << 30;  // some million boards' records

// What a state file that failed a write means for the run, and what to do.
const std::string stopped_for_good = "no value is handed out from this run on: free space on its disk (or make "
                                     "the file writable again), then start zelflash again";

// The pid of the last run that opened the file, for the message that it is
// in use; 0 when it cannot be told.
uint64_t holder_pid(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::string line;
    uint64_t pid = 0;
    while (std::getline(in, line)) {
        if (line.find("\"open\"") == std::string::npos)
            continue;
        nlohmann::json r = nlohmann::json::parse(line, nullptr, false);
        if (r.is_object() && r.value("rec", nlohmann::json()) == "open" &&
            r.value("pid", nlohmann::json()).is_number_unsigned())
            pid = r["pid"].get<uint64_t>();
    }
    return pid;
}

std::string missing(const std::string& path)
{
    return path + ": there is no state file here. A lot's state file is made once, on purpose: with zelflash "
                  "job init JOB for a job (--state FILE --new-state without one). If the lot has one elsewhere, "
                  "give its path; never start a lot's values anew";
}

bool open_locked(file_lock* file, const std::string& path, std::string* error)
{
    std::string why;
    switch (file->open(path, &why)) {
    case FILE_LOCK_TAKEN: return true;
    case FILE_LOCK_BUSY: {
        uint64_t pid = holder_pid(path);
        *error = path + " is in use by another zelflash" + (pid ? " (pid " + std::to_string(pid) + ")" : "") +
                 "; one station, one state file";
        return false;
    }
    case FILE_LOCK_MISSING: *error = missing(path); return false;
    default: *error = path + ": cannot open the state file: " + why; return false;
    }
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

serial_state::serial_state(std::string path, std::string log) : path_(std::move(path)), log_(std::move(log)) {}
serial_state::~serial_state() = default;

bool serial_state::settle(std::string_view text, failed_policy policy, opened_file* out, std::string* error) const
{
    if (!serial_journal_read(text, path_, &out->journal, error) ||
        !serial_lot_agrees(out->fields, out->journal.lot, path_, &out->changed, &out->notes, error))
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
    file_.reset();
    policy_ = policy;
    pool_ = std::move(opened.pool);
    notices_ = std::move(opened.notes);
    return true;
}

bool serial_state::open(const std::vector<field_spec>& fields, failed_policy policy, std::string* error)
{
    std::lock_guard<std::mutex> hold(mutex_);
    auto file = std::make_unique<file_lock>();
    std::string text, why;
    opened_file opened;
    if (!serial_lot_read_fields(fields, &opened.fields, error) || !open_locked(file.get(), path_, error))
        return false;
    if (!file->read_all(MAX_FILE_SIZE, &text, &why)) {
        *error = path_ + ": cannot read the state file: " + why;
        return false;
    }
    if (!settle(text, policy, &opened, error))
        return false;
    file_ = std::move(file);
    policy_ = policy;
    pool_ = std::move(opened.pool);
    next_ticket_ = opened.journal.next_ticket;
    broken_.clear();
    notices_ = std::move(opened.notes);
    // A file an older zelflash stopped making before its header was whole
    // may not be in its folder on the disk yet.
    bool fresh = !opened.journal.header_rest.empty();
    bool ok = recover(opened, error);
    if (ok && fresh && !file_lock_sync_directory(path_, &why)) {
        *error = path_ + ": cannot sync its folder: " + why;
        ok = false;
    }
    if (!ok)
        file_.reset();
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
        if (!record(line, error))
            return false;
    return true;
}

// Appends one record and syncs it; a record that could not be made stops
// the handing out for good.
bool serial_state::record(const std::string& line, std::string* error)
{
    std::string why;
    if (file_->append(line, &why) && file_->sync(&why))
        return true;
    broken_ = why;
    *error = path_ + ": cannot write a record: " + why + "; " + stopped_for_good;
    return false;
}

bool serial_state::check_writable(std::string* error) const
{
    if (!file_) {
        *error = "the state file is not open";
        return false;
    }
    if (broken_.empty())
        return true;
    *error = path_ + ": a record could not be written (" + broken_ +
             "); " + stopped_for_good;
    return false;
}

// Before each reservation: the path must still name the file held, or the
// values it hands out would be recorded where no later run finds them.
bool serial_state::check_in_place(std::string* error)
{
    std::string why;
    if (file_->still_at(path_, &why))
        return true;
    broken_ = path_ + " is no longer the file this station holds: " + why;
    *error = broken_ + "; no value is handed out from here on. What the station recorded is saved beside it "
                       "when it stops; check which file is the lot's, put it back at " + path_ +
             ", then start the station again";
    return false;
}

bool serial_state::reserve(const std::string& board, std::vector<field_value>* values, uint64_t* ticket,
                           std::string* error)
{
    std::lock_guard<std::mutex> hold(mutex_);
    std::vector<field_value> picked;
    if (!check_writable(error) || !check_in_place(error) || !pool_.next(&picked, error))
        return false;
    if (next_ticket_ == UINT64_MAX) {  // the next open would take the file for damaged
        *error = path_ + ": its tickets have reached the highest number (has the file been edited?)";
        return false;
    }
    if (!record(serial_journal_reserved(next_ticket_, picked, board), error))
        return false;
    pool_.take(next_ticket_, picked);
    next_ticket_++;
    // Looked at again once the record is on the disk: a file replaced while
    // it was written may have been copied without it. The values then go
    // to no board, and stay reserved in the file held.
    if (!check_in_place(error))
        return false;
    *ticket = next_ticket_ - 1;
    *values = std::move(picked);
    return true;
}

bool serial_state::finish(uint64_t ticket, bool programmed, bool may_hold, std::string* error)
{
    std::lock_guard<std::mutex> hold(mutex_);
    if (!check_writable(error))
        return false;
    if (!pool_.holds(ticket)) {
        *error = path_ + ": no board holds ticket " + std::to_string(ticket);
        return false;
    }
    value_end end = value_end_of(policy_, programmed, may_hold);
    if (!record(serial_journal_ended(ticket, end), error))
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
    std::string why, text;
    if (!file_ || file_->still_at(path_, &why))
        return "";
    std::string saved = path_ + ".saved-" + std::to_string(file_lock_process_id());
    std::string error;
    if (!file_->read_all(MAX_FILE_SIZE, &text, &error) || file_lock_make(saved, text, &error) != FILE_LOCK_MADE)
        return path_ + " is no longer the file this station held (" + why +
               "), and what it recorded could not be saved (" + (error.empty() ? "a file is in the way" : error) +
               "); its last records are in the board log";
    return path_ + " is no longer the file this station held (" + why + "); what it recorded is saved as " +
           saved + ": check which file is the lot's and put it back at " + path_ + " before the next start";
}
