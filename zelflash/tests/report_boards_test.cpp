// The table of boards by serial number: each serial one board, found again
// as it was left, through the table's growth, whatever bytes it holds.
#include "report/report_boards.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

namespace {

// Serials that differ only at their end, in length, or by a NUL; long ones.
std::string serial_number(uint32_t n)
{
    switch (n % 4) {
    case 0: return "A" + std::to_string(n);
    case 1: return std::string("B\0", 2) + std::to_string(n);
    case 2: return std::string(n % 97, 'C') + std::to_string(n);
    default: return std::to_string(n);
    }
}

TEST(report_boards, keep_one_board_per_serial_number_through_their_growth)
{
    report_boards boards;
    std::map<std::string, uint32_t> expected;  // serial -> the cell last set
    for (uint32_t round = 0; round < 3; ++round) {
        for (uint32_t n = 0; n < 20000; n += round + 1) {
            std::string serial = serial_number(n);
            bool added = false;
            report_board* b = boards.find_or_add(serial, &added);
            ASSERT_EQ(added, expected.count(serial) == 0) << serial << " round " << round;
            if (!added) {
                ASSERT_EQ(b->cell, expected[serial]) << serial;
            }
            b->cell = n * 3 + round;
            b->start = n;
            b->passed = n % 2 == 0;
            expected[serial] = b->cell;
        }
        ASSERT_EQ(boards.size(), expected.size());
    }
    std::multiset<uint32_t> cells, wanted;
    for (const auto& [serial, cell] : expected)
        wanted.insert(cell);
    boards.for_each([&](const report_board& b) {
        cells.insert(b.cell);
        EXPECT_EQ(b.passed, b.start % 2 == 0);
    });
    EXPECT_EQ(cells, wanted) << "each board visited once, as last left";
}

TEST(report_boards, tell_serials_apart_that_are_prefixes_or_differ_in_a_nul)
{
    report_boards boards;
    const std::string serials[] = {"", "A", "AB", std::string("A\0", 2), std::string("\0", 1), "BA"};
    for (uint32_t i = 0; i < std::size(serials); ++i) {
        bool added = false;
        boards.find_or_add(serials[i], &added)->cell = i;
        EXPECT_TRUE(added) << i;
    }
    for (uint32_t i = 0; i < std::size(serials); ++i) {
        bool added = true;
        EXPECT_EQ(boards.find_or_add(serials[i], &added)->cell, i);
        EXPECT_FALSE(added) << i;
    }
    EXPECT_EQ(boards.size(), std::size(serials));
}

}  // namespace
