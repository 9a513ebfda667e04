// The loader probe (job_probe) against the fake device: what it sends, what
// it makes of each answer, and that the port it was lent stays open.
#include <gtest/gtest.h>

#include <algorithm>

#include "fake_device.h"
#include "job.h"
#include "lpkt.h"
#include "slip.h"

namespace {

job_config probe_config()
{
    job_config c;
    c.port = "fixture";
    c.seams.ops = &fake_device_ops;
    return c;
}

// "ACK" in the tagged framing: the device's tag, ours, the payload, and the
// check value over all of it, big-endian.
bytes tagged_ack()
{
    bytes packet(8, 0);
    put_be32(packet.data(), 0x5A454C31);
    put_be32(packet.data() + 4, 0);
    packet.insert(packet.end(), {'A', 'C', 'K', 0});
    uint8_t check[4];
    put_be32(check, crc32_calc(packet.data(), static_cast<int32_t>(packet.size())));
    packet.insert(packet.end(), check, check + 4);
    return slip_encode(packet);
}

struct probe_case {
    const char* name;
    bool answers;
    bool alive;
    job_probe_answer expected;
};

class probe_answers : public testing::TestWithParam<probe_case> {};

TEST_P(probe_answers, asks_program_0_0_once_and_leaves_the_port_open)
{
    use_fake_device();
    device.answer = GetParam().answers;
    fake.alive = GetParam().alive;
    EXPECT_EQ(job_probe(probe_config(), fake_line(fake_device_ops), 40), GetParam().expected);
    ASSERT_EQ(device.frames.size(), 1u);
    command c = command_of(device.frames[0]);
    EXPECT_EQ(c.name, "PROGRAM");
    EXPECT_EQ(c.p1, 0u);
    EXPECT_EQ(c.p2, 0u);
    EXPECT_EQ(device.frames[0].size(), 20u);  // name, two parameters, check value: no data
    EXPECT_EQ(fake.closed, 0);
    EXPECT_TRUE(std::any_of(fake.read_timeouts.begin(), fake.read_timeouts.end(),
                            [](const COMMTIMEOUTS& t) { return t.ReadTotalTimeoutConstant == 40; }))
        << "the answer is waited for as long as asked";
}

INSTANTIATE_TEST_SUITE_P(job_probe, probe_answers,
                         testing::Values(probe_case{"loader", true, true, JOB_PROBE_LOADER},
                                         probe_case{"silent", false, true, JOB_PROBE_SILENT},
                                         probe_case{"unplugged", false, false, JOB_PROBE_GONE}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(job_probe, a_board_answering_in_the_tagged_framing_is_asked_again_in_it)
{
    use_fake_device();
    device.acknowledges = [](const bytes&) {
        feed(tagged_ack());
        return false;
    };
    EXPECT_EQ(job_probe(probe_config(), fake_line(fake_device_ops), 40), JOB_PROBE_LOADER);
    EXPECT_EQ(device.frames.size(), 2u);
}

TEST(job_probe, noise_is_no_answer)
{
    use_fake_device();
    device.acknowledges = [](const bytes&) {
        feed({0xC0, 'A', 'C', 'K', 0, 1, 2, 3, 4, 0xC0});  // an ACK with a wrong check value
        return false;
    };
    EXPECT_EQ(job_probe(probe_config(), fake_line(fake_device_ops), 40), JOB_PROBE_SILENT);
}

}  // namespace
