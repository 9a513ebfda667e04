// The programming job, fatal errors and the status line, against the fake
// device behind the port seam (fake_device.h), which acknowledges every frame.
// Runs natively and as a Windows executable.
#include "zel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "fake_device.h"
#include "host.h"
#include "lguard.h"
#include "local_time.h"
#include "lpkt.h"
#include "lprog.h"
#include "port.h"

namespace {

// The image the fake host hands out.
bytes image;

const uint8_t* fake_image(uint32_t* size)
{
    *size = static_cast<uint32_t>(image.size());
    return image.empty() ? nullptr : image.data();
}

std::vector<std::string> statuses;
uint32_t last_error_code;
bool alerted;

uint32_t fake_last_error()
{
    return last_error_code;
}

uint32_t fake_describe(uint32_t code, char* dst, uint32_t room)
{
    int n = std::snprintf(dst, room, "Description of error %u.\r\n", code);
    return n < 0 ? 0 : std::min(static_cast<uint32_t>(n), room - 1);
}

// A description that fills all the room it is given.
uint32_t flood_describe(uint32_t, char* dst, uint32_t room)
{
    std::memset(dst, 'x', room - 1);
    dst[room - 1] = '\0';
    return room - 1;
}

void fake_alert(const char* text, const char* caption)
{
    alerted = true;
    std::fprintf(stderr, "[%s]\n%s", caption, text);
}

void fake_beep(uint32_t hz, uint32_t ms)
{
    std::fprintf(stderr, "beep %u Hz %u ms %s the box\n", hz, ms, alerted ? "after" : "before");
}

void fake_status(const char* text)
{
    statuses.emplace_back(text);
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> out;
    std::stringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

// A job's objects live until the process ends, by design; the jobs of
// finished tests are kept here so that they stay reachable
// (never destroyed, so they are still reachable when leaks are looked for).
std::vector<job*>& jobs_kept = *new std::vector<job*>;

struct zel_fixture : testing::Test {
    job* j = nullptr;
    job_config request;

    void SetUp() override
    {
        use_fake_device();
        host = host_ops{fake_image, fake_last_error, fake_describe, fake_alert, fake_beep, fake_status};
        image.assign(600, 0);
        for (size_t i = 0; i < image.size(); ++i)
            image[i] = static_cast<uint8_t>(i % 251);
        statuses.clear();
        last_error_code = 0;
        alerted = false;
        request.port = "com7";
        request.baud = 115200;
        request.chunk = 256;
        request.addr = 0;
        request.seams = job_seams{&fake_device_ops, fixed_clock};
    }

    void TearDown() override
    {
        host = host_platform();
        jobs_kept.push_back(j);
    }

    int run_to_done(int limit = 1000)
    {
        int polls = 0;
        while (polls < limit && !zel_poll(j))
            ++polls;
        return polls;
    }
};

TEST_F(zel_fixture, poll_before_open_returns_0_and_does_no_io)
{
    EXPECT_EQ(zel_poll(j), 0);
    EXPECT_EQ(fake.reads, 0);
    EXPECT_EQ(fake.writes, 0);
    EXPECT_TRUE(fake.opened.empty());
}

TEST_F(zel_fixture, open_builds_the_job_and_a_second_open_changes_nothing)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(zel_open(&j, request), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, " . Opening serial port com7 at 115200 baud\n\nFlash Image Size 258\n");
    ASSERT_NE(j, nullptr);
    EXPECT_EQ(fake.writes, 0);

    job* first = j;
    int configured = fake.set_state_calls;
    testing::internal::CaptureStdout();
    EXPECT_EQ(zel_open(&j, request), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(j, first);
    EXPECT_EQ(fake.opened, (std::vector<std::string>{"com7"}));
    EXPECT_EQ(fake.set_state_calls, configured);
}

// The port is set up for the protocol and stays so: the job is never closed,
// not even once it is done.
TEST_F(zel_fixture, open_configures_the_port_for_the_rest_of_the_process)
{
    fake.dcb.BaudRate = 9600;
    testing::internal::CaptureStdout();
    zel_open(&j, request);
    run_to_done();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(fake.dcb.BaudRate, 115200u);
    EXPECT_EQ(fake.closed, 0);
}

TEST_F(zel_fixture, whole_sequence_with_the_copy_padded_by_erased_bytes)
{
    image.resize(300);
    testing::internal::CaptureStdout();
    zel_open(&j, request);
    bytes original = image;
    std::fill(image.begin(), image.end(), 0x77);  // the job works from its own copy
    int polls = run_to_done();
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_EQ(polls, 6);  // the seventh poll reports done

    std::vector<command> sent;
    for (const bytes& f : device.frames)
        sent.push_back(command_of(f));
    ASSERT_EQ(sent.size(), 7u);
    EXPECT_EQ(sent[0].name, "ERASE");
    EXPECT_EQ(sent[0].p2, 300u);
    EXPECT_EQ(sent[1].name, "PROGRAM");
    EXPECT_EQ(sent[2].p1, 0u);
    EXPECT_EQ(sent[3].p1, 256u);
    EXPECT_EQ(sent[3].p2, 512u);
    bytes last(original.begin() + 256, original.end());
    last.resize(256, 0xFF);
    EXPECT_EQ(sent[3].data, last);
    EXPECT_EQ(sent[4].data, bytes(original.begin(), original.begin() + 256));
    EXPECT_EQ(sent[5].name, "RTC_SET");
    EXPECT_EQ(sent[6].name, "RESET");
    EXPECT_NE(out.find(fixed_clock_text), std::string::npos) << out;
    EXPECT_NE(out.find("\nRESET\n"), std::string::npos) << out;
}

struct placement_case {
    size_t length;
    uint32_t addr;
};

class zel_placement : public zel_fixture, public testing::WithParamInterface<placement_case> {};

TEST_P(zel_placement, small_images_go_to_the_top_sector)
{
    image.resize(GetParam().length);
    testing::internal::CaptureStdout();
    zel_open(&j, request);
    run_to_done();
    testing::internal::GetCapturedStdout();
    ASSERT_GE(device.frames.size(), 3u);
    command erase = command_of(device.frames[0]);
    EXPECT_EQ(erase.p1, GetParam().addr);
    EXPECT_EQ(erase.p2, GetParam().addr + GetParam().length);
    EXPECT_EQ(command_of(device.frames[2]).p1, GetParam().addr);
}

INSTANTIATE_TEST_SUITE_P(zel, zel_placement,
                         testing::Values(placement_case{1, 0x1FF000}, placement_case{255, 0x1FF000},
                                         placement_case{256, 0}, placement_case{60044, 0}));

// A silent device may be erasing: ERASE goes out again only once its bound
// (2 s and 200 ms for the image's one sector) has passed, while every poll
// still prints its text, as the design's dialog does at every attempt.
TEST_F(zel_fixture, silent_device_keeps_the_job_repeating_erase)
{
    device.answer = false;
    fake.silent_read_ms = 120;
    testing::internal::CaptureStdout();
    zel_open(&j, request);
    size_t polls = 0;
    while (device.frames.size() < 2 && polls < 100) {
        EXPECT_EQ(zel_poll(j), 0);
        polls += 1;
    }
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_EQ(device.frames.size(), 2u);
    for (const bytes& f : device.frames)
        EXPECT_EQ(command_of(f).name, "ERASE");
    EXPECT_GT(polls, 2u);
    EXPECT_GE(fake.now, uint32_t{LGUARD_REPLY_MS + LGUARD_ERASE_SECTOR_MS});
    std::string texts;
    for (size_t i = 0; i < polls; ++i)
        texts += "Erasing...";
    EXPECT_NE(out.find(texts), std::string::npos);
}

TEST_F(zel_fixture, fatal_text_without_an_error_code)
{
    char text[ZEL_FATAL_SIZE];
    zel_fatal_text(text, "Could not create dialog", 0);
    EXPECT_EQ(lines_of(text), (std::vector<std::string>{"", "", "An Error has occurred as follows:",
                                                        "          Could not create dialog", "", "",
                                                        " The program will now abort", "", ""}));
    EXPECT_EQ(std::string(text).back(), '\n');
}

TEST_F(zel_fixture, fatal_text_with_an_error_code_and_its_description)
{
    char text[ZEL_FATAL_SIZE];
    zel_fatal_text(text, "Unable to open serial port. In use already, or not present", 2);
    EXPECT_EQ(lines_of(text),
              (std::vector<std::string>{"", "", "An Error has occurred as follows:",
                                        "          Unable to open serial port. In use already, or not present",
                                        "Error number 2 reported", "Description of error 2.\r", "", "",
                                        " The program will now abort", "", ""}));
}

TEST_F(zel_fixture, fatal_text_prints_the_code_as_a_signed_number)
{
    char text[ZEL_FATAL_SIZE];
    zel_fatal_text(text, "x", 0x80070005u);
    EXPECT_NE(std::string(text).find("Error number -2147024891 reported\n"), std::string::npos) << text;
}

TEST_F(zel_fixture, fatal_text_keeps_its_closing_line_whatever_the_description)
{
    host.describe_error = flood_describe;
    char text[ZEL_FATAL_SIZE + 16];
    std::memset(text, '#', sizeof text);
    zel_fatal_text(text, std::string(2000, 'w').c_str(), 5);
    std::string s(text);
    EXPECT_LT(s.size(), static_cast<size_t>(ZEL_FATAL_SIZE));
    EXPECT_EQ(s.substr(s.size() - 32), "\n\n The program will now abort\n\n\n");
    EXPECT_EQ(text[ZEL_FATAL_SIZE], '#');  // nothing written past the buffer

    std::string what(100, 'w');
    zel_fatal_text(text, what.c_str(), 5);
    s = text;
    EXPECT_EQ(s.size(), static_cast<size_t>(ZEL_FATAL_SIZE - 1));  // the description took all the room
    EXPECT_NE(s.find("Error number 5 reported\nxxx"), std::string::npos);
    EXPECT_EQ(s.substr(s.size() - 32), "\n\n The program will now abort\n\n\n");
}

TEST_F(zel_fixture, port_that_cannot_be_opened_is_fatal)
{
    port_ops absent = fake_device_ops;
    absent.open = [](const char*) -> port_handle { return nullptr; };
    request.seams.ops = &absent;
    last_error_code = 2;
    EXPECT_EXIT(zel_open(&j, request), testing::ExitedWithCode(1),
                "\\[Terminate Program\\]\n\n\nAn Error has occurred as follows:\n          Unable to open serial "
                "port\\. In use already, or not present\nError number 2 reported\nDescription of error 2\\.");
}

TEST_F(zel_fixture, fatal_beeps_only_after_the_box_and_exits_with_1)
{
    EXPECT_EXIT(zel_fatal("This program requires Windows NT"), testing::ExitedWithCode(1),
                "beep 200 Hz 1000 ms after the box");
}

TEST_F(zel_fixture, status_shows_the_text_and_replaces_the_last)
{
    zel_status(" - Idle - ");
    zel_status("Programming...");
    zel_status("%s %d", "chunk", 42);
    EXPECT_EQ(statuses, (std::vector<std::string>{" - Idle - ", "Programming...", "chunk 42"}));
}

TEST_F(zel_fixture, status_formats_within_its_buffer)
{
    std::string long_text(500, 's');
    zel_status("%s", long_text.c_str());
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_EQ(statuses[0], std::string(ZEL_STATUS_SIZE - 1, 's'));
}

}  // namespace
