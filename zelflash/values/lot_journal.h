// The journal of one station of a lot kept in a database: the station's
// state file, bound to its lot and station, and the truth about what each
// board may carry. The lot leases values to the station in batches; each
// batch is recorded here ("lease"), synced, before any of its values goes
// to a board; a board's values are reserved here, synced, before anything
// is sent to it, and its end is recorded with the board's record. The
// database learns all of it afterwards, from this journal.
//
// Its records are the state file's (serials.h), in format 3:
//   {"zelflash_serials":3,"fields":[...],"lot":{"name":"L2026-1208","created":"...","station":"bench-3","key":"5f0c..."}}
//   {"rec":"lease","held":{"serial":["1017","1018"],"mac":["02:00:00:00:00:11","02:00:00:00:00:12"]},"time":"..."}
//   {"rec":"reserved","ticket":7,"values":{"serial":"1017","mac":"02:00:00:00:00:11"},"board":"/dev/ttyUSB0","time":"..."}
//   {"rec":"used","ticket":7,"record":{...the board's board-log line...}}
//   {"rec":"returned","held":{"serial":["1018"],...},"time":"..."}   given back to the lot
// What it guarantees beside the state file's guarantees:
//   - a value goes to a board only from the hand: leased, recorded, not
//     given back, not reserved before;
//   - at open, whatever the last run left in hand (and the values of
//     failed boards kept for the next ones) is given back: recorded
//     "returned" before the lot hears of it, so no value is both the
//     lot's again and in this station's hand.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "values/fields.h"
#include "values/journal_file.h"
#include "values/serials_journal.h"
#include "values/value_hand.h"
#include "values/value_pool.h"

// Makes the journal of a new station of a lot at `path`: all or nothing,
// never over a file already there. false with a one-line error.
bool lot_journal_create(const std::string& path, const std::vector<field_spec>& fields,
                        const serial_journal_binding& binding, std::string* error);
// The binding a journal's header records; false with a one-line error when
// the file is missing (*missing set), unreadable or not a lot's journal.
bool lot_journal_binding_of(const std::string& path, serial_journal_binding* out, bool* missing,
                            std::string* error);

// Why the journal at `path`, bound to `has`, is not the one `wanted`: of
// another lot, another station, or not the key the lot knows.
std::string lot_journal_mismatch(const std::string& path, const serial_journal_binding& has,
                                 const serial_journal_binding& wanted);

class lot_journal {
public:
    explicit lot_journal(std::string path);
    lot_journal(const lot_journal&) = delete;
    lot_journal& operator=(const lot_journal&) = delete;

    // Locks and reads the journal, checks it is `binding`'s and the job's
    // fields are its, settles what the last run left (lines cut short,
    // reservations burned) and gives back the hand. false with a one-line
    // error; nothing is written then.
    bool open(const std::vector<field_spec>& fields, const serial_journal_binding& binding, failed_policy policy,
              std::string* error);
    const std::vector<std::string>& notices() const { return notices_; }
    // Every value of the lot this station's boards took, in its latest
    // state (a failed board's value kept for the next board is in hand, not
    // here); as open() left them: what it gave back, the boards' records.
    value_states states() const;
    const value_lists& given_back() const { return given_back_; }
    const std::vector<serial_board_record>& boards() const { return boards_; }
    uint64_t next_ticket() const;

    // A lease from the lot, recorded and synced, then in hand.
    bool add_lease(const value_lists& leased, std::string* error);
    size_t boards_in_hand() const;
    std::map<std::string, size_t> counts() const;
    // The next board's values from the hand, recorded reserved. false with
    // an error when the hand is empty or the record failed.
    bool reserve(const std::string& board, std::vector<field_value>* values, uint64_t* ticket, std::string* error);
    // The counted values of the board of `ticket`, while it runs; else none.
    std::vector<field_value> values_of(uint64_t ticket) const;
    // A board's end with its record; *end says how its values ended.
    bool finish(uint64_t ticket, bool programmed, bool may_hold, const std::string& record, value_end* end,
                std::string* error);
    // Records everything in hand as given back; *given says what (empty:
    // nothing was in hand).
    bool give_back(value_lists* given, std::string* error);
    std::string save_if_lost();

private:
    bool settle(const std::string& text, const std::vector<field_spec>& fields,
                const serial_journal_binding& binding, serial_journal* journal, bool* grown, std::string* error);
    bool recover(const serial_journal& journal, const std::vector<field_spec>& fields, bool grown,
                 std::string* error);

    mutable std::mutex mutex_;  // guards everything below
    journal_file file_;
    failed_policy policy_ = FAILED_BURN;
    value_hand hand_;
    value_states states_;
    value_lists given_back_;
    std::vector<serial_board_record> boards_;
    uint64_t next_ticket_ = 1;
    std::vector<std::string> notices_;
};
