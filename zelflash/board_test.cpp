// The one-line texts that end a board's run.
#include "board.h"

#include <gtest/gtest.h>

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
        {{RUN_PROGRAMMED, LPROG_IDLE, 0, 0, 2, 600, 600}, "COM7: programmed"},
        {{RUN_NO_ANSWER, LPROG_ERASE, 0, 10, 9, 0, 600}, "COM7: no answer to ERASE at 0x00000000 after 10 attempts"},
        {{RUN_NO_ANSWER, LPROG_PROGRAM, 0x3a00, 10, 9, 0x3a00, 0x10000},
         "COM7: no answer to PROGRAM at 0x00003a00 after 10 attempts"},
        {{RUN_NO_ANSWER, LPROG_SET_CLOCK, 0, 1, 0, 600, 600}, "COM7: no answer to RTC_SET after 1 attempt"},
        {{RUN_UNCONFIRMED, LPROG_RESET, 0, 10, 9, 600, 600},
         "COM7: programmed, restart not confirmed (no answer to RESET after 10 attempts)"},
        {{RUN_ERASE_TIMEOUT, LPROG_WAIT_ERASE, 0, 480, 0, 0, 600},
         "COM7: erase not finished: no answer to PROGRAM(0, 0) within 60 s of the ERASE at 0x001ff000 "
         "(480 attempts)"},
        {{RUN_DISCONNECTED, LPROG_PROGRAM, 0x200, 1, 0, 0x200, 600},
         "COM7: device disconnected during PROGRAM at 0x00000200"},
        {{RUN_INTERRUPTED, LPROG_PROGRAM, 0x400, 0, 0, 0x400, 0x800},
         "COM7: interrupted before PROGRAM at 0x00000400, 1024 of 2048 bytes written"},
        {{RUN_OUT_OF_STEP, LPROG_PROGRAM, 0x100, 0, 0, 0x100, 600},
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
        {{240, 0, 0, 0, 3, 0, 0, 0}, 0, ""},
        {{241, 1, 1, 310, 150, 0, 0, 0}, 0, "1 late reply (the latest 310 ms)"},
        {{250, 10, 2, 900, 150, 1, 1890, 0}, 3, "2 late replies (the latest 900 ms), 3 bad frames, 1 quiet wait (1890 ms)"},
        {{240, 0, 0, 0, 3, 2, 4000, 1}, 1, "1 bad frame, 2 quiet waits (4000 ms), 1 unasked ACK"},
    };
    for (const row& r : rows) {
        run_result result{};
        result.link = r.link;
        result.bad_frames = r.bad_frames;
        EXPECT_EQ(board_link_text(result), r.text);
    }
}

}  // namespace
