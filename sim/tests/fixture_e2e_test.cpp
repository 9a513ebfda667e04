// End to end on the fixture: a zelsim process with --fixture, one pty for the
// whole run, and a tiny client that sends frames as a station would: it
// programs board 1 (which then runs its application), finds the slot empty,
// programs board 2 (which comes back into its loader), and holds the report
// and the per-board flash dumps against what each board was given.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "packet.h"
#include "slip.h"
#include "zelsim_harness.h"

namespace {

using namespace zelsim_harness;
using namespace std::chrono_literals;
using testing::HasSubstr;
using testing::Not;

const bytes plain_ack_frame = {0xC0, 0x41, 0x43, 0x4B, 0x00, 0x13, 0x45, 0xBD, 0x63, 0xC0};

bytes command(const char* name, uint32_t p1, uint32_t p2, const bytes& data = {})
{
    bytes c(16, 0);
    std::memcpy(c.data(), name, std::strlen(name) + 1);
    put_le32(c.data() + 8, p1);
    put_le32(c.data() + 12, p2);
    c.insert(c.end(), data.begin(), data.end());
    return c;
}

// The station's side of the port: one frame out, then the "ACK" awaited.
struct station_client {
    unique_fd port;

    explicit station_client(const std::string& path) : port(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {}

    // True when the "ACK" frame comes back within `wait`.
    bool ask(const bytes& payload, std::chrono::milliseconds wait)
    {
        packet_endpoint tool;
        packet_endpoint_init(&tool, PACKET_PLAIN, 0);
        bytes wire = slip_encode(packet_build(&tool, payload));
        if (::write(port.get(), wire.data(), wire.size()) != static_cast<ssize_t>(wire.size()))
            return false;
        bytes got;
        auto give_up = std::chrono::steady_clock::now() + wait;
        while (std::search(got.begin(), got.end(), plain_ack_frame.begin(), plain_ack_frame.end()) == got.end()) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(give_up - std::chrono::steady_clock::now());
            pollfd p{port.get(), POLLIN, 0};
            uint8_t block[256];
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
                return false;
            ssize_t n = ::read(port.get(), block, sizeof block);
            if (n > 0)
                got.insert(got.end(), block, block + n);
        }
        return true;
    }

    bool probe(std::chrono::milliseconds wait) { return ask(command("PROGRAM", 0, 0), wait); }

    // ERASE, PROGRAM(0, 0), every chunk, RESET: each one answered.
    bool program(const bytes& image)
    {
        bytes copy = padded(image);
        uint32_t n = static_cast<uint32_t>(image.size());
        if (!ask(command("ERASE", 0, n), 2s) || !probe(2s))
            return false;
        for (uint32_t a = 0; a < copy.size(); a += CHUNK)
            if (!ask(command("PROGRAM", a, a + CHUNK, bytes(copy.begin() + a, copy.begin() + a + CHUNK)), 2s))
                return false;
        return ask(bytes{'R', 'E', 'S', 'E', 'T', 0, 0, 0}, 2s);
    }
};

// An image with a serial number at 0x100.
bytes board_image(size_t n, uint8_t serial)
{
    bytes image = make_image(n);
    bytes number = {0x5A, 0x17, 0x00, serial};
    std::copy(number.begin(), number.end(), image.begin() + 0x100);
    return image;
}

void expect_flash_holds(const bytes& dump, const bytes& image)
{
    ASSERT_EQ(dump.size(), 2u * 1024u * 1024u);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), dump.begin())) << "image differs in the flash";
    EXPECT_TRUE(std::all_of(dump.begin() + static_cast<std::ptrdiff_t>(image.size()), dump.end(),
                            [](uint8_t b) { return b == 0xFF; }))
        << "flash written behind the image";
}

struct FixtureE2eTest : ::testing::Test {
    temp_dir dir;
    std::filesystem::path link = dir.path / "com7";
    std::filesystem::path report_path = dir.path / "report.json";
    std::filesystem::path dump_path = dir.path / "flash.bin";
    std::filesystem::path image_path = dir.path / "image.bin";

    std::unique_ptr<child_process> start(const bytes& image)
    {
        std::ofstream(image_path, std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
        std::string listening;
        return start_zelsim({"--link", link.string(), "--report", report_path.string(), "--fixture", "--boards", "2",
                             "--present-ms", "2000", "--absent-ms", "1500", "--loader-boards", "2",
                             "--exit-after-reset-ms", "100", "--time-limit-s", "60", "--image", image_path.string(),
                             "--read", "0x100:4", "--flash-dump", dump_path.string()},
                            &listening);
    }
};

TEST_F(FixtureE2eTest, TwoBoardsThroughOnePort)
{
    bytes first = board_image(5000, 1), second = board_image(1000, 2);
    std::unique_ptr<child_process> sim = start(first);
    ASSERT_TRUE(sim) << "zelsim did not start";
    std::string status;
    ASSERT_TRUE(sim->read_line(&status));
    EXPECT_EQ(status, "zelsim: board 1 seated");
    station_client station(link.string());
    ASSERT_GE(station.port.get(), 0);
    ASSERT_TRUE(station.program(first));
    EXPECT_FALSE(station.probe(300ms)) << "board 1 runs its application";
    ASSERT_TRUE(sim->read_line(&status));
    EXPECT_EQ(status, "zelsim: board 1 removed");
    EXPECT_FALSE(station.probe(300ms)) << "the slot is empty";
    ASSERT_TRUE(sim->read_line(&status));
    EXPECT_EQ(status, "zelsim: board 2 seated");
    ASSERT_TRUE(station.program(second));
    bool back = false;
    for (auto give_up = std::chrono::steady_clock::now() + 5s; !back && std::chrono::steady_clock::now() < give_up;)
        back = station.probe(150ms);
    EXPECT_TRUE(back) << "board 2 came back into its loader";
    ASSERT_TRUE(sim->read_line(&status));
    EXPECT_EQ(status, "zelsim: board 2 removed");
    child_end end = sim->finish(10s);
    ASSERT_FALSE(end.timed_out) << "zelsim did not end after the last board";
    EXPECT_EQ(end.status, 0);
    std::string report = read_text(report_path);
    EXPECT_THAT(report, HasSubstr("\"end\": \"boards_done\""));
    EXPECT_THAT(report, HasSubstr("\"board\": 1,\n      \"seated_ms\": 0.000,\n      \"removed_ms\": 2000.000,\n"
                                  "      \"after_reset\": \"app\","));
    EXPECT_THAT(report, HasSubstr("\"board\": 2,\n      \"seated_ms\": 3500.000,\n      \"removed_ms\": 5500.000,\n"
                                  "      \"after_reset\": \"loader\","));
    EXPECT_THAT(report, HasSubstr("\"app_frames\": 1,"));
    EXPECT_THAT(report, HasSubstr("\"image_match\": true,\n      \"reads\": [{\"addr\": 256, \"length\": 4, \"hex\": \"5a170001\"}]"));
    EXPECT_THAT(report, HasSubstr("\"image_match\": false,\n      \"reads\": [{\"addr\": 256, \"length\": 4, \"hex\": \"5a170002\"}]"));
    EXPECT_THAT(report, Not(HasSubstr("\"frames_while_empty\": 0,")));
    expect_flash_holds(read_file(dump_path.string() + ".1"), first);
    expect_flash_holds(read_file(dump_path.string() + ".2"), second);
}

}  // namespace
