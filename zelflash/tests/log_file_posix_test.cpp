// The board log's file on devices: one without a disk, and a full one.
#include "platform/log_file.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include "outputs/board_log.h"

namespace {

TEST(log_file_posix, a_device_without_a_disk_counts_as_synced)
{
    int fd = ::open("/dev/null", O_WRONLY);
    ASSERT_GE(fd, 0);
    std::string error;
    EXPECT_TRUE(log_file_append(fd, "x\n", &error)) << error;
    EXPECT_TRUE(log_file_sync(fd, &error)) << error;
    EXPECT_TRUE(log_file_close(fd, &error)) << error;
}

TEST(log_file_posix, a_board_log_on_a_full_disk_fails_with_the_reason_and_writes_nothing)
{
    board_log log;
    std::string error;
    ASSERT_TRUE(log.open("/dev/full", &error)) << error;
    EXPECT_FALSE(log.append({{"port", "dev0"}}, &error));
    EXPECT_EQ(error, "/dev/full: cannot record the board: No space left on device");
}

}  // namespace
