// The board log: whole lines, appended, and a line cut short by an earlier
// crash left alone with the new records on lines of their own; what a record
// holds.
#include "outputs/board_log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "lprog.h"
#include "platform/sha256.h"

namespace {

namespace fs = std::filesystem;

struct log_file : testing::Test {
    fs::path path = fs::temp_directory_path() /
                    ("zelflash-log-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    ~log_file() override
    {
        std::error_code ec;
        fs::remove(path, ec);
    }
    void put(const std::string& text) { std::ofstream(path, std::ios::binary) << text; }
    std::string text() const
    {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream all;
        all << in.rdbuf();
        return all.str();
    }
};

struct torn_case {
    const char* label;
    std::string before;  // the file as an earlier run left it
    bool torn;
    std::string after;   // with the record {"port":"dev2"} appended
};

class appending : public log_file, public testing::WithParamInterface<torn_case> {};

TEST_P(appending, leaves_what_was_there_and_starts_each_record_on_its_own_line)
{
    const torn_case& c = GetParam();
    if (c.before != "none")
        put(c.before);
    board_log log;
    std::string error;
    ASSERT_TRUE(log.open(path.string(), &error)) << error;
    EXPECT_EQ(log.found_torn(), c.torn);
    ASSERT_TRUE(log.append({{"port", "dev2"}}, &error)) << error;
    ASSERT_TRUE(log.append({{"port", "dev3"}}, &error)) << error;
    ASSERT_TRUE(log.close(&error)) << error;
    EXPECT_EQ(text(), c.after + "{\"port\":\"dev3\"}\n");
}

INSTANTIATE_TEST_SUITE_P(
    log, appending,
    testing::Values(torn_case{"new_file", "none", false, "{\"port\":\"dev2\"}\n"},
                    torn_case{"empty_file", "", false, "{\"port\":\"dev2\"}\n"},
                    torn_case{"whole_lines", "{\"port\":\"dev1\"}\n", false,
                              "{\"port\":\"dev1\"}\n{\"port\":\"dev2\"}\n"},
                    torn_case{"last_line_cut_short", "{\"port\":\"dev0\"}\n{\"port\":\"de", true,
                              "{\"port\":\"dev0\"}\n{\"port\":\"de\n{\"port\":\"dev2\"}\n"}),
    [](const auto& info) { return info.param.label; });

TEST_F(log_file, a_log_that_cannot_be_opened_is_named_in_the_error)
{
    board_log log;
    std::string error;
    fs::path inside = path / "boards.log";  // its folder does not exist
    EXPECT_FALSE(log.open(inside.string(), &error));
    EXPECT_THAT(error, testing::StartsWith(inside.string() + ": cannot open the log for appending: "));
    EXPECT_FALSE(log.is_open());
}

TEST(board_log, log_line_holds_every_field)
{
    image img;
    img.bytes.assign(1000, 0xAB);
    img.addr = 0x4000;
    img.name = "fw.hex";
    img.file_sha256 = "f11e";  // the text's own, which differs from the placed bytes'

    board_log_record r;
    r.start = std::chrono::system_clock::from_time_t(1796720000) + std::chrono::milliseconds(5);
    r.end = r.start + std::chrono::milliseconds(1250);
    r.port = port_info{"/dev/ttyACM3", "board", 0x2e8a, 0x000a, "E6614C311B", "Maker"};
    r.img = &img;
    r.view.state = BOARD_FINISHED;
    r.view.image_sha256 = sha256_hex(img.bytes);
    r.view.at = sink_progress{LPROG_PROGRAM, 0x4100, 256, 1000, 3};
    r.view.seconds = 1.25;
    r.view.end = board_end_of(run_outcome::disconnected);
    r.view.message = "/dev/ttyACM3: device disconnected during PROGRAM at 0x00004100";
    nlohmann::json j = board_log_line(r);
    EXPECT_EQ(j["start"], "2026-12-08T08:53:20.005Z");
    EXPECT_EQ(j["end"], "2026-12-08T08:53:21.255Z");
    EXPECT_EQ(j["port"], "/dev/ttyACM3");
    EXPECT_EQ(j["usb_id"], "2e8a:000a");
    EXPECT_EQ(j["serial"], "E6614C311B");
    EXPECT_EQ(j["image"], "fw.hex");
    EXPECT_EQ(j["file_sha256"], "f11e");
    EXPECT_EQ(j["image_sha256"], r.view.image_sha256);
    EXPECT_FALSE(j.contains("sha256")) << "one name for each digest, none that could be either";
    EXPECT_EQ(j["address"], 0x4000);
    EXPECT_EQ(j["bytes"], 256);
    EXPECT_EQ(j["total"], 1000);
    EXPECT_EQ(j["seconds"], 1.25);
    EXPECT_EQ(j["retries"], 3);
    EXPECT_EQ(j["outcome"], "device disconnected");
    EXPECT_EQ(j["outcome_key"], "disconnected");
    EXPECT_EQ(j["log_version"], 2);
    EXPECT_EQ(j["error"], r.view.message);
}

TEST(board_log, a_board_that_never_ran_is_logged_without_link_figures)
{
    image img;
    img.bytes.assign(600, 0xAB);
    img.name = "embedded image";  // no file, so no file digest
    board_log_record r;
    r.port = port_info{"/dev/ttyUSB2", "", -1, -1, "", ""};
    r.img = &img;
    r.view = board_unstarted("/dev/ttyUSB2", "", board_end::not_started, "/dev/ttyUSB2: not programmed", 600);
    r.view.image_sha256 = sha256_hex(img.bytes);
    nlohmann::json j = board_log_line(r);
    EXPECT_EQ(j["outcome"], "not started");
    EXPECT_EQ(j["outcome_key"], "not_started");
    EXPECT_EQ(j["error"], "/dev/ttyUSB2: not programmed");
    EXPECT_EQ(j["bytes"], 0);
    EXPECT_EQ(j["total"], 600);
    EXPECT_TRUE(j["link"].is_null());
    EXPECT_TRUE(j["file_sha256"].is_null());
    EXPECT_EQ(j["image_sha256"], r.view.image_sha256);
}

// Every key a 1.1.0 record has stays, of the same type; the record adds
// only the outcome's key and its version.
TEST(board_log, a_record_keeps_every_key_of_1_1_0_and_adds_the_outcome_key_and_version)
{
    std::ifstream old(ZEL_TEST_DATA "/board_log_1.1.0.jsonl");
    std::string first;
    ASSERT_TRUE(std::getline(old, first)) << "the 1.1.0 fixture is missing";
    nlohmann::json was = nlohmann::json::parse(first);
    image img;
    img.bytes.assign(600, 0xAB);
    img.name = "embedded image";
    board_log_record r;
    r.img = &img;
    r.view = board_unstarted("/dev/ttyUSB2", "", board_end_of(run_outcome::programmed), "", 600);
    r.view.state = BOARD_FINISHED;
    r.view.result = run_result{};  // a run, so that the link figures are there as in the fixture's first line
    nlohmann::json now = board_log_line(r);
    std::vector<std::string> added;
    for (const auto& [key, value] : now.items())
        if (!was.contains(key))
            added.push_back(key);
    EXPECT_THAT(added, testing::ElementsAre("log_version", "outcome_key"));
    for (const auto& [key, value] : was.items()) {
        ASSERT_TRUE(now.contains(key)) << key;
        EXPECT_EQ(now[key].type(), value.type()) << key;
    }
}

}  // namespace
