// The board log's records.
#include "watch.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "lprog.h"
#include "sha256.h"

namespace {

TEST(watch, log_line_holds_every_field)
{
    image img;
    img.bytes.assign(1000, 0xAB);
    img.addr = 0x4000;
    img.name = "fw.hex";
    img.file_sha256 = "f11e";  // the text's own, which differs from the placed bytes'

    watch_record r;
    r.start = std::chrono::system_clock::from_time_t(1796720000) + std::chrono::milliseconds(5);
    r.end = r.start + std::chrono::milliseconds(1250);
    r.port = port_info{"/dev/ttyACM3", "board", 0x2e8a, 0x000a, "E6614C311B", "Maker"};
    r.img = &img;
    r.image_sha256 = sha256_hex(img.bytes);
    r.view.state = BOARD_FINISHED;
    r.view.at = sink_progress{LPROG_PROGRAM, 0x4100, 256, 1000, 3};
    r.view.seconds = 1.25;
    r.view.result.outcome = RUN_DISCONNECTED;
    r.view.message = "/dev/ttyACM3: device disconnected during PROGRAM at 0x00004100";
    nlohmann::json j = watch_log_line(r);
    EXPECT_EQ(j["start"], "2026-12-08T08:53:20.005Z");
    EXPECT_EQ(j["end"], "2026-12-08T08:53:21.255Z");
    EXPECT_EQ(j["port"], "/dev/ttyACM3");
    EXPECT_EQ(j["usb_id"], "2e8a:000a");
    EXPECT_EQ(j["serial"], "E6614C311B");
    EXPECT_EQ(j["image"], "fw.hex");
    EXPECT_EQ(j["file_sha256"], "f11e");
    EXPECT_EQ(j["image_sha256"], r.image_sha256);
    EXPECT_FALSE(j.contains("sha256")) << "one name for each digest, none that could be either";
    EXPECT_EQ(j["address"], 0x4000);
    EXPECT_EQ(j["bytes"], 256);
    EXPECT_EQ(j["total"], 1000);
    EXPECT_EQ(j["seconds"], 1.25);
    EXPECT_EQ(j["retries"], 3);
    EXPECT_EQ(j["outcome"], "device disconnected");
    EXPECT_EQ(j["error"], r.view.message);
}

TEST(watch, a_board_that_never_ran_is_logged_without_link_figures)
{
    image img;
    img.bytes.assign(600, 0xAB);
    img.name = "embedded image";  // no file, so no file digest
    watch_record r;
    r.port = port_info{"/dev/ttyUSB2", "", -1, -1, "", ""};
    r.img = &img;
    r.image_sha256 = sha256_hex(img.bytes);
    r.view = board_unstarted("/dev/ttyUSB2", "", BOARD_NOT_STARTED, "/dev/ttyUSB2: not programmed", 600);
    nlohmann::json j = watch_log_line(r);
    EXPECT_EQ(j["outcome"], "not started");
    EXPECT_EQ(j["error"], "/dev/ttyUSB2: not programmed");
    EXPECT_EQ(j["bytes"], 0);
    EXPECT_EQ(j["total"], 600);
    EXPECT_TRUE(j["link"].is_null());
    EXPECT_TRUE(j["file_sha256"].is_null());
    EXPECT_EQ(j["image_sha256"], r.image_sha256);
}

TEST(watch, options_that_cannot_go_together_are_refused)
{
    struct row {
        std::string glob;
        std::vector<std::string> match;
        const char* error;
    };
    const row rows[] = {
        {"", {}, ""},
        {"/dev/serial/by-id/*", {}, ""},
        {"", {"0403:6001"}, ""},
        {"/dev/serial/by-id/*", {"0403:6001"},
         "--glob and --match cannot go together: the paths --glob matches are taken whatever their USB ids; give "
         "one of them"},
    };
    for (const row& r : rows) {
        watch_options w;
        w.glob = r.glob;
        w.match = r.match;
        EXPECT_EQ(watch_options_error(w), r.error) << r.glob;
    }
}

TEST(watch, image_digest_is_sha256)
{
    const std::string abc = "abc";
    EXPECT_EQ(sha256_hex(std::vector<uint8_t>(abc.begin(), abc.end())),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sha256_hex({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

}  // namespace
