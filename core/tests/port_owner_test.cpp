// The owner of an open port: every way it can end leaves the port as it was
// found and closed exactly once, except a port released to a job, which the
// job's own teardown then puts back the same way. Each owner keeps its own
// port's settings, so one port stuck in its driver holds up no other.
#include "port_owner.h"

#include <gtest/gtest.h>

#include <string>

#ifndef _WIN32
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#endif

#include "fake_port.h"
#include "job.h"
#include "sink.h"

namespace {

struct port_owner_test : testing::Test {
    void SetUp() override
    {
        fake = fake_port{};
        fake.dcb.BaudRate = 9600;  // what the port had before anyone configured it
    }
};

enum owner_end { DESTROYED, CLOSED, RELEASED_TO_A_JOB };

struct end_case {
    const char* name;
    owner_end end;
};

class port_owner_ends : public port_owner_test, public testing::WithParamInterface<end_case> {};

// The job takes the port and its saved settings over, and puts them back as it goes.
void hand_to_a_job(port_owner* owner)
{
    static const sink silent{nullptr, [](void*, const char*) {}, nullptr, nullptr};
    const uint8_t image[] = {0x5A};
    job_config request;
    request.out = &silent;
    request.seams.ops = &fake_ops;
    job_ptr j(job_start(request, owner->release(), image, sizeof image));
    ASSERT_NE(j, nullptr);
    EXPECT_EQ(owner->handle(), nullptr);
    EXPECT_EQ(fake.closed, 0) << "a released port is the job's";
    EXPECT_EQ(fake.dcb.BaudRate, 115200u) << "the job runs on the line as configured";
}

TEST_P(port_owner_ends, with_the_settings_put_back_and_the_port_closed_once)
{
    {
        port_owner owner(fake_ops);
        ASSERT_TRUE(owner.open("COM7"));
        ASSERT_TRUE(owner.configure(115200));
        EXPECT_EQ(fake.dcb.BaudRate, 115200u);
        if (GetParam().end == CLOSED) {
            owner.close();
            EXPECT_EQ(owner.handle(), nullptr);
        }
        if (GetParam().end == RELEASED_TO_A_JOB)
            hand_to_a_job(&owner);
    }
    EXPECT_EQ(fake.closed, 1);
    EXPECT_EQ(fake.dcb.BaudRate, 9600u);
}

INSTANTIATE_TEST_SUITE_P(port_owner, port_owner_ends,
                         testing::Values(end_case{"destroyed", DESTROYED}, end_case{"closed", CLOSED},
                                         end_case{"released_to_a_job", RELEASED_TO_A_JOB}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(port_owner_test, a_port_that_does_not_open_leaves_nothing_to_close)
{
    port_ops absent = fake_ops;
    absent.open = [](const char*) -> port_handle { return nullptr; };
    {
        port_owner owner(absent);
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
    {
        port_owner owner(fake_ops);
        ASSERT_TRUE(owner.open("COM7"));
        EXPECT_FALSE(owner.configure(115200));
    }
    EXPECT_EQ(fake.closed, 1);
    EXPECT_EQ(fake.set_state_calls, 0) << "nothing was saved, so nothing is put back";
}

#ifndef _WIN32
// Natively only: under wine, a thread held in the fake driver holds the test's
// other thread up as well, whatever the two wait on, so the check would
// measure wine rather than the owners.
// Two boards' ports: the driver of "stuck" keeps its configuration for up to
// 2 s, until the test lets it go; "prompt" answers at once.
struct driver_gate {
    std::mutex lock;
    std::condition_variable changed;
    bool stuck_inside = false;  // the stuck port's configuration has begun
    bool stuck_done = false;    // ...and has come back
    bool let_go = false;
};

driver_gate gate;
int stuck_port, prompt_port;  // their handles are these addresses

port_handle gated_open(const char* name)
{
    return std::string(name) == "stuck" ? &stuck_port : &prompt_port;
}

int gated_get_state(port_handle, DCB* dcb)
{
    *dcb = DCB{};
    return 1;
}

int gated_set_state(port_handle h, DCB*)
{
    if (h != &stuck_port)
        return 1;
    std::unique_lock<std::mutex> hold(gate.lock);
    gate.stuck_inside = true;
    gate.changed.notify_all();
    gate.changed.wait_for(hold, std::chrono::seconds(2), [] { return gate.let_go; });
    return 1;
}

int gated_get_timeouts(port_handle, COMMTIMEOUTS* to)
{
    *to = COMMTIMEOUTS{};
    return 1;
}

int gated_set_timeouts(port_handle, COMMTIMEOUTS*)
{
    return 1;
}

void gated_close(port_handle) {}

constexpr port_ops gated_ops = {gated_open, gated_get_state, gated_set_state, gated_get_timeouts, gated_set_timeouts,
                                fake_read,  fake_write,      fake_tick,       fake_alive,         gated_close, fake_modem};

TEST(port_owner_ports, a_port_stuck_in_its_driver_holds_up_no_other_port)
{
    using namespace std::chrono;
    std::thread stuck([] {
        port_owner owner(gated_ops);
        owner.open("stuck");
        owner.configure(115200);
        std::lock_guard<std::mutex> hold(gate.lock);
        gate.stuck_done = true;
    });
    bool stuck_began = false;
    {
        std::unique_lock<std::mutex> hold(gate.lock);
        stuck_began = gate.changed.wait_for(hold, seconds(10), [] { return gate.stuck_inside; });
    }
    steady_clock::time_point start = steady_clock::now();
    bool configured = false;
    {
        port_owner owner(gated_ops);
        configured = owner.open("prompt") && owner.configure(115200);
    }
    steady_clock::duration took = steady_clock::now() - start;
    bool stuck_still = false;
    {
        std::lock_guard<std::mutex> hold(gate.lock);
        stuck_still = !gate.stuck_done;
        gate.let_go = true;
    }
    gate.changed.notify_all();
    stuck.join();
    ASSERT_TRUE(stuck_began);
    EXPECT_TRUE(configured);
    EXPECT_TRUE(stuck_still) << "the stuck port came back before the other was done";
    EXPECT_LT(took, milliseconds(900)) << "the other port waited for the stuck one";
}

#endif

}  // namespace
