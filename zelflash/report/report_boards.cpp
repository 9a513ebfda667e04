#include "report/report_boards.h"

#include <cstring>

// FNV-1a: serial numbers are short, and the table only needs them spread.
static uint64_t hash_of(std::string_view text)
{
    uint64_t h = 14695981039346656037u;
    for (char c : text)
        h = (h ^ static_cast<unsigned char>(c)) * 1099511628211u;
    return h;
}

std::string_view report_boards::serial_of(const report_board& b) const
{
    uint32_t size = 0;
    std::memcpy(&size, serials_.data() + b.serial_at, sizeof size);
    return std::string_view(serials_).substr(b.serial_at + sizeof size, size);
}

// The slot of `serial`, or the free one where it would go.
size_t report_boards::slot_of(std::string_view serial) const
{
    size_t mask = slots_.size() - 1;
    for (size_t i = hash_of(serial) & mask;; i = (i + 1) & mask)
        if (slots_[i].serial_at == REPORT_NO_BOARD || serial_of(slots_[i]) == serial)
            return i;
}

void report_boards::grow()
{
    std::vector<report_board> old(slots_.size() < 16 ? 16 : 2 * slots_.size());
    for (report_board& b : old)
        b.serial_at = REPORT_NO_BOARD;
    old.swap(slots_);
    for (const report_board& b : old)
        if (b.serial_at != REPORT_NO_BOARD)
            slots_[slot_of(serial_of(b))] = b;
}

report_board* report_boards::find_or_add(std::string_view serial, bool* added)
{
    if (4 * (size_ + 1) > 3 * slots_.size())
        grow();
    report_board& b = slots_[slot_of(serial)];
    *added = b.serial_at == REPORT_NO_BOARD;
    if (*added) {
        b = report_board{};
        b.serial_at = serials_.size();
        auto size = static_cast<uint32_t>(serial.size());  // a log line is at most REPORT_MAX_LINE
        serials_.append(reinterpret_cast<const char*>(&size), sizeof size);
        serials_.append(serial);
        ++size_;
    }
    return &b;
}
