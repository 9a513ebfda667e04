// Why a port did not open, told apart by errno.
#include "platform/port_error.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

TEST(port_error_posix, open_failures_are_told_apart_by_errno)
{
    struct row {
        int code;
        port_open_failure why;
    };
    const row rows[] = {
        {EACCES, OPEN_DENIED}, {EPERM, OPEN_DENIED},  {EBUSY, OPEN_BUSY},   {EWOULDBLOCK, OPEN_BUSY},
        {ENOENT, OPEN_ABSENT}, {ENODEV, OPEN_ABSENT}, {ENXIO, OPEN_ABSENT}, {EIO, OPEN_FAILED},
    };
    for (const row& r : rows) {
        errno = r.code;
        EXPECT_EQ(port_error_cause(), r.why) << r.code;
    }
}

}  // namespace
