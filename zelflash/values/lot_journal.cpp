#include "values/lot_journal.h"

#include <filesystem>
#include <fstream>

#include "platform/file_lock.h"
#include "values/serials_lot.h"

namespace {

std::string missing(const std::string& path)
{
    return path + ": this station's journal of the lot is not here";
}

std::string own_state_file(const std::string& path)
{
    return path + " is a station's own state file, not the journal of a lot's station: give this job ([lot]) a "
                  "state file of its own ([station] state)";
}

}  // namespace

std::string lot_journal_mismatch(const std::string& path, const serial_journal_binding& has,
                          const serial_journal_binding& wanted)
{
    if (has.lot != wanted.lot || has.created != wanted.created)
        return path + " is the journal of a station of lot " + has.lot + " made " + has.created + ", not of lot " +
               wanted.lot + " made " + wanted.created + ": give this job a state file of its own ([station] state)";
    if (has.station != wanted.station)
        return path + " is the journal of station " + has.station + ", not of " + wanted.station +
               ": each station of a lot keeps a journal of its own; give this one its own [station] state";
    return path + " is not the journal the lot database knows for station " + wanted.station +
           " (a copy, or one made anew): put back the journal this station used, or, if it is lost, run zelflash "
           "lot recover JOB --station " + wanted.station + ", then start the station again";
}

namespace {

std::vector<std::string> given_names(const std::vector<field_spec>& fields)
{
    std::vector<std::string> names;
    for (const field_spec& f : fields)
        if (f.kind == FIELD_VALUE)
            names.push_back(f.name);
    return names;
}

// What the last run left in hand, and the values of failed boards it kept
// for the next ones: all of it goes back to the lot.
value_lists left_in_hand(const serial_journal& journal)
{
    value_lists left;
    for (const auto& [field, values] : journal.hand)
        if (!values.empty())
            left[field] = values;
    for (const serial_lot_field& f : journal.lot)  // value fields are given each run, not the lot's
        if (auto seen = journal.values.find(f.def.name); seen != journal.values.end())
            for (const auto& [text, state] : seen->second)
                if (state == VALUE_FAILED_REUSE)
                    left[f.def.name].push_back(text);
    return left;
}

}  // namespace

bool lot_journal_create(const std::string& path, const std::vector<field_spec>& fields,
                        const serial_journal_binding& binding, std::string* error)
{
    std::vector<value_field> built;
    if (!serial_lot_read_fields(fields, &built, error))
        return false;
    std::string why;
    switch (file_lock_make(path, serial_journal_header(serial_lot_of(built), &binding), &why)) {
    case FILE_LOCK_MADE: return true;
    case FILE_LOCK_EXISTS: *error = path + " already exists; a station's journal is made once"; return false;
    default: *error = path + ": cannot make the station's journal: " + why; return false;
    }
}

// Only the header line is read: the binding is all it needs, and open()
// reads the whole journal next.
bool lot_journal_binding_of(const std::string& path, serial_journal_binding* out, bool* missing_file,
                            std::string* error)
{
    std::error_code ec;
    *missing_file = !std::filesystem::exists(path, ec) && !ec;
    if (*missing_file) {
        *error = missing(path);
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    std::string header;
    if (!in) {
        *error = path + ": cannot read the state file";
        return false;
    }
    std::getline(in, header);
    serial_journal journal;
    if (!serial_journal_read(header + (in.eof() ? "" : "\n"), path, &journal, error))
        return false;
    if (!journal.binding) {
        *error = own_state_file(path);
        return false;
    }
    *out = *journal.binding;
    return true;
}

lot_journal::lot_journal(std::string path) : file_(std::move(path)) {}

uint64_t lot_journal::next_ticket() const
{
    std::lock_guard<std::mutex> hold(mutex_);
    return next_ticket_;
}

bool lot_journal::settle(const std::string& text, const std::vector<field_spec>& fields,
                         const serial_journal_binding& binding, serial_journal* journal, bool* grown,
                         std::string* error)
{
    const std::string& path = file_.path();
    std::vector<value_field> built;
    if (!serial_lot_read_fields(fields, &built, error) || !serial_journal_read(text, path, journal, error))
        return false;
    if (!journal->binding) {
        *error = own_state_file(path);
        return false;
    }
    if (!journal->binding->same(binding)) {
        *error = lot_journal_mismatch(path, *journal->binding, binding);
        return false;
    }
    if (!serial_lot_agrees(built, journal->lot, path, grown, &notices_, error))
        return false;
    if (*grown)
        journal->lot = serial_lot_of(built);  // recorded anew
    return true;
}

value_states lot_journal::states() const
{
    std::lock_guard<std::mutex> hold(mutex_);
    return states_;
}

bool lot_journal::open(const std::vector<field_spec>& fields, const serial_journal_binding& binding,
                       failed_policy policy, std::string* error)
{
    std::lock_guard<std::mutex> hold(mutex_);
    std::string text;
    serial_journal journal;
    bool grown = false;
    notices_.clear();
    policy_ = policy;
    if (!file_.open(missing(file_.path()), &text, error))
        return false;
    if (!settle(text, fields, binding, &journal, &grown, error) || !recover(journal, fields, grown, error)) {
        file_.close();
        return false;
    }
    hand_ = value_hand(fields);
    next_ticket_ = journal.next_ticket;
    boards_ = std::move(journal.boards);
    return true;
}

// Lines cut short set aside, reservations left burned, the fields recorded
// anew when they grew, this run's "open"; then the hand given back.
bool lot_journal::recover(const serial_journal& journal, const std::vector<field_spec>& fields, bool grown,
                          std::string* error)
{
    for (const std::string& line : serial_journal_recovery(journal, grown ? &journal.lot : nullptr,
                                                           given_names(fields), policy_,
                                                           file_lock_process_id(), file_.path(), &notices_))
        if (!file_.record(line, error))
            return false;
    states_ = journal.values;
    for (const serial_reservation& r : journal.unfinished)
        for (const field_value& v : r.values)
            states_[v.name][v.text] = VALUE_BURNED;
    given_back_ = left_in_hand(journal);
    if (!given_back_.empty() && !file_.record(serial_journal_hand("returned", given_back_), error))
        return false;
    for (const auto& [field, values] : given_back_)
        for (const std::string& text : values)
            states_[field].erase(text);  // failed boards' values kept for reuse: the lot's again
    return true;
}

bool lot_journal::add_lease(const value_lists& leased, std::string* error)
{
    std::lock_guard<std::mutex> hold(mutex_);
    if (!file_.writable(error) || !file_.in_place(error) ||
        !file_.record(serial_journal_hand("lease", leased), error))
        return false;
    hand_.add(leased);
    return true;
}

size_t lot_journal::boards_in_hand() const
{
    std::lock_guard<std::mutex> hold(mutex_);
    return hand_.boards();
}

std::map<std::string, size_t> lot_journal::counts() const
{
    std::lock_guard<std::mutex> hold(mutex_);
    return hand_.counts();
}

bool lot_journal::reserve(const std::string& board, std::vector<field_value>* values, uint64_t* ticket,
                          std::string* error)
{
    std::lock_guard<std::mutex> hold(mutex_);
    std::vector<field_value> picked;
    if (!file_.writable(error) || !file_.in_place(error))
        return false;
    if (!hand_.next(&picked)) {
        *error = "no values of the lot in hand";
        return false;
    }
    if (!file_.record(serial_journal_reserved(next_ticket_, picked, board), error))
        return false;
    hand_.take(next_ticket_, picked);
    for (const field_value& v : hand_.values_of(next_ticket_))
        states_[v.name][v.text] = VALUE_RESERVED;
    next_ticket_++;
    if (!file_.in_place(error))  // see serial_state::reserve: the values then go to no board
        return false;
    *ticket = next_ticket_ - 1;
    *values = std::move(picked);
    return true;
}

std::vector<field_value> lot_journal::values_of(uint64_t ticket) const
{
    std::lock_guard<std::mutex> hold(mutex_);
    return hand_.holds(ticket) ? hand_.values_of(ticket) : std::vector<field_value>{};
}

bool lot_journal::finish(uint64_t ticket, bool programmed, bool may_hold, const std::string& record,
                         value_end* end, std::string* error)
{
    std::lock_guard<std::mutex> hold(mutex_);
    if (!file_.writable(error))
        return false;
    if (!hand_.holds(ticket)) {
        *error = file_.path() + ": no board holds ticket " + std::to_string(ticket);
        return false;
    }
    *end = value_end_of(policy_, programmed, may_hold);
    if (!file_.record(serial_journal_ended(ticket, *end, record), error))
        return false;
    for (const field_value& v : hand_.values_of(ticket)) {
        if (*end == END_REUSE)
            states_[v.name].erase(v.text);  // in hand again
        else
            states_[v.name][v.text] = *end == END_USED ? VALUE_USED : VALUE_FAILED;
    }
    hand_.finish(ticket, *end);
    return true;
}

bool lot_journal::give_back(value_lists* given, std::string* error)
{
    std::lock_guard<std::mutex> hold(mutex_);
    value_lists all = hand_.take_all();
    if (!all.empty() && (!file_.writable(error) || !file_.record(serial_journal_hand("returned", all), error))) {
        hand_.add(all);  // still in hand: the next start gives them back
        return false;
    }
    *given = std::move(all);
    return true;
}

std::string lot_journal::save_if_lost()
{
    std::lock_guard<std::mutex> hold(mutex_);
    return file_.save_if_lost();
}
