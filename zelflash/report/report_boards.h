// The boards of the board logs that are known by a name (the serial number
// of their adapter, or a value given to them: yield_report.cpp's
// board_name), here called their serial number for short, each with
// what the yield report needs of its first record: when it started, its cell
// (yield_report.h) and whether it was programmed. One open-addressing table
// of 24-byte slots, kept between three eighths and three quarters full, and
// the serial numbers end to end beside it: about 60 bytes a board for
// serial numbers of 10 characters, however many records the logs hold.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct report_board {
    uint64_t start = 0;      // report_start_key of its first record
    uint64_t serial_at = 0;  // where its serial number lies in the table's text; REPORT_NO_BOARD: a free slot
    uint32_t cell = 0;       // of its first record
    bool passed = false;     // its first record was programmed
};

constexpr uint64_t REPORT_NO_BOARD = UINT64_MAX;

class report_boards {
public:
    // The board of `serial`; a new one, its other fields for the caller to
    // fill, when *added.
    report_board* find_or_add(std::string_view serial, bool* added);
    size_t size() const { return size_; }
    template <class Visit>
    void for_each(Visit visit) const
    {
        for (const report_board& b : slots_)
            if (b.serial_at != REPORT_NO_BOARD)
                visit(b);
    }

private:
    std::string_view serial_of(const report_board& b) const;
    size_t slot_of(std::string_view serial) const;
    void grow();

    std::vector<report_board> slots_;  // a power of two of them, or none
    std::string serials_;              // each: its length in 4 bytes, then its bytes
    size_t size_ = 0;
};
