// The programming job end to end: zel_open and a zel_poll loop program a
// zelsim process over a pty, as the main window drives them. The simulator's
// flash dump and report are then held against the image.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "host.h"
#include "local_time.h"
#include "lprog.h"
#include "zel.h"
#include "zelsim_harness.h"

namespace {

using namespace zelsim_harness;
using testing::HasSubstr;
using testing::Not;

enum device_test_constants : uint32_t {
    FLASH_SIZE = 2 * 1024 * 1024,
    STAND_IN_SIZE = 60044,
    MAX_POLLS = 5000,  // far more than any run here needs
};

const bytes expected_record = fixed_clock_record;

// The image a test hands the job in place of the embedded one.
bytes test_image;

const uint8_t* test_image_source(uint32_t* size)
{
    *size = static_cast<uint32_t>(test_image.size());
    return test_image.data();
}

// Jobs live until the process ends; kept reachable for the leak check.
std::vector<job*>& jobs_kept = *new std::vector<job*>;

struct zel_device : testing::Test {
    temp_dir dir;
    std::filesystem::path link = dir.path / "ttyZEL";
    std::filesystem::path report_path = dir.path / "report.json";
    std::filesystem::path dump_path = dir.path / "flash.bin";
    std::filesystem::path image_path = dir.path / "image.bin";
    std::string console;
    std::string report;
    bytes dump;
    int polls = 0;
    double seconds = 0;

    void TearDown() override { host = host_platform(); }

    // Programs `image` (the embedded one when empty) into a simulator started
    // with the extra options, and collects the console, report and flash.
    void program(const bytes& image, const std::vector<std::string>& extra)
    {
        {
            std::ofstream out(image_path, std::ios::binary);
            out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
        }
        std::vector<std::string> args = {"--link", link.string(), "--report", report_path.string(),
                                         "--flash-dump", dump_path.string(), "--exit-after-reset-ms", "300",
                                         "--time-limit-s", "300"};
        args.insert(args.end(), extra.begin(), extra.end());
        std::string listening;
        std::unique_ptr<child_process> sim = start_zelsim(args, &listening);
        ASSERT_TRUE(sim) << "zelsim did not start";

        job* j = nullptr;
        std::string port_name = link.string();
        job_config request;
        request.port = port_name.c_str();
        request.baud = 115200;
        request.chunk = 256;
        request.addr = 0;
        request.seams.clock = fixed_clock;
        testing::internal::CaptureStdout();
        auto begin = std::chrono::steady_clock::now();
        zel_open(&j, request);
        while (polls < static_cast<int>(MAX_POLLS) && !zel_poll(j))
            ++polls;
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        console = testing::internal::GetCapturedStdout();
        jobs_kept.push_back(j);

        ASSERT_FALSE(sim->finish(std::chrono::seconds(10)).timed_out) << "zelsim did not end after RESET";
        ASSERT_LT(polls, static_cast<int>(MAX_POLLS)) << "the job did not finish";
        report = read_text(report_path);
        dump = read_file(dump_path);
        std::printf("[ figures  ] %s: %zu bytes, %d polls, %.2f s\n",
                    testing::UnitTest::GetInstance()->current_test_info()->name(), image.size(), polls + 1,
                    seconds);
    }

    // The image at addr, then erased flash up to the end of its last chunk.
    void expect_flash_holds(const bytes& image, uint32_t addr)
    {
        ASSERT_EQ(dump.size(), static_cast<size_t>(FLASH_SIZE));
        auto at = dump.begin() + addr;
        EXPECT_TRUE(std::equal(image.begin(), image.end(), at)) << "image differs in the flash";
        size_t padded_end = addr + (image.size() + CHUNK - 1) / CHUNK * CHUNK;
        EXPECT_TRUE(std::all_of(at + static_cast<long>(image.size()), dump.begin() + static_cast<long>(padded_end),
                                [](uint8_t b) { return b == 0xFF; }))
            << "the last chunk's padding cleared bits";
    }
};

bytes embedded_image()
{
    uint32_t size = 0;
    const uint8_t* data = host_platform().image(&size);
    return bytes(data, data + size);
}

TEST_F(zel_device, stand_in_image_is_programmed_whole)
{
    bytes image = embedded_image();
    ASSERT_EQ(image.size(), static_cast<size_t>(STAND_IN_SIZE));
    ASSERT_NE(std::count(image.begin(), image.end(), 0xC0), 0);
    ASSERT_NE(std::count(image.begin(), image.end(), 0xDB), 0);
    program(image, {"--image", image_path.string()});
    expect_flash_holds(image, 0);
    EXPECT_EQ(commands_in(report), expected_sequence(STAND_IN_SIZE, expected_record)) << report;
    EXPECT_THAT(report, HasSubstr("\"image_match\": true"));

    EXPECT_TRUE(console.starts_with(" . Opening serial port " + link.string() + " at 115200 baud\n"));
    EXPECT_THAT(console, HasSubstr("\nFlash Image Size ea8c\n"));
    EXPECT_THAT(console, HasSubstr("Erasing..."));
    EXPECT_THAT(console, HasSubstr("Waiting for erase complete..."));
    EXPECT_THAT(console, HasSubstr("\rProgramming    0\r\rProgramming  100\r"));
    EXPECT_THAT(console, HasSubstr("\rProgramming ea00\r\rProgramming    0\r"));
    EXPECT_THAT(console, HasSubstr(fixed_clock_text));
    EXPECT_TRUE(console.ends_with("\nRESET\n")) << console.substr(console.size() - 40);
}

TEST_F(zel_device, stand_in_image_over_a_115200_baud_line)
{
    bytes image = embedded_image();
    program(image, {"--baud", "115200", "--erase-ms-per-sector", "25", "--program-ms", "1"});
    expect_flash_holds(image, 0);
    EXPECT_EQ(carried_out(commands_in(report)), expected_sequence(STAND_IN_SIZE, expected_record));
}

struct placement_case {
    size_t length;
    uint32_t addr;
};

class zel_device_placement : public zel_device, public testing::WithParamInterface<placement_case> {};

TEST_P(zel_device_placement, image_lands_at_its_address)
{
    test_image = make_image(GetParam().length);
    host.image = test_image_source;
    program(test_image, {});
    expect_flash_holds(test_image, GetParam().addr);
    EXPECT_EQ(commands_in(report), expected_sequence(static_cast<uint32_t>(GetParam().length), expected_record,
                                                     GetParam().addr));
    // Nothing below the image was touched.
    EXPECT_TRUE(std::all_of(dump.begin(), dump.begin() + GetParam().addr, [](uint8_t b) { return b == 0xFF; }));
}

INSTANTIATE_TEST_SUITE_P(zel, zel_device_placement,
                         testing::Values(placement_case{255, 0x1FF000}, placement_case{256, 0}));

struct unreliable_case {
    const char* name;
    std::vector<std::string> options;
    std::vector<std::string> not_in_report;  // shows that the device did misbehave
};

class zel_device_unreliable : public zel_device, public testing::WithParamInterface<unreliable_case> {};

TEST_P(zel_device_unreliable, job_still_completes_with_the_right_flash)
{
    test_image = make_image(6000);
    host.image = test_image_source;
    program(test_image, GetParam().options);
    expect_flash_holds(test_image, 0);
    EXPECT_EQ(carried_out(commands_in(report)), expected_sequence(6000, expected_record)) << report;
    for (const std::string& text : GetParam().not_in_report)
        EXPECT_THAT(report, Not(HasSubstr(text)));
}

INSTANTIATE_TEST_SUITE_P(
    zel, zel_device_unreliable,
    testing::Values(unreliable_case{"tagged", {"--tag", "0x5A17"}, {"\"framing\": \"plain\""}},
                    unreliable_case{"drops_10_percent", {"--drop-reply", "10%", "--seed", "3"}, {"\"drop_reply\": 0,"}},
                    unreliable_case{"corrupts_10_percent", {"--flip-reply", "10%", "--seed", "4"},
                                    {"\"flip_reply\": 0,"}},
                    unreliable_case{"tagged_lossy_and_noisy",
                                    {"--tag", "7", "--drop-reply", "10%", "--flip-reply", "10%", "--noise", "10%",
                                     "--seed", "5"},
                                    {"\"framing\": \"plain\"", "\"drop_reply\": 0,", "\"flip_reply\": 0,",
                                     "\"noise\": 0,"}}),
    [](const testing::TestParamInfo<unreliable_case>& i) { return std::string(i.param.name); });

}  // namespace
