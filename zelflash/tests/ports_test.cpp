// Port list formatting, USB id parsing and the path patterns of --glob.
#include "platform/ports.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "temp_dir.h"

namespace {

TEST(ports, usb_ids_parse_as_hex_pairs)
{
    struct row {
        const char* text;
        int vid;  // -1: refused
        int pid;
    };
    const row rows[] = {
        {"0403:6001", 0x0403, 0x6001}, {"10C4:EA60", 0x10C4, 0xEA60}, {"1:2", 1, 2},
        {"0403", -1, 0},   {"0403:", -1, 0},  {":6001", -1, 0}, {"04030:6001", -1, 0},
        {"04g3:6001", -1, 0}, {"0403:6001:1", -1, 0},
    };
    for (const row& r : rows) {
        std::optional<usb_id> id = ports_parse_usb_id(r.text);
        ASSERT_EQ(id.has_value(), r.vid >= 0) << r.text;
        if (id) {
            EXPECT_EQ(id->vid, r.vid) << r.text;
            EXPECT_EQ(id->pid, r.pid) << r.text;
        }
    }
}

const port_info usb_port{"/dev/ttyUSB0", "FT232R USB UART", 0x0403, 0x6001, "A50285BI", "FTDI"};
const port_info plain_port{"/dev/ttyS0", "ttyS0", -1, -1, "", ""};

TEST(ports, list_lines_leave_out_what_is_unknown)
{
    EXPECT_EQ(ports_line(usb_port), "/dev/ttyUSB0  FT232R USB UART  usb 0403:6001  serial A50285BI  by FTDI");
    EXPECT_EQ(ports_line(plain_port), "/dev/ttyS0  ttyS0");
}

TEST(ports, list_json_gives_null_for_the_unknown)
{
    nlohmann::json j = ports_json({usb_port, plain_port});
    ASSERT_EQ(j.size(), 2u);
    EXPECT_EQ(j[0]["usb_id"], "0403:6001");
    EXPECT_EQ(j[0]["vid"], 0x0403);
    EXPECT_EQ(j[0]["serial"], "A50285BI");
    EXPECT_EQ(j[0]["manufacturer"], "FTDI");
    EXPECT_TRUE(j[1]["vid"].is_null());
    EXPECT_TRUE(j[1]["usb_id"].is_null());
    EXPECT_TRUE(j[1]["serial"].is_null());
    EXPECT_EQ(j[1]["path"], "/dev/ttyS0");
}

TEST(ports, glob_takes_matching_paths_that_lead_somewhere)
{
    temp_dir dir;
    namespace fs = std::filesystem;
    std::ofstream(dir.path / "target");
    for (const char* name : {"dev1", "dev2", "other"})
        fs::create_symlink(dir.path / "target", dir.path / name);
    fs::create_symlink(dir.path / "gone", dir.path / "dev3");  // dangling: its device has left
    std::vector<std::string> found = ports_glob((dir.path / "dev*").string());
    EXPECT_EQ(found, (std::vector<std::string>{(dir.path / "dev1").string(), (dir.path / "dev2").string()}));
    EXPECT_EQ(ports_glob((dir.path / "dev[2-9]").string()), std::vector<std::string>{(dir.path / "dev2").string()});
    EXPECT_TRUE(ports_glob((dir.path / "nothing*").string()).empty());
    EXPECT_TRUE(ports_glob("/no/such/folder/dev*").empty());
}

// A pattern that can never match is refused at once, not watched for ever.
TEST(ports, glob_patterns_that_never_match_are_refused_with_the_reason)
{
    struct row {
        const char* pattern;
        const char* error;  // empty: taken
    };
    const row rows[] = {
        {"/dev/serial/by-id/*", ""},
        {"/tmp/bench/dev[0-9]", ""},
        {"dev?", ""},
        {"", "'' is an empty pattern and matches no path; give one such as '/dev/serial/by-id/*'"},
        {"/tmp/*/dev0", "'/tmp/*/dev0' has a wildcard in a folder (/tmp/*); wildcards may only stand in the last "
                        "part of the path, such as '/dev/serial/by-id/*'"},
        {"/tmp/b?nch/dev*", "'/tmp/b?nch/dev*' has a wildcard in a folder (/tmp/b?nch); wildcards may only stand in "
                            "the last part of the path, such as '/dev/serial/by-id/*'"},
        {"/dev/[st]ty/x", "'/dev/[st]ty/x' has a wildcard in a folder (/dev/[st]ty); wildcards may only stand in "
                          "the last part of the path, such as '/dev/serial/by-id/*'"},
    };
    for (const row& r : rows)
        EXPECT_EQ(ports_glob_error(r.pattern), r.error) << r.pattern;
}

}  // namespace
