// Writes to the standard streams that fail, or that nothing takes.
#include "platform/terminal.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
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

}  // namespace
