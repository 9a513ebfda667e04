// The live rows and the summary table.
#include "display.h"

#include <gtest/gtest.h>

#include "lprog.h"

namespace {

board_view at(int32_t phase, uint32_t addr, uint32_t done, double seconds)
{
    board_view v;
    v.port = "/dev/ttyUSB0";
    v.state = BOARD_RUNNING;
    v.at = sink_progress{phase, addr, done, 60000, 1};
    v.seconds = seconds;
    return v;
}

TEST(display, live_rows_show_bar_percent_rate_eta_and_command)
{
    EXPECT_EQ(display::row(at(LPROG_ERASE, 0, 0, 0.1), 14, 0),
              "/dev/ttyUSB0   [....................]   0%       0/60000      0.0 KiB/s  ETA   --  ERASE 0x00000000");
    EXPECT_EQ(display::row(at(LPROG_PROGRAM, 0x7500, 30000, 3.0), 14, 0),
              "/dev/ttyUSB0   [##########..........]  50%   30000/60000      9.8 KiB/s  ETA   3s  PROGRAM 0x00007500");
    board_view done = at(LPROG_IDLE, 0, 60000, 6.0);
    done.state = BOARD_FINISHED;
    done.result.outcome = RUN_UNCONFIRMED;
    EXPECT_EQ(display::row(done, 14, 0),
              "/dev/ttyUSB0   [####################] 100%   60000/60000      9.8 KiB/s  ETA   --  "
              "programmed, restart not confirmed");
    EXPECT_EQ(display::row(done, 14, 20), "/dev/ttyUSB0   [####");
}

TEST(display, summary_table_widens_for_long_ports)
{
    board_view a = at(LPROG_IDLE, 0, 60000, 6.5);
    a.state = BOARD_FINISHED;
    board_view b = at(LPROG_PROGRAM, 0x100, 256, 1.25);
    b.port = "/tmp/bench/a-long-port-name";
    b.state = BOARD_FINISHED;
    b.result.outcome = RUN_NO_ANSWER;
    EXPECT_EQ(display::table({a, b}),
              "port                        outcome                                bytes  seconds  retries\n"
              "/dev/ttyUSB0                programmed                             60000     6.50        1\n"
              "/tmp/bench/a-long-port-name no answer                                256     1.25        1\n");
}

}  // namespace
