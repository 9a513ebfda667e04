// The POSIX console seam: why a port did not open, writes that fail or
// that nothing takes, and the board log on a full disk.
#include "console.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include "board_log.h"

namespace {

TEST(console_posix, open_failures_are_told_apart_by_errno)
{
    struct row {
        int code;
        console_open_failure why;
    };
    const row rows[] = {
        {EACCES, OPEN_DENIED}, {EPERM, OPEN_DENIED},  {EBUSY, OPEN_BUSY},   {EWOULDBLOCK, OPEN_BUSY},
        {ENOENT, OPEN_ABSENT}, {ENODEV, OPEN_ABSENT}, {ENXIO, OPEN_ABSENT}, {EIO, OPEN_FAILED},
    };
    for (const row& r : rows) {
        errno = r.code;
        EXPECT_EQ(console_last_open_failure(), r.why) << r.code;
    }
}

TEST(console_posix, a_board_log_on_a_full_disk_fails_with_the_reason_and_writes_nothing)
{
    board_log log;
    std::string error;
    ASSERT_TRUE(log.open("/dev/full", &error)) << error;
    EXPECT_FALSE(log.append({{"port", "dev0"}}, &error));
    EXPECT_EQ(error, "/dev/full: cannot record the board: No space left on device");
}

TEST(console_posix, a_device_without_a_disk_counts_as_synced)
{
    int fd = ::open("/dev/null", O_WRONLY);
    ASSERT_GE(fd, 0);
    std::string error;
    EXPECT_TRUE(console_append(fd, "x\n", &error)) << error;
    EXPECT_TRUE(console_sync(fd, &error)) << error;
    EXPECT_TRUE(console_close(fd, &error)) << error;
}

TEST(console_posix, failed_writes_to_standard_output_say_why)
{
    FILE* full = std::fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    std::string error;
    EXPECT_FALSE(console_write(full, "{\"event\":\"start\"}\n", &error));
    EXPECT_EQ(error, "No space left on device");
    std::fclose(full);
}

// A pipe nobody reads: before an interrupt a write to it would wait for
// ever; after one, what does not fit is given up.
TEST(console_posix, after_an_interrupt_output_nothing_takes_is_given_up)
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
    console_catch_interrupts();
    std::raise(SIGINT);  // counted, not fatal
    ASSERT_GT(console_interrupts(), 0);
    std::string error;
    EXPECT_FALSE(console_write(out, "one more line\n", &error));
    EXPECT_EQ(error, "nothing took the output for 1 s after the interrupt, so the rest is dropped");
    EXPECT_EQ(fcntl(ends[1], F_GETFL) & O_NONBLOCK, 0) << "the file is left blocking, as it was found";
    std::fclose(out);
    ::close(ends[0]);
}

}  // namespace
