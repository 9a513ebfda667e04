// What a station needs of a store of per-board values (the state file
// beside the job, or a lot kept elsewhere): a lot it is bound to, values
// handed out once, every value on record before it goes to a board. Each
// store keeps its records its own way and decides with a value_pool which
// values go out next, so the rules of counters, lists and failed boards
// are the same whichever store a station uses.
//
// What every store guarantees (the state file's header says how it does):
//   - no value is ever handed to two boards, whatever stops the station;
//   - reserve() returns only once the values are on record as reserved;
//   - values found reserved at open (the last run stopped without
//     finishing) may be on a board: they are burned;
//   - a store that cannot record hands out nothing more.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "values/fields.h"
#include "values/value_pool.h"

class value_source {
public:
    virtual ~value_source() = default;  // closes the store; reservations not finished stay reserved

    // Takes the store for handing out values to the job's `fields`: checks
    // that it is the lot's, settles what the last run left and records this
    // run. false with a one-line error saying what to do; nothing is
    // recorded then.
    virtual bool open(const std::vector<field_spec>& fields, failed_policy policy, std::string* error) = 0;
    // Reads the store as it is, checked as open() checks it, without taking
    // it or recording anything (beside a running station too): then peek()
    // says what would go out next, and reserve() refuses.
    virtual bool look(const std::vector<field_spec>& fields, failed_policy policy, std::string* error) = 0;
    // What open() found and settled, for the caller to print, each naming
    // the store.
    virtual const std::vector<std::string>& notices() const = 0;

    // The values for the next board, one per field (value fields as given),
    // on record as reserved before it returns. false with a one-line error
    // when a field has run out or the record could not be made; after a
    // record that failed no more values are handed out.
    virtual bool reserve(const std::string& board, std::vector<field_value>* values, uint64_t* ticket,
                         std::string* error) = 0;
    // The board of `ticket` ended: programmed (used) or not (failed).
    // `may_hold`: a chunk holding its values may have reached its flash, so
    // a failed board's values are burned whatever the policy.
    virtual bool finish(uint64_t ticket, bool programmed, bool may_hold, std::string* error) = 0;
    // The values reserve() would hand out next, nothing reserved. false with
    // the error reserve() would give.
    virtual bool peek(std::vector<field_value>* values, std::string* error) const = 0;
    // As the station stops: when the store was lost under it (a state file
    // deleted or replaced while held), saves what it recorded and says
    // where; else empty.
    virtual std::string save_if_lost() = 0;

    // A board's end with its record (a board-log line, JSON), for a store
    // that keeps the boards too (a lot); the others keep only the end.
    virtual bool finish_board(uint64_t ticket, bool programmed, bool may_hold, const std::string& /*record*/,
                              std::string* error)
    {
        return finish(ticket, programmed, may_hold, error);
    }
    // Whether reserve() can hand out the next board's values now. A store
    // that fetches values from elsewhere (a lot's database) is not ready
    // while it has none in hand and more are on their way; `why` says so
    // when the operator should hear it (the database cannot be reached),
    // else stays empty. `wake` (set by the station, called on any thread)
    // says it may be ready again.
    virtual bool ready(std::string* /*why*/) const { return true; }
    virtual void when_ready(std::function<void()> /*wake*/) {}
    // What the lot has left per counted field (nullopt: no end), as last
    // learnt, for a store that learns it in the background (a lot's
    // database); false when it does not know it that way, and the caller
    // may read it itself.
    virtual bool remaining(std::map<std::string, std::optional<uint64_t>>* /*left*/) const { return false; }
    // The station stops after its last board: what the store still holds
    // for boards to come goes back (a lot's hand). false with a one-line
    // error when that could not be done (it is done at the next start).
    virtual bool close(std::string* /*error*/) { return true; }
};
