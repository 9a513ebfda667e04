// The fixture's schedule: which board is seated when, when the slot changes
// next, which boards come back into their loader, and the board lists.
#include "fixture.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

fixture_plan plan(int64_t present_us, int64_t absent_us, int32_t boards)
{
    fixture_plan p = fixture_plan_defaults();
    p.present_us = present_us;
    p.absent_us = absent_us;
    p.boards = boards;
    return p;
}

struct schedule_case {
    int64_t present_us, absent_us;
    int32_t boards;
    int64_t since_us;
    int32_t board_at;
    int64_t next_change;
};

class Schedule : public ::testing::TestWithParam<schedule_case> {};

TEST_P(Schedule, BoardSeatedAndNextChange)
{
    const schedule_case& c = GetParam();
    fixture_plan p = plan(c.present_us, c.absent_us, c.boards);
    EXPECT_EQ(fixture_board_at(&p, c.since_us), c.board_at) << c.since_us;
    EXPECT_EQ(fixture_next_change(&p, c.since_us), c.next_change) << c.since_us;
}

// 100 seated, 50 empty: board 1 in [0, 100), 2 in [150, 250), 3 in [300, 400).
INSTANTIATE_TEST_SUITE_P(
    Table, Schedule,
    ::testing::Values(schedule_case{100, 50, 3, -1, 0, 0}, schedule_case{100, 50, 3, 0, 1, 100},
                      schedule_case{100, 50, 3, 99, 1, 100}, schedule_case{100, 50, 3, 100, 0, 150},
                      schedule_case{100, 50, 3, 149, 0, 150}, schedule_case{100, 50, 3, 150, 2, 250},
                      schedule_case{100, 50, 3, 249, 2, 250}, schedule_case{100, 50, 3, 300, 3, 400},
                      schedule_case{100, 50, 3, 399, 3, 400}, schedule_case{100, 50, 3, 400, 0, INT64_MAX},
                      schedule_case{100, 50, 3, 450, 0, INT64_MAX}, schedule_case{100, 50, 3, 100000, 0, INT64_MAX},
                      // Boards without end.
                      schedule_case{100, 50, 0, 400, 0, 450}, schedule_case{100, 50, 0, 450, 4, 550},
                      schedule_case{100, 50, 0, 1500000, 10001, 1500100},
                      // No absent time: one board leaves as the next is seated.
                      schedule_case{100, 0, 2, 99, 1, 100}, schedule_case{100, 0, 2, 100, 2, 200},
                      schedule_case{100, 0, 2, 200, 0, INT64_MAX},
                      // One board only.
                      schedule_case{100, 50, 1, 100, 0, INT64_MAX}, schedule_case{100, 50, 1, 150, 0, INT64_MAX}));

TEST(Fixture, LastLeavingEndsTheScheduleOnlyWithABoardCount)
{
    fixture_plan three = plan(100, 50, 3);
    fixture_plan endless = plan(100, 50, 0);
    EXPECT_EQ(fixture_last_leave_us(&three), 400);
    EXPECT_EQ(fixture_last_leave_us(&endless), INT64_MAX);
}

TEST(Fixture, DefaultsAreDocumented)
{
    fixture_plan p = fixture_plan_defaults();
    EXPECT_EQ(p.present_us, 5000000);
    EXPECT_EQ(p.absent_us, 1000000);
    EXPECT_EQ(p.boards, 0);
    EXPECT_EQ(p.after_reset, FIXTURE_APP);
    EXPECT_TRUE(p.loader_boards.empty());
    EXPECT_EQ(p.loader_return_us, 100000);
}

struct loader_case {
    int32_t after_reset;
    std::vector<int32_t> listed;
    int32_t board;
    bool back;
};

class BackToLoader : public ::testing::TestWithParam<loader_case> {};

TEST_P(BackToLoader, ListedBoardsOrAll)
{
    fixture_plan p = fixture_plan_defaults();
    p.after_reset = GetParam().after_reset;
    p.loader_boards = GetParam().listed;
    EXPECT_EQ(fixture_back_to_loader(&p, GetParam().board), GetParam().back) << GetParam().board;
}

INSTANTIATE_TEST_SUITE_P(Table, BackToLoader,
                         ::testing::Values(loader_case{FIXTURE_APP, {}, 1, false},
                                           loader_case{FIXTURE_LOADER, {}, 1, true},
                                           loader_case{FIXTURE_APP, {2, 5}, 1, false},
                                           loader_case{FIXTURE_APP, {2, 5}, 2, true},
                                           loader_case{FIXTURE_APP, {2, 5}, 5, true},
                                           loader_case{FIXTURE_APP, {2, 5}, 3, false},
                                           loader_case{FIXTURE_LOADER, {2}, 3, true}));

struct boards_text_case {
    const char* text;
    bool ok;
    std::vector<int32_t> boards;
};

class BoardsText : public ::testing::TestWithParam<boards_text_case> {};

TEST_P(BoardsText, NumbersFromOneSeparatedByCommas)
{
    std::vector<int32_t> got = {99};
    EXPECT_EQ(fixture_parse_boards(GetParam().text, &got), GetParam().ok) << GetParam().text;
    if (GetParam().ok) {
        EXPECT_EQ(got, GetParam().boards) << GetParam().text;
    }
}

INSTANTIATE_TEST_SUITE_P(Table, BoardsText,
                         ::testing::Values(boards_text_case{"2,5", true, {2, 5}}, boards_text_case{"1", true, {1}},
                                           boards_text_case{"7,3,7", true, {7, 3, 7}},
                                           boards_text_case{"", false, {}}, boards_text_case{"0", false, {}},
                                           boards_text_case{"2,", false, {}}, boards_text_case{",2", false, {}},
                                           boards_text_case{"1,,2", false, {}}, boards_text_case{"-1", false, {}},
                                           boards_text_case{"a", false, {}}, boards_text_case{"1 2", false, {}},
                                           boards_text_case{"1234567890", false, {}}));

TEST(Fixture, AfterResetNames)
{
    EXPECT_EQ(fixture_after_reset_parse("app"), FIXTURE_APP);
    EXPECT_EQ(fixture_after_reset_parse("loader"), FIXTURE_LOADER);
    EXPECT_EQ(fixture_after_reset_parse("App"), -1);
    EXPECT_EQ(fixture_after_reset_parse(""), -1);
    EXPECT_STREQ(fixture_after_reset_name(FIXTURE_APP), "app");
    EXPECT_STREQ(fixture_after_reset_name(FIXTURE_LOADER), "loader");
}

}  // namespace
