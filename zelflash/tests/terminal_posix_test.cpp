// Writes to the standard streams that fail, or that nothing takes.
#include "platform/terminal.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "platform/interrupts.h"

namespace {

TEST(terminal_posix, failed_writes_to_standard_output_say_why)
{
    FILE* full = std::fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    std::string error;
    EXPECT_FALSE(terminal_write(full, "{\"event\":\"start\"}\n", &error));
    EXPECT_EQ(error, "No space left on device");
    std::fclose(full);
}

// A pipe nobody reads: before an interrupt a write to it would wait for
// ever; after one, what does not fit is given up.
TEST(terminal_posix, after_an_interrupt_output_nothing_takes_is_given_up)
{
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    fcntl(ends[1], F_SETFL, O_NONBLOCK);
    std::string filler(4096, 'x');
    while (::write(ends[1], filler.data(), filler.size()) > 0) {
    }
    fcntl(ends[1], F_SETFL, 0);  // blocking again, as standard output is
    FILE* out = fdopen(ends[1], "w");
    ASSERT_NE(out, nullptr);
    interrupts_catch();
    std::raise(SIGINT);  // counted, not fatal
    ASSERT_GT(interrupts_count(), 0);
    std::string error;
    EXPECT_FALSE(terminal_write(out, "one more line\n", &error));
    EXPECT_EQ(error, "nothing took the output for 1 s after the interrupt, so the rest is dropped");
    EXPECT_EQ(fcntl(ends[1], F_GETFL) & O_NONBLOCK, 0) << "the file is left blocking, as it was found";
    std::fclose(out);
    ::close(ends[0]);
}

// Standard input on a pseudo-terminal: echo off while the guard lives,
// every setting back as it was after.
TEST(terminal_posix, echo_is_off_while_held_and_put_back)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master) | unlockpt(master), 0);
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    termios before{};
    ASSERT_EQ(tcgetattr(slave, &before), 0);
    ASSERT_NE(before.c_lflag & ECHO, 0u);
    int kept = dup(STDIN_FILENO);
    ASSERT_EQ(dup2(slave, STDIN_FILENO), STDIN_FILENO);
    termios during{}, after{};
    {
        terminal_echo_off quiet;
        tcgetattr(slave, &during);
    }
    tcgetattr(slave, &after);
    dup2(kept, STDIN_FILENO);
    close(kept);
    close(slave);
    close(master);
    EXPECT_EQ(during.c_lflag & (ECHO | ECHONL), 0u);
    EXPECT_NE(during.c_lflag & ICANON, 0u) << "lines still end at Enter";
    EXPECT_EQ(after.c_lflag, before.c_lflag);
}

}  // namespace
