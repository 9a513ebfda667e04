// The station's state file (e.g. station.serials beside the job): where the
// values of counter and list fields are handed out to boards, one board
// after another, across runs of zelflash. The first value_source: its
// records are a journal (serials_journal.h), its lot checks and witness in
// serials_lot.h, and which value goes out next is its value_pool's.
//
// What it guarantees, whatever happens (a crash, a power loss, kill -9 at
// any instruction):
//   - no value is ever handed to two boards;
//   - the file is bound to its lot: it is made once, on purpose
//     (serial_state_create, by `zelflash job init`), records in its header
//     the fields it hands out (name, kind, format, address, start, step,
//     last, and the SHA-256 and length of each list file), and refuses a
//     job whose fields differ. Raising a counter's last value or appending
//     lines to a list is allowed, and recorded before any value goes out;
//   - the board log is its witness: a value the job's board log shows on a
//     board and the file never handed out means the file is not the lot's
//     (replaced, restored from an older copy, made anew); it is refused;
//   - the path keeps naming the file held: a file deleted, renamed away or
//     replaced while it is held hands out nothing more;
//   - no value is handed out without a record of it: before reserve()
//     returns, the board's values are in the file as *reserved* and synced
//     to the disk (the file, and its directory when the file is new); a
//     board that ends is recorded *used* or *failed*;
//   - values found still reserved when the file is opened (the last run
//     stopped without finishing) may be on a board: they are recorded
//     *burned* and never handed out again;
//   - a failed board's values follow the policy: FAILED_BURN never hands
//     them out again, FAILED_REUSE hands them to the next boards before any
//     new value, but only when no chunk holding them can have reached the
//     board's flash; else they are burned all the same;
//   - one holder at a time: the file is locked while open, and a second
//     open (another zelflash, or this one) is refused with a message naming
//     the holder's pid;
//   - nothing wraps: a counter past its last value (or past what its width
//     holds) and a list with every line handed out make reserve() refuse.
//
// The file is text, one JSON record a line, only ever appended to (one
// write per record), never rewritten:
//   {"zelflash_serials":2,"fields":[FIELD,...]}   the header, format 2, with the lot's fields:
//        {"name":"serial","kind":"counter","format":"le32","address":69648,"start":1000,"step":1,"last":1999}
//        {"name":"mac","kind":"list","format":"bytes6","address":69664,"sha256":"9f86...","bytes":1800}
//   {"rec":"fields","fields":[FIELD,...],"time":"..."}  the fields from here on (a last raised, lines added)
//   {"rec":"open","pid":4242,"policy":"burn","time":"2026-12-08T14:51:48Z"}
//   {"rec":"reserved","ticket":7,"values":{"serial":"1017","mac":"02:00:00:00:00:11"},"board":"/dev/ttyUSB0","time":"..."}
//   {"rec":"used","ticket":7}
//   {"rec":"failed","ticket":8,"then":"burn"}    ("reuse": the values go to the next boards)
//   {"rec":"failed","ticket":8,"then":"burn","why":"sent"}  reuse asked, but the board may hold them
//   {"rec":"burned","ticket":9,"values":{...}}   reserved when the last run stopped
//   {"rec":"torn","lines":[12,13]}               lines 12..13 above were cut short; set aside
// Values are the texts of field_value (a counter's number in decimal).
// Format 1 files (no fields in the header) are bound at their first open by
// a "fields" record of the job's fields.
//
// A power loss in the middle of a write leaves the last line cut short (or a
// few: a recovery record cut short in turn). Such lines at the end are set
// aside at the next open: a "torn" record follows them, so the next record
// starts on a line of its own, and any value that can still be read in
// them counts as burned. Their write never finished, so their board never
// started; burning what they show costs a value at most. A line that cannot
// be read anywhere else (an edit by hand) is an error naming file:line: the
// file cannot be trusted and nothing is handed out.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "values/fields.h"
#include "values/journal_file.h"
#include "values/serials_journal.h"
#include "values/value_pool.h"
#include "values/value_source.h"

struct value_field;

// Makes the state file of a new lot at `path`, its header recording the
// counted fields: all or nothing, and never over a file already there.
// `log` (empty: none) is the lot's board log: when it already shows values
// of these fields on boards, another state file handed them out, and this
// one is refused. false with a one-line error saying what to do.
bool serial_state_create(const std::string& path, const std::vector<field_spec>& fields, const std::string& log,
                         std::string* error);

// The state file of one station as a value_source. Thread-safe: boards
// programmed at once get distinct values.
class serial_state : public value_source {
public:
    // The state file at `path` (made before by serial_state_create), the
    // board log `log` its witness (empty: none). Nothing is read yet.
    serial_state(std::string path, std::string log);
    ~serial_state() override;  // closes the file; reservations not finished stay reserved
    serial_state(const serial_state&) = delete;
    serial_state& operator=(const serial_state&) = delete;

    // Locks the file, checks that it is the lot's (its fields, the board
    // log as witness), recovers what the last run left and records this
    // run. Errors name the file (or list file:line, or log:line); nothing
    // is written to the file then.
    bool open(const std::vector<field_spec>& fields, failed_policy policy, std::string* error) override;
    // Reads the file without locking or writing it (beside a running
    // station too), refused as open() refuses it.
    bool look(const std::vector<field_spec>& fields, failed_policy policy, std::string* error) override;
    // Reservations burned, lines cut short set aside, fields recorded anew.
    const std::vector<std::string>& notices() const override { return notices_; }

    bool reserve(const std::string& board, std::vector<field_value>* values, uint64_t* ticket,
                 std::string* error) override;
    bool finish(uint64_t ticket, bool programmed, bool may_hold, std::string* error) override;
    bool peek(std::vector<field_value>* values, std::string* error) const override;
    // When the path no longer names the file held (deleted, renamed,
    // replaced while the station ran), saves what the held file says beside
    // the path, in a new file, and says where; else nothing. Call as the
    // station stops: the held file goes with the last close.
    std::string save_if_lost() override;

private:
    struct opened_file;
    bool settle(std::string_view text, failed_policy policy, opened_file* opened, std::string* error) const;
    bool recover(const opened_file& opened, std::string* error);

    const std::string path_, log_;
    mutable std::mutex mutex_;  // guards everything below
    journal_file file_;  // held from open(); not after look()
    failed_policy policy_ = FAILED_BURN;
    value_pool pool_;
    uint64_t next_ticket_ = 1;
    std::vector<std::string> notices_;
};
