// The one-line texts that end a board's run, the outcome rule, and a board
// whose thread throws.
#include "engine/board.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "fake_port.h"
#include "local_time.h"
#include "lprog.h"

namespace {

TEST(board, outcome_texts_name_port_command_address_and_attempts)
{
    const run_limits limits{10, 60000};
    struct row {
        run_result r;
        const char* text;
    };
    const row rows[] = {
        {{run_outcome::programmed, LPROG_IDLE, 0, 0, 2, 600, 600}, "COM7: programmed"},
        {{run_outcome::no_answer, LPROG_ERASE, 0, 10, 9, 0, 600}, "COM7: no answer to ERASE at 0x00000000 after 10 attempts"},
        {{run_outcome::no_answer, LPROG_PROGRAM, 0x3a00, 10, 9, 0x3a00, 0x10000},
         "COM7: no answer to PROGRAM at 0x00003a00 after 10 attempts"},
        {{run_outcome::no_answer, LPROG_SET_CLOCK, 0, 1, 0, 600, 600}, "COM7: no answer to RTC_SET after 1 attempt"},
        {{run_outcome::unconfirmed, LPROG_RESET, 0, 10, 9, 600, 600},
         "COM7: programmed, restart not confirmed (no answer to RESET after 10 attempts)"},
        {{run_outcome::erase_timeout, LPROG_WAIT_ERASE, 0, 480, 0, 0, 600},
         "COM7: erase not finished: no answer to PROGRAM(0, 0) within 60 s of the ERASE at 0x001ff000 "
         "(480 attempts)"},
        {{run_outcome::disconnected, LPROG_PROGRAM, 0x200, 1, 0, 0x200, 600},
         "COM7: device disconnected during PROGRAM at 0x00000200"},
        {{run_outcome::interrupted, LPROG_PROGRAM, 0x400, 0, 0, 0x400, 0x800},
         "COM7: interrupted before PROGRAM at 0x00000400, 1024 of 2048 bytes written"},
        // The wait for the erase names its command once, and no comma runs into the next.
        {{run_outcome::interrupted, LPROG_WAIT_ERASE, 0, 0, 0, 0, 20100},
         "COM7: interrupted before PROGRAM(0, 0) (the wait for the erase), 0 of 20100 bytes written"},
        {{run_outcome::disconnected, LPROG_WAIT_ERASE, 0, 1, 0, 0, 20100},
         "COM7: device disconnected during PROGRAM(0, 0) (the wait for the erase)"},
        {{run_outcome::no_answer, LPROG_WAIT_ERASE, 0, 1, 0, 0, 20100},
         "COM7: no answer to PROGRAM(0, 0) (the wait for the erase) after 1 attempt"},
        {{run_outcome::interrupted, LPROG_ERASE, 0, 0, 0, 0, 1}, "COM7: interrupted before ERASE at 0x00000000, 0 of 1 byte written"},
        {{run_outcome::out_of_step, LPROG_PROGRAM, 0x100, 0, 0, 0x100, 600},
         "COM7: link out of step at PROGRAM at 0x00000100: an ACK came that no command was waiting for, so the "
         "answers can no longer be told apart; check the cable, the adapter and that no other program talks to "
         "the device, then program it again"},
    };
    for (const row& r : rows)
        EXPECT_EQ(board_outcome_text("COM7", r.r, limits, 0x1FF000), r.text);
}

TEST(board, link_text_names_only_what_went_amiss)
{
    struct row {
        lguard_figures link;
        uint32_t bad_frames;
        const char* text;
    };
    const row rows[] = {
        {{240, 0, 0, 0, 3, 0, 0, 0, 0}, 0, ""},
        {{241, 1, 1, 310, 150, 0, 0, 0, 0}, 0, "1 late reply (the latest 310 ms)"},
        {{250, 10, 2, 900, 150, 1, 1890, 0, 0}, 3, "2 late replies (the latest 900 ms), 3 bad frames, 1 quiet wait (1890 ms)"},
        {{240, 0, 0, 0, 3, 2, 4000, 1, 0}, 1, "1 bad frame, 2 quiet waits (4000 ms), 1 unasked ACK"},
    };
    for (const row& r : rows) {
        run_result result{};
        result.link = r.link;
        result.bad_frames = r.bad_frames;
        EXPECT_EQ(board_link_text(result), r.text);
    }
}

TEST(board, open_errors_give_the_hint_that_fits_the_cause)
{
    struct row {
        port_open_failure why;
        const char* hint;
    };
    const row rows[] = {
        {OPEN_DENIED, "(you may not use it: add yourself to the group that owns it (on Debian: sudo adduser $USER "
                      "dialout), then log in again)"},
        {OPEN_BUSY, "(another program holds it: close that program (a terminal, a monitor) first)"},
        {OPEN_ABSENT, "(no such device: check the name with `zelflash list`, and that the board is plugged in)"},
        {OPEN_FAILED, "(check the name with `zelflash list`, and that no other program is using it)"},
    };
    for (const row& r : rows)
        EXPECT_EQ(board_open_error("/dev/ttyUSB3", "Some reason", r.why),
                  std::string("/dev/ttyUSB3: cannot open the port: Some reason ") + r.hint);
}

TEST(board, every_end_has_its_fixed_key_and_text_and_counts_by_the_outcome_rule)
{
    struct row {
        board_end end;
        const char* key;
        const char* text;
        bool programmed;
        bool ran;
    };
    const row rows[] = {
        {board_end_of(run_outcome::programmed), "programmed", "programmed", true, true},
        {board_end_of(run_outcome::unconfirmed), "unconfirmed", "programmed, restart not confirmed", true, true},
        {board_end_of(run_outcome::no_answer), "no_answer", "no answer", false, true},
        {board_end_of(run_outcome::no_memory), "no_memory", "not enough memory", false, true},
        {board_end::not_opened, "not_opened", "not opened", false, false},
        {board_end::not_started, "not_started", "not started", false, false},
        {board_end::internal_error, "internal_error", "internal error", false, false},
    };
    for (const row& r : rows) {
        EXPECT_STREQ(board_end_key(r.end), r.key);
        EXPECT_STREQ(board_end_text(r.end), r.text);
        EXPECT_EQ(board_programmed(r.end), r.programmed) << r.key;
        EXPECT_EQ(board_end_run(r.end).has_value(), r.ran) << r.key;
        EXPECT_EQ(board_end_from_key(r.key), std::optional(r.end)) << r.key;
    }
    board_view v = board_unstarted("COM7", "", board_end::not_started, "COM7: not programmed", 600);
    EXPECT_FALSE(board_ran(v));
    EXPECT_EQ(v.at.total, 600u);
}

// Every key read back gives its end; a key of a later version, a text and
// an empty key give none.
TEST(board, a_key_is_read_back_as_its_end_and_no_other_text_is)
{
    for (const run_outcome_name& n : run_outcome_names)
        EXPECT_EQ(board_end_from_key(n.key), std::optional(board_end_of(n.outcome))) << n.key;
    for (const board_end_name& n : board_end_names)
        EXPECT_EQ(board_end_from_key(n.key), std::optional(n.end)) << n.key;
    for (const char* key : {"", "no answer", "not opened", "NO_ANSWER", "power_lost"})
        EXPECT_EQ(board_end_from_key(key), std::nullopt) << key;
}

TEST(board, the_tally_counts_each_outcome_once_by_the_outcome_rule)
{
    board_tally t;
    const board_end ends[] = {board_end_of(run_outcome::programmed), board_end_of(run_outcome::unconfirmed),
                              board_end_of(run_outcome::interrupted), board_end::not_started,
                              board_end::not_opened, board_end_of(run_outcome::no_answer),
                              board_end::internal_error};
    for (board_end end : ends)
        board_tally_add(&t, end);
    EXPECT_EQ(t.done, 2);
    EXPECT_EQ(t.interrupted, 1);
    EXPECT_EQ(t.not_started, 1);
    EXPECT_EQ(t.failed, 3);
}

uint32_t throwing_write(port_handle, const void*, uint32_t)
{
    throw std::runtime_error("the write blew up");
}

// An exception in a board's thread must not end the process (every other
// port would stay as its job had set it): the board fails, its port put back.
TEST(board, an_exception_in_the_run_fails_the_board_and_puts_its_port_back)
{
    fake = fake_port{};
    port_ops ops = fake_ops;
    ops.write = throwing_write;
    image img;
    img.bytes.assign(600, 0x5A);
    board_news news;
    board b(0, "COM7", "", &news, job_seams{&ops, fixed_clock});
    std::string error;
    ASSERT_TRUE(b.open(115200, &error)) << error;
    int settings_written = fake.set_state_calls;
    b.start(&img, run_limits{3, 1000});
    b.join();
    board_view v = b.view();
    EXPECT_EQ(v.state, BOARD_FINISHED);
    EXPECT_EQ(v.end, board_end::internal_error);
    EXPECT_EQ(v.message, "COM7: internal error in zelflash (the write blew up); the port's settings are put back; "
                         "program the board again, and report this if it happens again");
    EXPECT_EQ(fake.closed, 1);
    EXPECT_GT(fake.set_state_calls, settings_written) << "the settings were not put back";
    EXPECT_EQ(news.take(std::chrono::milliseconds(0)), std::deque<int>{0}) << "the display hears of its end";
}

}  // namespace
