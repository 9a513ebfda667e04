// The station's state file (e.g. station.serials beside the job): where the
// values of counter and list fields are handed out to boards, one board
// after another, across runs of zelflash.
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
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "fields.h"

class file_lock;

enum failed_policy : int32_t { FAILED_BURN = 0, FAILED_REUSE = 1 };

// The latest state of a value in the file.
enum serial_value_state : int32_t {
    VALUE_RESERVED = 0,      // on a board being programmed, or on one when the run stopped
    VALUE_USED = 1,          // programmed
    VALUE_FAILED = 2,        // its board failed; burned
    VALUE_FAILED_REUSE = 3,  // its board failed; may go to another board
    VALUE_BURNED = 4,        // never to be handed out again
};

struct serial_reservation {
    uint64_t ticket = 0;
    uint64_t line = 0;  // where it was recorded, from 1
    std::string board;
    std::vector<field_value> values;
};

// A field as the state file records it: what the lot hands out. `def`
// holds no list path (the list is known by its digest and length) and no
// value.
struct serial_lot_field {
    field_spec def;
    std::string list_sha256;  // FIELD_LIST: of the list file's bytes
    uint64_t list_bytes = 0;  // FIELD_LIST: the list file's length
    bool operator==(const serial_lot_field&) const;
};

// What a state file's text says, read by serial_journal_read.
struct serial_journal {
    int format = 2;
    // The lot's fields, as the last "fields" record (or the header) gives
    // them; empty for a format 1 file not yet bound.
    std::vector<serial_lot_field> lot;
    // The bytes that complete a header cut short, the whole header for an
    // empty file; empty when the header is there.
    std::string header_rest;
    bool ends_mid_line = false;  // the last byte is not a line end
    // Every value the file shows, by field name then text, in its latest state.
    std::map<std::string, std::map<std::string, serial_value_state>> values;
    std::vector<serial_reservation> unfinished;  // reserved and never ended, in file order
    // Lines cut short at the end and not yet set aside (0 when none), and
    // the values read in them (counted burned in `values`).
    uint64_t torn_first = 0, torn_last = 0;
    std::vector<field_value> torn_values;
    uint64_t lines = 0;        // lines in the file, a last one without its line end included
    uint64_t next_ticket = 1;  // above every ticket in the file
    uint64_t pid = 0;          // of the last "open" record, 0 when none
};

// Reads a state file's text; `name` labels the errors ("station.serials:12:
// ..."). false with a one-line error when the file cannot be trusted: not a
// state file, a newer format, a line that cannot be read before the end, a
// record that ends a board no reservation names.
bool serial_journal_read(std::string_view text, const std::string& name, serial_journal* out, std::string* error);

// Makes the state file of a new lot at `path`, its header recording the
// counted fields: all or nothing, and never over a file already there.
// `log` (empty: none) is the lot's board log: when it already shows values
// of these fields on boards, another state file handed them out, and this
// one is refused. false with a one-line error saying what to do.
bool serial_state_create(const std::string& path, const std::vector<field_spec>& fields, const std::string& log,
                         std::string* error);

// What a state file would hand out next, read without locking or writing
// it (beside a running station too): refused as open() refuses it.
bool serial_state_peek_file(const std::string& path, const std::vector<field_spec>& fields, failed_policy policy,
                            const std::string& log, std::vector<field_value>* values, std::string* error);

// The state file of one station, open for handing out values. Thread-safe:
// boards programmed at once get distinct values.
struct serial_field;
class serial_state {
public:
    serial_state();
    ~serial_state();  // closes the file; reservations not finished stay reserved
    serial_state(const serial_state&) = delete;
    serial_state& operator=(const serial_state&) = delete;

    // Opens the state file at `path` (made before by serial_state_create)
    // for the job's fields, checks that it is the lot's (its fields, the
    // board log `log` as witness; empty: none), recovers what the last run
    // left and records this run. false with a one-line error naming the
    // file (or list file:line, or log:line) and what to do; nothing is
    // written to the file then.
    bool open(const std::string& path, const std::vector<field_spec>& fields, failed_policy policy,
              const std::string& log, std::string* error);
    // What open() found and settled, for the caller to print: reservations
    // burned, lines cut short set aside. Each names the file.
    const std::vector<std::string>& notices() const { return notices_; }

    // The values for the next board, one per field (value fields as given),
    // recorded reserved and synced before it returns. false with a one-line
    // error when a field has run out or the record could not be made; after
    // a failed write no more values are handed out.
    bool reserve(const std::string& board, std::vector<field_value>* values, uint64_t* ticket, std::string* error);
    // The board of `ticket` ended: programmed (used) or not (failed).
    // `may_hold`: a chunk holding its values may have reached its flash, so
    // a failed board's values are burned whatever the policy.
    bool finish(uint64_t ticket, bool programmed, bool may_hold, std::string* error);
    // When the path no longer names the file held (deleted, renamed,
    // replaced while the station ran), saves what the held file says beside
    // the path, in a new file, and says where; else nothing. Call as the
    // station stops: the held file goes with the last close.
    std::string save_if_lost();
    // The values reserve() would hand out next, nothing reserved (for a
    // check of the job). false with the error reserve() would give.
    bool peek(std::vector<field_value>* values, std::string* error) const;

private:
    bool next_values(std::vector<field_value>* values, std::vector<bool>* from_pool, std::string* error) const;
    bool record(const std::string& line, std::string* error);
    bool recover(const serial_journal& journal, const std::vector<serial_lot_field>* lot, std::string* error);
    bool check_writable(std::string* error) const;
    bool check_in_place(std::string* error);

    mutable std::mutex mutex_;  // guards everything below
    std::string path_;
    std::unique_ptr<file_lock> file_;
    failed_policy policy_ = FAILED_BURN;
    std::vector<serial_field> fields_;
    std::map<uint64_t, std::vector<field_value>> live_;  // reserved by this run, not yet finished
    uint64_t next_ticket_ = 1;
    std::string broken_;  // why the file can no longer be written; empty while it can
    std::vector<std::string> notices_;
};
