#include "lot/lot_source.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <thread>

#include "lot/lot_conninfo.h"
#include "lot/lot_db.h"
#include "lot/lot_station.h"
#include "lot/lot_status.h"
#include "platform/file_lock.h"
#include "values/lot_journal.h"
#include "values/serials_lot.h"

namespace {

using namespace std::chrono_literals;

constexpr auto BACK_OFF_FIRST = 1s, BACK_OFF_MOST = 30s;
constexpr auto SEEN_EVERY = 30s;    // last_seen, while the station is idle
constexpr auto CLOSE_WAIT = 10s;    // for the database to take the last records as the station stops
constexpr auto LEFT_EVERY = 10s;    // the lot's values left read again, after a lease, at most this often

std::string host_name()
{
    char name[256] = {};
    return gethostname(name, sizeof name - 1) == 0 ? std::string(name) : std::string("?");
}

std::string new_key()
{
    std::random_device random;
    std::string key;
    for (int i = 0; i < 4; ++i) {
        char part[9];
        std::snprintf(part, sizeof part, "%08x", static_cast<unsigned>(random()));
        key += part;
    }
    return key;
}

std::vector<field_spec> counted_of(const std::vector<field_spec>& fields)
{
    std::vector<field_spec> counted;
    std::copy_if(fields.begin(), fields.end(), std::back_inserter(counted),
                 [](const field_spec& f) { return f.kind != FIELD_VALUE; });
    return counted;
}

class lot_source : public value_source {
public:
    explicit lot_source(const lot_source_config& c) : config_(c), journal_(c.journal) {}
    ~lot_source() override { stop_worker(); }

    bool open(const std::vector<field_spec>& fields, failed_policy policy, std::string* error) override;
    bool look(const std::vector<field_spec>& fields, failed_policy policy, std::string* error) override;
    const std::vector<std::string>& notices() const override { return notices_; }
    bool reserve(const std::string& board, std::vector<field_value>* values, uint64_t* ticket,
                 std::string* error) override;
    bool finish(uint64_t ticket, bool programmed, bool may_hold, std::string* error) override
    {
        return finish_board(ticket, programmed, may_hold, "", error);
    }
    bool finish_board(uint64_t ticket, bool programmed, bool may_hold, const std::string& record,
                      std::string* error) override;
    bool peek(std::vector<field_value>* values, std::string* error) const override;
    std::string save_if_lost() override { return journal_.save_if_lost(); }
    bool ready(std::string* why) const override;
    bool remaining(std::map<std::string, std::optional<uint64_t>>* left) const override;
    void when_ready(std::function<void()> wake) override;
    bool close(std::string* error) override;

private:
    bool reach(lot_db& db, std::string* error);
    bool check_fields(const std::vector<field_spec>& fields, std::string* error);
    bool bind_journal(const lot_registration& reg, serial_journal_binding* binding, std::string* error);
    bool queue_unseen_boards(std::string* error);
    void push(lot_event e);
    void stop_worker();

    void work();
    bool reconnect(std::string* error);
    bool step(bool* did, bool* leased, std::chrono::steady_clock::time_point* seen, std::string* error);
    bool lease_due() const;
    bool take_lease(std::string* error);
    void failed(std::chrono::seconds* back_off, std::unique_lock<std::mutex>& lock);
    std::string run_dry() const;
    void wake();
    void learn_left();

    const lot_source_config config_;
    std::vector<field_spec> fields_;  // the job's, value fields included
    lot_journal journal_;
    lot_ref lot_;
    std::unique_ptr<lot_db> db_;  // the worker's once it runs
    std::chrono::steady_clock::time_point learnt_{};  // the worker's: when it last read the values left
    std::vector<std::string> notices_;

    mutable std::mutex mutex_;  // guards everything below
    std::condition_variable changed_;
    std::deque<lot_event> queue_;  // for the database, oldest first
    bool stopping_ = false;
    bool closing_ = false;  // the station stops: what is in hand goes back, no lease comes
    bool reachable_ = true;
    std::string shown_;          // the database, as messages name it
    std::set<std::string> dry_;  // fields the lot had no more values of at the last lease
    std::string journal_error_;  // why the journal took no lease; empty while it does
    std::map<std::string, std::optional<uint64_t>> left_;  // the lot's values left per field, after the last lease
    bool left_known_ = false;
    std::function<void()> wake_;
    std::thread worker_;
};

}  // namespace

namespace {

bool lot_source::reach(lot_db& db, std::string* error)
{
    return db.connect(config_.database, error) && lot_find(db, config_.lot, &lot_, error);
}

bool lot_source::check_fields(const std::vector<field_spec>& fields, std::string* error)
{
    std::vector<value_field> read;
    if (!serial_lot_read_fields(counted_of(fields), &read, error))
        return false;
    std::string difference = lot_fields_differ(lot_.fields, lot_fields_of(read), nullptr);
    if (difference.empty())
        return true;
    *error = "the job's fields are not those of lot " + lot_.name + " in " + db_->shown() + ": " + difference +
             "; every station of a lot programs the lot's fields: use the lot's job file (after lot extend, its "
             "new last value or list)";
    return false;
}

// The journal the lot knows for this station: the one at the path, or a
// new one when the path has none and the station holds nothing.
bool lot_source::bind_journal(const lot_registration& reg, serial_journal_binding* binding, std::string* error)
{
    *binding = serial_journal_binding{lot_.name, lot_.created, config_.station, "", reg.top_ticket + 1};
    serial_journal_binding found;
    bool missing = false;
    std::string unread;
    if (lot_journal_binding_of(config_.journal, &found, &missing, &unread)) {
        binding->key = reg.journal.value_or(found.key);
        binding->first_ticket = found.first_ticket;
        bool adopt = !reg.journal && !reg.holds && found.first_ticket > reg.top_ticket && found.same(*binding);
        if (adopt)  // made by a start that stopped before the lot recorded it
            return lot_station_bind(*db_, lot_, config_.station, std::nullopt, found.key, error);
        if (found.same(*binding))
            return true;
        *error = lot_journal_mismatch(config_.journal, found, *binding);
        return false;
    }
    if (!missing) {
        *error = unread;
        return false;
    }
    if (reg.holds) {
        *error = "station " + config_.station + " holds values of lot " + lot_.name + ", but its journal " +
                 config_.journal + " is not there: put it back; if it is lost for good, run zelflash lot recover "
                 "JOB --station " + config_.station + " (which burns them), then start the station again";
        return false;
    }
    binding->key = new_key();
    if (!lot_journal_create(config_.journal, counted_of(fields_), *binding, error) ||
        !lot_station_bind(*db_, lot_, config_.station, reg.journal, binding->key, error))
        return false;
    notices_.push_back(config_.journal + ": the journal of station " + config_.station + " of lot " + lot_.name +
                       ", made");
    return true;
}

bool lot_source::queue_unseen_boards(std::string* error)
{
    std::vector<uint64_t> seen;
    if (!lot_station_boards(*db_, lot_, config_.station, &seen, error))
        return false;
    std::set<uint64_t> known(seen.begin(), seen.end());
    for (const serial_board_record& b : journal_.boards())
        if (!known.count(b.ticket))
            queue_.push_back(lot_event{lot_event::ENDED, b.ticket, {}, END_USED, b.record});
    if (!queue_.empty())
        notices_.push_back("lot " + lot_.name + ": " + std::to_string(queue_.size()) +
                           " boards' records the lot has not seen yet go to it now");
    return true;
}

std::string given_back_notice(const std::string& lot, const value_lists& given)
{
    size_t n = 0;
    for (const auto& [field, values] : given)
        n += values.size();
    return "lot " + lot + ": " + std::to_string(n) +
           " values the last run held and put on no board went back to the lot";
}

bool lot_source::open(const std::vector<field_spec>& fields, failed_policy policy, std::string* error)
{
    fields_ = fields;
    db_ = std::make_unique<lot_db>();
    shown_ = lot_redact(config_.database);
    lot_registration reg;
    serial_journal_binding binding;
    if (!reach(*db_, error) || !check_fields(fields, error) ||
        !lot_station_register(*db_, lot_, config_.station, config_.lease, &reg, error) ||
        !lot_station_host(*db_, lot_, config_.station, host_name(), file_lock_process_id(), error) ||
        !bind_journal(reg, &binding, error) || !journal_.open(fields, binding, policy, error) ||
        !lot_station_settle(*db_, lot_, config_.station, journal_.states(), error) || !queue_unseen_boards(error)) {
        db_.reset();  // the station's lock goes with the connection
        return false;
    }
    for (const std::string& n : journal_.notices())
        notices_.push_back(n);
    if (!journal_.given_back().empty())
        notices_.push_back(given_back_notice(lot_.name, journal_.given_back()));
    worker_ = std::thread(&lot_source::work, this);
    return true;
}

bool lot_source::look(const std::vector<field_spec>& fields, failed_policy, std::string* error)
{
    db_ = std::make_unique<lot_db>();
    bool ok = reach(*db_, error) && check_fields(fields, error);
    db_.reset();
    return ok;
}

bool lot_source::peek(std::vector<field_value>*, std::string* error) const
{
    *error = "the values come from lot " + config_.lot + " a lease at a time: zelflash lot status JOB shows the next";
    return false;
}

std::string run_out(const std::string& lot, const std::string& field)
{
    return "lot " + lot + " has no more values of field '" + field +
           "' (none free, none left in its supply): raise its last with zelflash lot extend JOB (for a list: add "
           "lines at the end of its file, then lot extend), then start the station again";
}

bool lot_source::reserve(const std::string& board, std::vector<field_value>* values, uint64_t* ticket,
                         std::string* error)
{
    {
        std::lock_guard<std::mutex> hold(mutex_);
        if (!journal_error_.empty()) {
            *error = journal_error_;
            return false;
        }
        std::string dry = run_dry();
        if (!dry.empty()) {
            *error = run_out(lot_.name, dry);
            return false;
        }
    }
    if (!journal_.reserve(board, values, ticket, error))
        return false;
    push(lot_event{lot_event::RESERVED, *ticket, journal_.values_of(*ticket), END_USED, ""});
    return true;
}

bool lot_source::finish_board(uint64_t ticket, bool programmed, bool may_hold, const std::string& record,
                              std::string* error)
{
    value_end end = END_USED;
    std::vector<field_value> values = journal_.values_of(ticket);
    if (!journal_.finish(ticket, programmed, may_hold, record, &end, error))
        return false;
    push(lot_event{lot_event::ENDED, ticket, std::move(values), end, record});
    return true;
}

void lot_source::push(lot_event e)
{
    std::lock_guard<std::mutex> hold(mutex_);
    queue_.push_back(std::move(e));
    changed_.notify_one();
}

bool lot_source::ready(std::string* why) const
{
    std::lock_guard<std::mutex> hold(mutex_);
    if (!journal_error_.empty() || !run_dry().empty() || journal_.boards_in_hand() > 0)
        return true;
    if (!reachable_)
        *why = "lot database unreachable at " + shown_ + ": no values left in hand";
    return false;
}

void lot_source::when_ready(std::function<void()> wake)
{
    std::lock_guard<std::mutex> hold(mutex_);
    wake_ = std::move(wake);
}

}  // namespace

namespace {

// A field the lot has run out of, whose hand is empty too; empty when none.
std::string lot_source::run_dry() const
{
    std::map<std::string, size_t> counts = journal_.counts();
    for (const std::string& f : dry_)
        if (counts[f] == 0)
            return f;
    return "";
}

bool lot_source::lease_due() const
{
    for (const auto& [field, n] : journal_.counts())
        if (!dry_.count(field) && n <= config_.lease / 2)
            return true;
    return false;
}

// Tops every field's hand up to a lease; a field the lot gave none of is dry.
bool lot_source::take_lease(std::string* error)
{
    std::map<std::string, size_t> need;
    for (const auto& [field, n] : journal_.counts())
        if (!dry_.count(field) && n < config_.lease)
            need[field] = config_.lease - n;
    value_lists got;
    std::string refused;
    if (!lot_station_lease(*db_, lot_, config_.station, counted_of(fields_), need, &got, error))
        return false;
    // Recorded under the lock, so that close() gives back either all of it
    // or none of it was recorded (then the lot frees it as the station leaves).
    std::lock_guard<std::mutex> hold(mutex_);
    bool recorded = got.empty() || closing_ || journal_.add_lease(got, &refused);
    if (!recorded)  // held by the station in the lot, in no hand: free again at the next start
        journal_error_ = refused;
    for (const auto& [field, n] : need)
        if (!got.count(field))
            dry_.insert(field);
    return true;
}

// The lot's values left per field (free and still in the supply), as the
// page shows them; read after a lease (the lot counts all its values, so
// not after every one), on the thread's connection.
void lot_source::learn_left()
{
    learnt_ = std::chrono::steady_clock::now();
    lot_status status;
    std::string error;
    if (!lot_status_read(*db_, lot_.name, &status, &error))
        return;
    std::map<std::string, std::optional<uint64_t>> left;
    for (const lot_field_status& f : status.fields)
        left[f.def.name] = f.remaining ? std::optional<uint64_t>(*f.remaining + f.free) : std::nullopt;
    std::lock_guard<std::mutex> hold(mutex_);
    left_ = std::move(left);
    left_known_ = true;
}

bool lot_source::remaining(std::map<std::string, std::optional<uint64_t>>* left) const
{
    std::lock_guard<std::mutex> hold(mutex_);
    *left = left_;
    return left_known_;
}

bool lot_source::reconnect(std::string* error)
{
    auto db = std::make_unique<lot_db>();
    lot_registration reg;
    if (!db->connect(config_.database, error) ||
        !lot_station_register(*db, lot_, config_.station, config_.lease, &reg, error) ||
        !lot_station_host(*db, lot_, config_.station, host_name(), file_lock_process_id(), error))
        return false;
    std::lock_guard<std::mutex> hold(mutex_);
    db_ = std::move(db);
    return true;
}

void lot_source::wake()
{
    if (wake_)
        wake_();
}

// After a failure: unreachable until a statement goes through again; the
// connection is made anew when it broke; the next try after the back-off.
void lot_source::failed(std::chrono::seconds* back_off, std::unique_lock<std::mutex>& lock)
{
    bool was = reachable_;
    reachable_ = false;
    if (db_ && !db_->connected())
        db_.reset();
    if (was)
        wake();
    *back_off = std::clamp(*back_off * 2, std::chrono::seconds(BACK_OFF_FIRST), std::chrono::seconds(BACK_OFF_MOST));
    changed_.wait_for(lock, *back_off, [&] { return stopping_; });
}

// One piece of the thread's work, the most pressing first: a connection,
// a lease, the oldest record for the database, a sign of life. false with
// *error when the database failed it; *did false when there was none.
bool lot_source::step(bool* did, bool* leased, std::chrono::steady_clock::time_point* seen, std::string* error)
{
    *did = true;
    if (!db_)
        return reconnect(error);
    bool closing = false;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        closing = closing_;
    }
    if (!closing && journal_error_.empty() && lease_due()) {
        *leased = take_lease(error);
        if (*leased && std::chrono::steady_clock::now() - learnt_ >= LEFT_EVERY)
            learn_left();
        return *leased;
    }
    std::optional<lot_event> e;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        if (!queue_.empty())
            e = queue_.front();
    }
    if (e) {
        if (!lot_station_apply(*db_, lot_, config_.station, *e, error))
            return false;
        std::lock_guard<std::mutex> hold(mutex_);
        queue_.pop_front();
        changed_.notify_all();  // close() may wait for the queue to empty
        return true;
    }
    if (std::chrono::steady_clock::now() - *seen < SEEN_EVERY) {
        *did = false;
        return true;
    }
    *seen = std::chrono::steady_clock::now();
    return lot_station_seen(*db_, lot_, config_.station, error);
}

void lot_source::work()
{
    std::chrono::seconds back_off{0};
    auto seen = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        std::string error;
        bool did = false, leased = false;
        lock.unlock();
        bool ok = step(&did, &leased, &seen, &error);
        lock.lock();
        if (!ok) {
            failed(&back_off, lock);
            continue;
        }
        bool back = did && !reachable_;
        if (did) {
            reachable_ = true;
            back_off = std::chrono::seconds(0);
        }
        if (back || leased)
            wake();
        if (!did)
            changed_.wait_for(lock, SEEN_EVERY);
    }
}

void lot_source::stop_worker()
{
    {
        std::lock_guard<std::mutex> hold(mutex_);
        stopping_ = true;
        changed_.notify_all();
    }
    if (worker_.joinable())
        worker_.join();
}

bool lot_source::close(std::string* error)
{
    {
        std::lock_guard<std::mutex> hold(mutex_);
        closing_ = true;  // no lease from here on
    }
    value_lists given;
    bool ok = journal_.give_back(&given, error);
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.notify_all();
        changed_.wait_for(lock, CLOSE_WAIT, [&] { return queue_.empty() || !reachable_; });
    }
    stop_worker();
    size_t left = queue_.size();
    if (ok && left > 0) {
        *error = "lot " + lot_.name + ": the database at " + shown_ + " has not taken " + std::to_string(left) +
                 " of this station's records yet; they go to it at the station's next start";
        ok = false;
    }
    if (ok && db_ && !(lot_station_settle(*db_, lot_, config_.station, journal_.states(), error) &&
                       lot_station_leave(*db_, lot_, config_.station, error)))
        ok = false;
    db_.reset();
    return ok;
}

}  // namespace

std::string lot_station_name(const std::string& given)
{
    return given.empty() ? host_name() : given;
}

std::unique_ptr<value_source> lot_source_make(const lot_source_config& config)
{
    return std::make_unique<lot_source>(config);
}
