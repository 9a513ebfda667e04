// The owner of an open port: every way it can end leaves the port as it was
// found and closed exactly once, except a port released to a job, which the
// job's own teardown then puts back the same way.
#include "port_owner.h"

#include <gtest/gtest.h>

#include "fake_port.h"
#include "job.h"
#include "ser.h"

namespace {

struct port_owner_test : testing::Test {
    void SetUp() override
    {
        fake = fake_port{};
        fake.dcb.BaudRate = 9600;  // what the port had before anyone configured it
        port = fake_ops;
    }
    void TearDown() override { port = port_platform(); }
};

enum owner_end { DESTROYED, CLOSED, RELEASED_TO_A_JOB };

struct end_case {
    const char* name;
    owner_end end;
};

class port_owner_ends : public port_owner_test, public testing::WithParamInterface<end_case> {};

TEST_P(port_owner_ends, with_the_settings_put_back_forgotten_and_the_port_closed_once)
{
    {
        port_owner owner;
        ASSERT_TRUE(owner.open("COM7"));
        ASSERT_TRUE(owner.configure(115200));
        EXPECT_EQ(fake.dcb.BaudRate, 115200u);
        EXPECT_GE(ser_find(owner.handle()), 0);
        if (GetParam().end == CLOSED) {
            owner.close();
            EXPECT_EQ(owner.handle(), nullptr);
        }
        if (GetParam().end == RELEASED_TO_A_JOB) {
            job j{};
            j.handle = owner.release();
            EXPECT_EQ(owner.handle(), nullptr);
            EXPECT_EQ(fake.closed, 0) << "a released port is the job's";
            job_close(&j);
        }
    }
    EXPECT_EQ(fake.closed, 1);
    EXPECT_EQ(fake.dcb.BaudRate, 9600u);
    EXPECT_EQ(ser_find(&fake), -1) << "a later port on the same handle value would inherit the settings";
}

INSTANTIATE_TEST_SUITE_P(port_owner, port_owner_ends,
                         testing::Values(end_case{"destroyed", DESTROYED}, end_case{"closed", CLOSED},
                                         end_case{"released_to_a_job", RELEASED_TO_A_JOB}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(port_owner_test, a_port_that_does_not_open_leaves_nothing_to_close)
{
    port.open = [](const char*) -> port_handle { return nullptr; };
    {
        port_owner owner;
        EXPECT_FALSE(owner.open("COM7"));
        EXPECT_EQ(owner.handle(), nullptr);
        EXPECT_FALSE(owner.configure(115200));
    }
    EXPECT_EQ(fake.closed, 0);
    EXPECT_EQ(fake.get_state_calls, 0);
}

TEST_F(port_owner_test, a_port_whose_settings_cannot_be_read_is_closed_untouched)
{
    fake.state_ok = 0;
    int saved = ser_settings_count();
    {
        port_owner owner;
        ASSERT_TRUE(owner.open("COM7"));
        EXPECT_FALSE(owner.configure(115200));
        EXPECT_EQ(ser_settings_count(), saved);
    }
    EXPECT_EQ(fake.closed, 1);
    EXPECT_EQ(fake.set_state_calls, 0) << "nothing was saved, so nothing is put back";
}

}  // namespace
