// What a station of a lot does in the lot's database: registers (one live
// station per name, held by a session advisory lock for the station's
// life), binds its journal, takes leases of values, and tells the lot what
// its journal recorded: reservations, boards' ends with their records,
// values given back. Every statement about a station's values names the
// station and the states the values must be in, so a statement applied
// twice, late or after a restart changes nothing it should not: the
// journal is the truth, and the database follows it.
//
// A value of the lot is at every moment in exactly one state, its row's:
// free (back in the lot), held (in a station's hand), reserved (on a board
// being programmed), used, failed, burned; or still in the supply (a
// counter's next values, a list's lines after its cursor), with no row.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "lot/lot_db.h"
#include "lot/lot_fields.h"
#include "values/fields.h"
#include "values/value_hand.h"
#include "values/value_pool.h"

// The lot a station works on, as the database has it.
struct lot_ref {
    std::string id;
    std::string name;
    std::string created;  // UTC to the microsecond: tells a lot made anew under the same name
    std::vector<lot_field> fields;
};

// The lot `name` (the schema checked). false with a one-line error.
bool lot_find(lot_db& db, const std::string& name, lot_ref* out, std::string* error);

// The station's row as it registered.
struct lot_registration {
    std::optional<std::string> journal;  // the key of the station's journal; nullopt: none bound yet
    bool holds = false;                  // values of the lot are held or reserved by it
    uint64_t top_ticket = 0;             // the highest ticket the lot has seen from it
};

// The key of a station's advisory lock (SQL), of the lot's id and the
// station's name as SQL expressions: held by the station's connection
// while it runs, so whoever holds it is the live station of that name.
std::string lot_station_key(const std::string& lot_id, const std::string& station);

// Takes the station's lock on this connection (refused, naming the
// holder, when another live zelflash has it) and marks the station live.
bool lot_station_register(lot_db& db, const lot_ref& lot, const std::string& station, uint32_t lease,
                          lot_registration* out, std::string* error);
// Who runs the station: the host's name and this process's id, for the
// message that refuses a second station of the same name.
bool lot_station_host(lot_db& db, const lot_ref& lot, const std::string& station, const std::string& host,
                      uint64_t pid, std::string* error);
// Records `key` as the station's journal in place of `was` (nullopt: none).
bool lot_station_bind(lot_db& db, const lot_ref& lot, const std::string& station,
                      const std::optional<std::string>& was, const std::string& key, std::string* error);
// The station stops: no longer live, its lock released.
bool lot_station_leave(lot_db& db, const lot_ref& lot, const std::string& station, std::string* error);
// last_seen now.
bool lot_station_seen(lot_db& db, const lot_ref& lot, const std::string& station, std::string* error);

// Makes the lot's rows of the station's values agree with its journal, as a
// start needs: every value the lot shows held or reserved by the station
// takes the state `states` gives it (used, failed, burned), and one the
// journal does not show on a board is free again.
bool lot_station_settle(lot_db& db, const lot_ref& lot, const std::string& station, const value_states& states,
                        std::string* error);

// One transaction: up to `need` values of each field into the station's
// hand, free values first, then the supply. *leased lists what it got; a
// field may get fewer (even none) when the lot runs out.
bool lot_station_lease(lot_db& db, const lot_ref& lot, const std::string& station,
                       const std::vector<field_spec>& fields, const std::map<std::string, size_t>& need,
                       value_lists* leased, std::string* error);

// What the station's journal recorded, as the lot learns it.
struct lot_event {
    enum kind_t { RESERVED, ENDED } kind = RESERVED;
    uint64_t ticket = 0;
    std::vector<field_value> values;  // RESERVED, ENDED: the board's counted values
    value_end end = END_USED;         // ENDED
    std::string record;               // ENDED: the board's record (JSON), when any
};
bool lot_station_apply(lot_db& db, const lot_ref& lot, const std::string& station, const lot_event& e,
                       std::string* error);
// The tickets of the station's boards the lot has records of.
bool lot_station_boards(lot_db& db, const lot_ref& lot, const std::string& station, std::vector<uint64_t>* tickets,
                        std::string* error);

// lot recover: burns every value station `station` holds or has reserved,
// with its lock held meanwhile. Refused while the station is live, and
// unless it has been unseen for `after` minutes or `force`. *burned counts
// the values.
bool lot_station_recover(lot_db& db, const lot_ref& lot, const std::string& station, uint32_t after, bool force,
                         uint64_t* burned, std::string* error);
