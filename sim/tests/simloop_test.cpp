// The event loop's steps driven with a made-up clock and no line: frames in,
// replies out, timing of the line-speed model and of held replies, and the
// report built from the result.
#include "simloop.h"

#include <gtest/gtest.h>

#include <cstring>

#include "lpkt.h"
#include "report.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes command(const char* name, uint32_t p1, uint32_t p2, const bytes& data = {})
{
    bytes c(16, 0);
    std::memcpy(c.data(), name, std::strlen(name) + 1);
    put_le32(c.data() + 8, p1);
    put_le32(c.data() + 12, p2);
    c.insert(c.end(), data.begin(), data.end());
    return c;
}

bytes plain_frame(const bytes& payload)
{
    packet_endpoint tool;
    packet_endpoint_init(&tool, PACKET_PLAIN, 0);
    return slip_encode(packet_build(&tool, payload));
}

const bytes reset_command = {'R', 'E', 'S', 'E', 'T', 0, 0, 0};

const bytes plain_ack_frame = {0xC0, 0x41, 0x43, 0x4B, 0x00, 0x13, 0x45, 0xBD, 0x63, 0xC0};

struct SimloopTest : ::testing::Test {
    options opt;
    simloop sim;
    void SetUp() override { options_defaults(&opt); }
    void start() { simloop_init(&sim, opt, 0); }
    void feed(const bytes& wire, int64_t now_us)
    {
        simloop_take_bytes(&sim, wire.data(), wire.size(), now_us);
    }
    bytes step(int64_t now_us)
    {
        simloop_run_due(&sim, now_us);
        simloop_collect_writes(&sim, now_us);
        bytes out = sim.unsent;
        sim.unsent.clear();
        return out;
    }
};

TEST_F(SimloopTest, InstantLineAnswersAtOnceByteExact)
{
    start();
    feed(plain_frame(command("ERASE", 0, 1000)), 10);
    EXPECT_EQ(step(10), plain_ack_frame);
    EXPECT_EQ(sim.frames.received, 1);
    EXPECT_EQ(sim.frames.accepted, 1);
    ASSERT_EQ(sim.dev.log.size(), 1u);
    EXPECT_TRUE(sim.dev.log[0].reply_sent);
}

TEST_F(SimloopTest, BadFramesAreCountedAndNotAnswered)
{
    start();
    bytes broken = plain_frame(command("RESET", 0, 0));
    broken[3] ^= 0x01;
    feed(broken, 0);
    feed(bytes{0xC0, 0x41, 0xDB, 0x41, 0xC0}, 0);
    feed(plain_frame(command("FORMAT", 0, 0)), 0);
    EXPECT_TRUE(step(0).empty());
    EXPECT_EQ(sim.frames.bad_check, 1);
    EXPECT_EQ(sim.frames.bad_escape, 1);
    EXPECT_EQ(sim.frames.accepted, 1);
    EXPECT_EQ(sim.dev.log.back().outcome, DEVICE_UNKNOWN);
}

TEST_F(SimloopTest, AtBaudAFrameIsTakenAfterItsWireTimeAndTheReplyAfterItsOwn)
{
    opt.baud = 10000;  // one byte a millisecond
    start();
    bytes frame = plain_frame(command("PROGRAM", 0, 0));  // 22 bytes on the wire
    ASSERT_EQ(frame.size(), 22u);
    feed(frame, 1000);
    EXPECT_TRUE(step(1000 + 22000 - 1).empty());
    EXPECT_EQ(sim.frames.received, 0);
    EXPECT_TRUE(step(1000 + 22000).empty());  // taken; the reply is on the wire
    EXPECT_EQ(sim.frames.received, 1);
    EXPECT_EQ(simloop_next_due(&sim), 1000 + 22000 + 10000);
    EXPECT_TRUE(step(1000 + 32000 - 1).empty());
    EXPECT_EQ(step(1000 + 32000), plain_ack_frame);
}

TEST_F(SimloopTest, WireTimeRoundsUp)
{
    EXPECT_EQ(simloop_wire_us(0, 115200), 0);
    EXPECT_EQ(simloop_wire_us(1, 115200), 87);  // 86.8 us
    EXPECT_EQ(simloop_wire_us(11520, 115200), 1000000);
    EXPECT_EQ(simloop_wire_us(100, 0), 0);
}

TEST_F(SimloopTest, HeldWaitIsAnsweredWhenTheEraseEnds)
{
    opt.erase_ms_per_sector = 5;
    start();
    feed(plain_frame(command("ERASE", 0, 3 * 4096)), 0);  // 15 ms
    EXPECT_EQ(step(0), plain_ack_frame);
    feed(plain_frame(command("PROGRAM", 0, 0)), 1000);
    EXPECT_TRUE(step(1000).empty());
    EXPECT_EQ(simloop_next_due(&sim), 15000);
    EXPECT_TRUE(step(14999).empty());
    EXPECT_EQ(step(15000), plain_ack_frame);
    EXPECT_EQ(sim.dev.log[1].outcome, DEVICE_ANSWERED);
}

// A device that holds every question answers them together at the erase's
// end; a late-reply fault on any answer but the first is held to the spread.
TEST_F(SimloopTest, HeldAnswersOfOneEraseWaitComeTogether)
{
    opt.erase_ms_per_sector = 5;
    opt.erase_wait = DEVICE_WAIT_HOLD_ALL;
    opt.wait_spread_ms = 30;
    opt.aimed = {fault_at{3, FAULT_LATE_REPLY, 900000}};
    start();
    feed(plain_frame(command("ERASE", 0, 4096)), 0);  // 5 ms
    EXPECT_EQ(step(0), plain_ack_frame);
    feed(plain_frame(command("PROGRAM", 0, 0)), 1000);
    feed(plain_frame(command("PROGRAM", 0, 0)), 2000);
    EXPECT_TRUE(step(4999).empty());
    EXPECT_EQ(step(5000), plain_ack_frame);
    // 900 ms late, held to the spread behind the first.
    EXPECT_EQ(simloop_next_due(&sim), 5000 + 30000);
    EXPECT_EQ(step(5000 + 30000), plain_ack_frame);
}

TEST_F(SimloopTest, DeviceThatErasesFirstAnswersEraseAtTheEnd)
{
    opt.erase_ms_per_sector = 5;
    opt.erase_wait = DEVICE_WAIT_LATE_ERASE;
    start();
    feed(plain_frame(command("ERASE", 0, 2 * 4096)), 0);  // 10 ms
    EXPECT_TRUE(step(0).empty());
    EXPECT_TRUE(step(9999).empty());
    EXPECT_EQ(step(10000), plain_ack_frame);
}

TEST_F(SimloopTest, TaggedDeviceAnswersTaggedToThePlainTool)
{
    opt.tagged = true;
    opt.tag = 0x2A;
    start();
    feed(plain_frame(reset_command), 0);
    bytes reply = step(0);
    bytes expected = {0xC0, 0, 0, 0, 0x2A, 0, 0, 0, 0, 0x41, 0x43, 0x4B, 0x00};
    ASSERT_EQ(reply.size(), expected.size() + 5);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), reply.begin()));
}

TEST_F(SimloopTest, MuteAnswersNothingButLogsEverything)
{
    opt.mute = true;
    start();
    feed(plain_frame(command("ERASE", 0, 16)), 0);
    EXPECT_TRUE(step(0).empty());
    EXPECT_EQ(sim.replies.muted, 1);
    EXPECT_FALSE(sim.dev.log[0].reply_sent);
    EXPECT_EQ(sim.dev.log[0].fault, "mute");
}

TEST_F(SimloopTest, IgnoredFrameIsNotSeenByTheDevice)
{
    opt.faults[FAULT_IGNORE_FRAME] = fault_rule{0.0, 1};
    start();
    feed(plain_frame(command("ERASE", 0, 16)), 0);
    feed(plain_frame(command("ERASE", 0, 16)), 0);
    EXPECT_EQ(step(0), plain_ack_frame);
    EXPECT_EQ(sim.frames.ignored, 1);
    EXPECT_EQ(sim.dev.log.size(), 1u);
}

TEST_F(SimloopTest, SlowReplyComesOneByteAtATime)
{
    opt.faults[FAULT_SLOW_REPLY] = fault_rule{0.0, 1};
    opt.slow_gap_ms = 2;
    start();
    feed(plain_frame(reset_command), 0);
    bytes got;
    for (int64_t t = 0; t <= 2000 * 9; t += 2000) {
        bytes b = step(t);
        ASSERT_EQ(b.size(), 1u) << t;
        got.insert(got.end(), b.begin(), b.end());
    }
    EXPECT_EQ(got, plain_ack_frame);
}

TEST_F(SimloopTest, ReportListsCommandsCountsAndImageVerdict)
{
    start();
    bytes data = {0x12, 0x34};
    feed(plain_frame(command("ERASE", 0, 2)), 0);
    step(0);
    feed(plain_frame(command("PROGRAM", 0, 2, data)), 1500);
    step(1500);
    bytes broken = plain_frame(command("RESET", 0, 0));
    broken[2] ^= 1;
    feed(broken, 2000);
    step(2000);
    sim.end = SIMLOOP_STOPPED;
    sim.end_us = 3000;
    std::string json = report_json(&sim, image_check{true, 0, data});
    for (const char* part :
         {"\"framing\": \"plain\"", "\"end\": \"signal\"", "\"total_ms\": 3.000", "\"bad_frames\": 1",
          "\"image_match\": true", "\"image_length\": 2", "\"resets\": 0",
          "{\"name\": \"ERASE\", \"param1\": 0, \"param2\": 2, \"data_length\": 0, \"time_ms\": 0.000, "
          "\"answered\": true, \"outcome\": \"answered\", \"frame\": 1}",
          "{\"name\": \"PROGRAM\", \"param1\": 0, \"param2\": 2, \"data_length\": 2, \"time_ms\": 1.500, "
          "\"answered\": true, \"outcome\": \"answered\", \"frame\": 2}"})
        EXPECT_NE(json.find(part), std::string::npos) << part << "\n" << json;
    bytes other = {0x12, 0x35};
    EXPECT_NE(report_json(&sim, image_check{true, 0, other}).find("\"image_match\": false"), std::string::npos);
}

// The fixture on the virtual clock: board 1 seated in [0, 100) ms, board 2
// in [150, 250) ms, then the slot stays empty.
struct FixtureTest : SimloopTest {
    std::vector<std::pair<int32_t, int32_t>> events;  // board, board_event
    bytes probe = plain_frame(command("PROGRAM", 0, 0));

    void SetUp() override
    {
        SimloopTest::SetUp();
        opt.fixture = true;
        opt.plan.present_us = 100000;
        opt.plan.absent_us = 50000;
        opt.plan.boards = 2;
        opt.plan.loader_return_us = 50000;
    }
    void start()
    {
        SimloopTest::start();
        sim.slot.context = &events;
        sim.slot.on_board = [](void* context, int32_t board, int32_t event) {
            static_cast<std::vector<std::pair<int32_t, int32_t>>*>(context)->push_back({board, event});
        };
    }
    // The board's answer to a probe sent at ms.
    bytes probe_at(int64_t ms)
    {
        feed(probe, ms * 1000);
        return step(ms * 1000);
    }
};

TEST_F(FixtureTest, AnswersOnlyWhileABoardIsSeated)
{
    start();
    EXPECT_TRUE(step(0).empty());
    EXPECT_EQ(probe_at(10), plain_ack_frame);
    EXPECT_EQ(probe_at(99), plain_ack_frame);
    EXPECT_TRUE(probe_at(100).empty());
    EXPECT_TRUE(probe_at(149).empty());
    EXPECT_EQ(probe_at(150), plain_ack_frame);
    EXPECT_TRUE(probe_at(250).empty());
    EXPECT_TRUE(probe_at(400).empty());  // no third board
    EXPECT_EQ(sim.slot.frames_while_empty, 4);
    using e = std::pair<int32_t, int32_t>;
    EXPECT_EQ(events, (std::vector<e>{{1, BOARD_SEATED}, {1, BOARD_REMOVED}, {2, BOARD_SEATED}, {2, BOARD_REMOVED}}));
    ASSERT_EQ(sim.slot.boards.size(), 2u);
    EXPECT_EQ(sim.slot.boards[0].seated_us, 0);
    EXPECT_EQ(sim.slot.boards[0].removed_us, 100000);
    EXPECT_EQ(sim.slot.boards[0].frames.accepted, 2);
    EXPECT_EQ(sim.slot.boards[1].seated_us, 150000);
    EXPECT_EQ(sim.slot.boards[1].removed_us, 250000);
    EXPECT_EQ(sim.slot.boards[1].replies.sent, 1);
    EXPECT_EQ(simloop_next_due(&sim), INT64_MAX);
}

// Board 1 is programmed and pulled in the middle of an erase, with a question
// held; board 2 starts erased, with no erase running and nothing held.
TEST_F(FixtureTest, EachBoardStartsWithAnErasedFlashAndAFreshDevice)
{
    opt.erase_ms_per_sector = 10;
    opt.image_path = "image.bin";
    opt.reads = {fixture_read{0, 2}};
    bytes data = {0x12, 0x34};
    start();
    sim.slot.image = data;
    feed(plain_frame(command("ERASE", 0, 2)), 10000);
    EXPECT_EQ(step(10000), plain_ack_frame);
    feed(plain_frame(command("PROGRAM", 0, 2, data)), 30000);
    EXPECT_EQ(step(30000), plain_ack_frame);
    feed(plain_frame(command("ERASE", 0x100000, 0x100000 + 5 * 4096)), 90000);  // until 140 ms
    EXPECT_EQ(step(90000), plain_ack_frame);
    EXPECT_TRUE(probe_at(95).empty());  // held
    EXPECT_TRUE(step(140000).empty());  // its board is gone
    EXPECT_EQ(probe_at(155), plain_ack_frame);
    sim.end_us = 200000;
    simloop_close_boards(&sim, 200000);
    ASSERT_EQ(sim.slot.boards.size(), 2u);
    const board_record& first = sim.slot.boards[0];
    EXPECT_EQ(first.image_match, 1);
    EXPECT_EQ(first.reads, (std::vector<std::string>{"1234"}));
    EXPECT_EQ(first.outcomes[DEVICE_WAITING], 1);
    EXPECT_EQ(first.commands[BOARD_ERASE], 2);
    EXPECT_EQ(first.commands[BOARD_PROGRAM], 2);
    const board_record& second = sim.slot.boards[1];
    EXPECT_EQ(second.removed_us, -1);
    EXPECT_EQ(second.image_match, 0);
    EXPECT_EQ(second.reads, (std::vector<std::string>{"ffff"}));
    EXPECT_EQ(second.commands[BOARD_PROGRAM], 1);
    EXPECT_EQ(second.outcomes[DEVICE_ANSWERED], 1);
}

// A frame still on the wire when its board is pulled is never taken.
TEST_F(FixtureTest, BoardPulledWhileAFrameArrivesNeverAnswersIt)
{
    opt.baud = 10000;  // one byte a millisecond: the probe takes 22 ms
    start();
    EXPECT_TRUE(probe_at(80).empty());
    EXPECT_TRUE(step(102000).empty());
    EXPECT_TRUE(step(250000).empty());
    EXPECT_EQ(sim.slot.boards[0].frames.received, 0);
    EXPECT_EQ(sim.slot.boards[0].replies.sent, 0);
}

struct after_reset_case {
    int32_t after_reset;
    std::vector<int32_t> loader_boards;
    bool answers_again;  // board 1 answers 50 ms after its RESET
};

struct AfterReset : FixtureTest, ::testing::WithParamInterface<after_reset_case> {};

TEST_P(AfterReset, AppStaysSilentLoaderComesBack)
{
    opt.plan.after_reset = GetParam().after_reset;
    opt.plan.loader_boards = GetParam().loader_boards;
    start();
    bytes data = {0x5A};
    feed(plain_frame(command("PROGRAM", 0, 1, data)), 5000);
    EXPECT_EQ(step(5000), plain_ack_frame);
    feed(plain_frame(reset_command), 10000);
    EXPECT_EQ(step(10000), plain_ack_frame);  // the RESET's own answer
    EXPECT_TRUE(probe_at(20).empty());
    EXPECT_TRUE(step(59999).empty());
    EXPECT_EQ(probe_at(60), GetParam().answers_again ? plain_ack_frame : bytes{});
    EXPECT_EQ(sim.dev.memory.bytes[0], 0x5A);  // its flash stays what it got
    step(100000);
    const board_record& r = sim.slot.boards[0];
    EXPECT_EQ(r.back_to_loader, GetParam().answers_again);
    EXPECT_EQ(r.resets_us, (std::vector<int64_t>{10000}));
    EXPECT_EQ(r.app_frames, GetParam().answers_again ? 1 : 2);
}

INSTANTIATE_TEST_SUITE_P(Table, AfterReset,
                         ::testing::Values(after_reset_case{FIXTURE_APP, {}, false},
                                           after_reset_case{FIXTURE_LOADER, {}, true},
                                           after_reset_case{FIXTURE_APP, {1}, true},
                                           after_reset_case{FIXTURE_APP, {2}, false}));

TEST_F(FixtureTest, ReportListsEachBoard)
{
    opt.plan.loader_boards = {2};
    opt.reads = {fixture_read{0x10, 2}};
    start();
    probe_at(10);
    feed(plain_frame(reset_command), 20000);
    step(20000);
    step(150000);
    sim.end = SIMLOOP_BOARDS_DONE;
    sim.end_us = 160000;
    simloop_close_boards(&sim, 160000);
    std::string json = report_json(&sim, image_check{false, 0, {}});
    for (const char* part :
         {"\"end\": \"boards_done\"", "\"total_ms\": 160.000",
          "\"fixture\": {\"present_ms\": 100.000, \"absent_ms\": 50.000, \"boards\": 2, \"after_reset\": \"app\", "
          "\"loader_boards\": [2], \"loader_return_ms\": 50.000}",
          "\"frames_while_empty\": 0",
          "      \"board\": 1,\n      \"seated_ms\": 0.000,\n      \"removed_ms\": 100.000,\n      \"after_reset\": \"app\",",
          "\"commands\": {\"ERASE\": 0, \"PROGRAM\": 1, \"RTC_SET\": 0, \"RESET\": 1, \"other\": 0}",
          "\"resets\": 1,\n      \"reset_ms\": [20.000],", "\"reads\": [{\"addr\": 16, \"length\": 2, \"hex\": \"ffff\"}]",
          "      \"board\": 2,\n      \"seated_ms\": 150.000,\n      \"removed_ms\": null,\n      \"after_reset\": \"loader\","})
        EXPECT_NE(json.find(part), std::string::npos) << part << "\n" << json;
    EXPECT_EQ(json.find("image_match"), std::string::npos);
    EXPECT_EQ(json.find("\"commands\": ["), std::string::npos);
}

TEST(ReportQuote, EscapesQuotesBackslashesAndControls)
{
    EXPECT_EQ(report_quote("a\"b\\c\n"), "\"a\\\"b\\\\c\\u000a\"");
}

}  // namespace
