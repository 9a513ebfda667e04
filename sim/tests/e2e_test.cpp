// End to end: the tool's own protocol stack (lprog over lpkt over ser, on the
// POSIX port) programs an image into a zelsim process over a pty, driven in a
// loop as the programming job drives it, and the simulator's flash dump and
// report are then held against the image and the expected command sequence.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "layer.h"
#include "line.h"
#include "local_time.h"
#include "lpkt.h"
#include "lprog.h"
#include "mlb.h"
#include "plm.h"
#include "port.h"
#include "ser.h"
#include "zelsim_harness.h"

namespace {

using namespace zelsim_harness;
using testing::HasSubstr;
using testing::Not;

enum e2e_constants : int32_t {
    BUFFER_CAPACITY = 10000,  // the serial layer receives into a 10000-byte region
    HEADROOM = 12,
    MAX_POLLS = 3000,         // far more than any run here needs, even with faults
};

// The clock the tool reads for RTC_SET is the tests' fixed one.
const bytes expected_record = fixed_clock_record;


// The tool's stack, as the programming job builds it; freed at the end of the
// test. The port itself is never closed, as in the tool: its handle is kept
// here for the life of the test program.
std::deque<ser_port>& ports_kept_open = *new std::deque<ser_port>;

// Opens a port on the platform and sets it up; null when it does not open.
ser_port* open_kept(const std::string& path)
{
    const port_ops& ops = port_platform();
    ser_port& line = ports_kept_open.emplace_back(ser_port{&ops, ops.open(path.c_str()), 0, {}, {}});
    if (line.handle == nullptr)
        return nullptr;
    ser_config(&line, 115200, 120000);
    return &line;
}

struct tool_stack {
    mlb* m = mlb_alloc(BUFFER_CAPACITY);
    layer* prog = lprog_alloc();
    layer* pkt = lpkt_alloc();
    layer* link = layer_alloc();
    plm* stack = plm_alloc();

    explicit tool_stack(ser_port* line)
    {
        lprog_init(prog, nullptr, fixed_clock);
        lpkt_init(pkt);
        ser_bind(link, line);
        plm_insert(stack, prog, PLM_TOP, nullptr);
        plm_insert(stack, pkt, PLM_BELOW, prog);
        plm_insert(stack, link, PLM_BELOW, pkt);
        lpkt_set_peer(pkt, 0);
    }
    ~tool_stack()
    {
        std::free(prog->p_);
        std::free(prog);
        std::free(pkt->p_);
        std::free(pkt);
        std::free(link);
        std::free(stack);
        std::free(m);
    }
    tool_stack(const tool_stack&) = delete;
    tool_stack& operator=(const tool_stack&) = delete;
};

struct run_result {
    bool done = false;
    int polls = 0;
    double seconds = 0;
};

// Empty the buffer with 12 bytes of headroom, transmit, receive, until done.
run_result program_image(const std::string& port_path, const bytes& image_copy, uint32_t total)
{
    run_result r;
    ser_port* line = open_kept(port_path);
    if (!line)
        return r;
    tool_stack s(line);
    lprog_start(s.prog, image_copy.data(), total, 0, CHUNK);
    auto begin = std::chrono::steady_clock::now();
    while (!lprog_done(s.prog) && r.polls < MAX_POLLS) {
        mlb_reset(s.m, 0, HEADROOM);
        plm_tx(s.stack, s.m);
        plm_rx(s.stack, s.m);
        r.polls += 1;
    }
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    r.done = lprog_done(s.prog) != 0;
    return r;
}

struct E2eTest : ::testing::Test {
    temp_dir dir;
    std::filesystem::path link = dir.path / "com3";
    std::filesystem::path report_path = dir.path / "report.json";
    std::filesystem::path dump_path = dir.path / "flash.bin";
    std::filesystem::path image_path = dir.path / "image.bin";
    std::string report;
    bytes dump;
    run_result run;


    // Runs the simulator with extra options and programs `image` into it.
    // Starts the simulator and leaves it running; for runs that end otherwise.
    std::unique_ptr<child_process> start_only(const std::vector<std::string>& extra)
    {
        std::vector<std::string> args = {"--link", link.string(), "--report", report_path.string()};
        args.insert(args.end(), extra.begin(), extra.end());
        std::string listening;
        return start_zelsim(args, &listening);
    }

    void program_with(const bytes& image, const std::vector<std::string>& extra)
    {
        {
            std::ofstream out(image_path, std::ios::binary);
            out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
        }
        std::vector<std::string> args = {"--link", link.string(), "--report", report_path.string(),
                                         "--flash-dump", dump_path.string(), "--image", image_path.string(),
                                         "--exit-after-reset-ms", "300", "--time-limit-s", "200"};
        args.insert(args.end(), extra.begin(), extra.end());
        std::string listening;
        std::unique_ptr<child_process> sim = start_zelsim(args, &listening);
        ASSERT_TRUE(sim) << "zelsim did not start";
        EXPECT_THAT(listening, HasSubstr("zelsim: listening on /dev/pts/"));
        EXPECT_THAT(listening, HasSubstr(link.string()));
        bytes copy = padded(image);
        run = program_image(link.string(), copy, static_cast<uint32_t>(image.size()));
        child_end end = sim->finish(std::chrono::seconds(10));
        ASSERT_FALSE(end.timed_out) << "zelsim did not end after RESET";
        EXPECT_EQ(end.status, 0);
        ASSERT_TRUE(run.done) << "not done after " << run.polls << " polls";
        report = read_text(report_path);
        dump = read_file(dump_path);
        std::printf("[ zelsim ] %s: %zu bytes in %.3f s, %d polls\n",
                    ::testing::UnitTest::GetInstance()->current_test_info()->name(), image.size(), run.seconds,
                    run.polls);
    }

    void expect_flash_holds(const bytes& image)
    {
        ASSERT_EQ(dump.size(), 2u * 1024u * 1024u);
        EXPECT_TRUE(std::equal(image.begin(), image.end(), dump.begin())) << "image differs in the flash";
        EXPECT_TRUE(std::all_of(dump.begin() + static_cast<std::ptrdiff_t>(image.size()), dump.end(),
                                [](uint8_t b) { return b == 0xFF; }))
            << "flash written behind the image";
        EXPECT_THAT(report, HasSubstr("\"image_match\": true"));
        EXPECT_THAT(report, HasSubstr("\"record\": [26, 12, 8, 5, 6, 7, 0, 0]"));
        EXPECT_THAT(report, HasSubstr("\"end\": \"reset\""));
        // Every RESET the device took counts, repeated ones included.
        size_t resets = 0;
        for (const logged_command& c : commands_in(report))
            resets += c.name == "RESET" && c.outcome == "answered";
        EXPECT_GE(resets, 1u);
        EXPECT_THAT(report, HasSubstr("\"resets\": " + std::to_string(resets) + ","));
    }
};

TEST_F(E2eTest, PlainDeviceGetsTheImageAndTheWholeSequence)
{
    bytes image = make_image(1000);
    program_with(image, {"--erase-ms-per-sector", "50"});
    expect_flash_holds(image);
    // Nothing was lost, so nothing is repeated: the log is the sequence itself.
    EXPECT_EQ(commands_in(report), expected_sequence(1000, expected_record)) << report;
    EXPECT_THAT(report, HasSubstr("\"framing\": \"plain\""));
    EXPECT_THAT(report, HasSubstr("\"bad_frames\": 0"));
}

TEST_F(E2eTest, PlainDeviceAtALineSpeedOf115200Baud)
{
    bytes image = make_image(1000);
    program_with(image, {"--baud", "115200"});
    expect_flash_holds(image);
    EXPECT_EQ(commands_in(report), expected_sequence(1000, expected_record)) << report;
    EXPECT_THAT(report, HasSubstr("\"baud\": 115200"));
}

TEST_F(E2eTest, EraseLongerThanTheToolsTimeOutIsWaitedFor)
{
    bytes image = make_image(1000);
    program_with(image, {"--erase-ms-per-sector", "400"});
    expect_flash_holds(image);
    std::vector<logged_command> all = commands_in(report);
    EXPECT_EQ(carried_out(all), expected_sequence(1000, expected_record)) << report;
    // The tool gave up on the first PROGRAM(0, 0) after 120 ms and asked again;
    // only the last one asked was answered, when the erase had ended.
    size_t superseded = 0;
    for (const logged_command& c : all)
        superseded += c.outcome == "superseded";
    EXPECT_GE(superseded, 1u) << report;
    EXPECT_GE(run.seconds, 0.4);
}

TEST_F(E2eTest, TaggedDeviceIsFoundAndAddressed)
{
    bytes image = make_image(1000);
    program_with(image, {"--tag", "0x5A17"});
    expect_flash_holds(image);
    std::vector<logged_command> all = commands_in(report);
    // The first ERASE came plain; its tagged reply taught the tool the framing,
    // and the tool sent it again, tagged.
    ASSERT_GE(all.size(), 2u);
    EXPECT_EQ(all[0].name, "ERASE");
    EXPECT_EQ(all[1].name, "ERASE");
    EXPECT_EQ(carried_out(all), expected_sequence(1000, expected_record)) << report;
    EXPECT_THAT(report, HasSubstr("\"framing\": \"tagged\""));
    EXPECT_THAT(report, HasSubstr("\"device_tag\": 23063"));
    EXPECT_THAT(report, HasSubstr("\"not_addressed\": 0"));
}

TEST_F(E2eTest, LostAndCorruptedRepliesAreRepeatedUntilDone)
{
    bytes image = make_image(4000);
    program_with(image, {"--drop-reply", "0.1", "--flip-reply", "0.1", "--seed", "10"});
    expect_flash_holds(image);
    EXPECT_EQ(carried_out(commands_in(report)), expected_sequence(4000, expected_record)) << report;
    EXPECT_THAT(report, Not(HasSubstr("\"drop_reply\": 0,")));
    EXPECT_THAT(report, Not(HasSubstr("\"flip_reply\": 0,")));
}

TEST_F(E2eTest, ReportIsWrittenOnTerminationEvenWhenMute)
{
    std::unique_ptr<child_process> sim = start_only({"--mute"});
    ASSERT_TRUE(sim);
    ser_port* line = open_kept(link.string());
    ASSERT_NE(line, nullptr);
    tool_stack s(line);
    bytes image = padded(make_image(300));
    lprog_start(s.prog, image.data(), 300, 0, CHUNK);
    for (int poll = 0; poll < 3; ++poll) {
        mlb_reset(s.m, 0, HEADROOM);
        plm_tx(s.stack, s.m);
        plm_rx(s.stack, s.m);
    }
    EXPECT_EQ(lprog_done(s.prog), 0);
    sim->signal(SIGTERM);
    child_end end = sim->finish(std::chrono::seconds(5));
    ASSERT_FALSE(end.timed_out);
    EXPECT_EQ(end.status, 0);
    report = read_text(report_path);
    EXPECT_THAT(report, HasSubstr("\"end\": \"signal\""));
    EXPECT_THAT(report, HasSubstr("\"mute\": 3"));
    EXPECT_THAT(report, HasSubstr("\"replies_sent\": 0"));
    std::vector<logged_command> all = commands_in(report);
    ASSERT_EQ(all.size(), 3u) << report;
    for (const logged_command& c : all)
        EXPECT_EQ(c, (logged_command{"ERASE", 0, 300, 0, "answered"}));
}

TEST_F(E2eTest, TimeLimitEndsASilentRun)
{
    std::unique_ptr<child_process> sim = start_only({"--time-limit-s", "0.2"});
    ASSERT_TRUE(sim);
    child_end end = sim->finish(std::chrono::seconds(5));
    ASSERT_FALSE(end.timed_out);
    EXPECT_EQ(end.status, 0);
    report = read_text(report_path);
    EXPECT_THAT(report, HasSubstr("\"end\": \"time_limit\""));
    EXPECT_THAT(report, HasSubstr("\"commands\": []"));
    EXPECT_FALSE(std::filesystem::exists(link)) << "the link outlived the simulator";
}

}  // namespace
