// The fixture: one port that stays for the whole run while boards are seated
// on it and taken off again on a fixed schedule, as on a production fixture
// whose USB-serial adapter belongs to the fixture.
//
// Time since the start of the run, one period a board:
//
//   0          present        present+absent   ...
//   | board 1 seated | slot empty | board 2 seated | slot empty | ...
//
// Board k (from 1) is seated at (k - 1) * (present + absent) and taken off
// present later. With a board count N > 0 the slot stays empty after board
// N; with N = 0 boards keep coming until the run ends. A change at time T is
// in force from T on: at the moment a board leaves, the slot is empty (or, with
// no absent time, the next board is already seated).
//
// After a RESET a board runs its application and no longer answers; a board
// whose image does not start comes back into its loader loader_return_us
// later and answers again.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum fixture_after_reset : int32_t {
    FIXTURE_APP = 0,     // the board runs its application: silent until it leaves
    FIXTURE_LOADER = 1,  // the board comes back into its loader
};

const char* fixture_after_reset_name(int32_t after_reset);
// "app" or "loader"; -1 for anything else.
int32_t fixture_after_reset_parse(const std::string& text);

struct fixture_plan {
    int64_t present_us;           // > 0
    int64_t absent_us;            // >= 0
    int32_t boards;               // 0: no end
    int32_t after_reset;          // fixture_after_reset, for boards not listed below
    std::vector<int32_t> loader_boards;  // boards (from 1) that come back into their loader
    int64_t loader_return_us;     // from RESET to the loader answering again
};

// A range of a board's flash given in the report (--read ADDR:LEN), e.g. to
// check that each board got its own serial number.
struct fixture_read {
    uint32_t addr;
    uint32_t length;  // 1 .. FIXTURE_READ_MAX, within the flash
};

enum fixture_limits : uint32_t {
    FIXTURE_READ_MAX = 4096,  // bytes of one --read range
};

// The defaults: a board seated 5 s, the slot empty 1 s, boards without end,
// each running its application after RESET; a loader comes back after 100 ms.
fixture_plan fixture_plan_defaults();

// The board seated at since_start_us (from 1), or 0 when the slot is empty.
int32_t fixture_board_at(const fixture_plan* t, int64_t since_start_us);

// The first moment after since_start_us at which the slot changes (a board
// is seated or taken off), or INT64_MAX when it never changes again. Before
// the start (since_start_us < 0) that is 0, the first board's arrival.
int64_t fixture_next_change(const fixture_plan* t, int64_t since_start_us);

// When the last board leaves, or INT64_MAX when boards keep coming.
int64_t fixture_last_leave_us(const fixture_plan* t);

// True when board (from 1) comes back into its loader after a RESET.
bool fixture_back_to_loader(const fixture_plan* t, int32_t board);

// "2,5": board numbers from 1, in any order. False for an empty list, a
// zero, or anything but numbers and commas.
bool fixture_parse_boards(const std::string& text, std::vector<int32_t>* out);
