// A production station end to end: zelflash watch and write with a job file
// against zelsim devices, per-board values checked in the devices' flash,
// the state file under kill -9, two stations on one state file, bad job
// files, and the yield report of the logs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

#include "job_file.h"
#include "serials.h"
#include "zelflash_harness.h"

namespace {

using namespace zelflash_harness;
using testing::HasSubstr;

constexpr uint32_t IMAGE_ADDR = 0x10000;
constexpr uint32_t SERIAL_AT = 0x10010;  // le32
constexpr uint32_t MAC_AT = 0x10020;     // bytes6
constexpr size_t IMAGE_SIZE = 2048;

struct station : bench {
    fs::path job = dir.path / "station.toml";
    fs::path log = dir.path / "boards.jsonl";
    fs::path state = dir.path / "station.serials";

    // A job programming IMAGE_SIZE bytes at IMAGE_ADDR with a serial counter
    // from 5000 and MAC addresses from a list of `macs` lines; `pin` goes
    // into [image], `extra` at the end of the file.
    void write_job(size_t macs, const std::string& extra = "", const std::string& pin = "")
    {
        write_image(IMAGE_SIZE);
        std::string list;
        for (size_t i = 0; i < macs; ++i)
            list += "02:00:00:00:" + hex_byte(i / 256) + ":" + hex_byte(i % 256) + "\n";
        write_file(dir.path / "macs.txt", list);
        write_file(job, "version = 1\n[image]\npath = \"image.bin\"\naddress = 0x10000\n" + pin +
                        "[link]\nbaud = 921600\nretries = 4\n"
                        "[station]\nglob = \"" + (dir.path / "dev*").string() + "\"\njobs = 8\n"
                        "include_present = true\nlog = \"boards.jsonl\"\n"
                        "[labels]\nlot = \"L7\"\n"
                        "[[field]]\nname = \"serial\"\naddress = 0x10010\nkind = \"counter\"\nformat = \"le32\"\n"
                        "start = 5000\n"
                        "[[field]]\nname = \"mac\"\naddress = 0x10020\nkind = \"list\"\nformat = \"bytes6\"\n"
                        "list = \"macs.txt\"\n" + extra);
        if (!fs::exists(state))
            zelflash({"job", "init", job.string()});  // refused for a bad job, which the test then shows
    }

    static std::string hex_byte(size_t v)
    {
        const char* digits = "0123456789abcdef";
        return {digits[v / 16 % 16], digits[v % 16]};
    }

    // The serial number and MAC address in device i's flash, once it has ended.
    std::pair<uint32_t, std::string> flashed(size_t i)
    {
        bytes flash = read_file(file("flash", i));
        EXPECT_GE(flash.size(), size_t{IMAGE_ADDR + IMAGE_SIZE});
        if (flash.size() < IMAGE_ADDR + IMAGE_SIZE)
            return {0, ""};
        std::string mac;
        for (uint32_t k = 0; k < 6; ++k)
            mac += (k ? ":" : "") + hex_byte(flash[MAC_AT + k]);
        return {le32(flash, SERIAL_AT), mac};
    }

    std::vector<json> log_records()
    {
        std::vector<json> all;
        std::istringstream lines(read_text(log));
        for (std::string line; std::getline(lines, line);)
            all.push_back(json::parse(line));
        return all;
    }

    size_t log_lines()
    {
        std::string text = fs::exists(log) ? read_text(log) : "";
        return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
    }
};

TEST_F(station, forty_boards_eight_at_once_each_carry_their_own_values_and_the_log_says_which)
{
    write_job(45);
    for (size_t i = 0; i < 40; ++i)
        start_device(i == 17 ? std::vector<std::string>{"--mute"} : std::vector<std::string>{});
    child_process watch = start_zelflash({"watch", "--job", job.string(), "--json"}, dir.path);
    ASSERT_TRUE(eventually([&] { return log_lines() >= 40; }, std::chrono::seconds(120))) << watch.out();
    watch.signal(SIGINT);
    EXPECT_EQ(watch.finish().status, 1) << "one board failed";

    std::map<std::string, size_t> device_of;
    for (size_t i = 0; i < 40; ++i) {
        device_report(i);
        device_of[port(i)] = i;
    }
    std::set<std::string> serials, macs;
    for (const json& r : log_records()) {
        SCOPED_TRACE(r.dump());
        EXPECT_EQ(r["labels"], json({{"lot", "L7"}}));
        ASSERT_TRUE(serials.insert(r["values"]["serial"].get<std::string>()).second) << "a serial twice";
        ASSERT_TRUE(macs.insert(r["values"]["mac"].get<std::string>()).second) << "a MAC address twice";
        size_t i = device_of.at(r["port"]);
        if (i == 17) {
            EXPECT_EQ(r["outcome"], "no answer");
            continue;
        }
        ASSERT_EQ(r["outcome"], "programmed");
        auto [serial, mac] = flashed(i);
        EXPECT_EQ(std::to_string(serial), r["values"]["serial"]);
        EXPECT_EQ(mac, r["values"]["mac"]);
    }
    EXPECT_EQ(serials.size(), 40u);

    child_end report = zelflash({"report", "--json", log.string()});
    ASSERT_EQ(report.status, 0) << report.err;
    json total = json::parse(report.out)["total"];
    EXPECT_EQ(total["boards"], 40);
    EXPECT_EQ(total["programmed"], 39);
}

// Kill -9 at random moments, over and over: a value never goes to two
// boards, and every value handed out is in the state file for good.
struct station_killed : station {
    std::mt19937 random{20261208};
    std::set<uint32_t> on_boards;  // serials in the flash of devices that got their first chunk

    // Three fresh devices, a station on them, and a kill: every other one
    // while a board is being programmed (after a reservation reached the
    // file, within the ~60 ms its board takes), the others at any moment.
    void kill_cycle(int cycle, const bytes& image)
    {
        size_t first = sims.size();
        std::string name = (dir.path / ("c" + std::to_string(cycle) + "-")).string();
        for (int k = 0; k < 3; ++k)
            start_device({"--erase-ms-per-sector", "20", "--program-ms", "5"}, name + std::to_string(k));
        size_t before = fs::exists(state) ? fs::file_size(state) : 0;
        child_process watch = start_zelflash({"watch", "--job", job.string(), "--glob", name + "*", "--quiet"}, dir.path);
        if (cycle % 2 == 1)
            eventually([&] { return fs::exists(state) && fs::file_size(state) > before + 100; }, std::chrono::seconds(5));
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % (cycle % 2 ? 60 : 400)));
        watch.kill_now();
        serial_journal journal;
        std::string error;
        ASSERT_TRUE(serial_journal_read(read_text(state), state.string(), &journal, &error)) << error;
        for (size_t i = first; i < sims.size(); ++i) {
            device_report(i);
            bytes flash = read_file(file("flash", i));
            if (std::equal(image.begin(), image.begin() + 16, flash.begin() + IMAGE_ADDR)) {
                EXPECT_TRUE(on_boards.insert(le32(flash, SERIAL_AT)).second) << "a serial on two boards";
            }
        }
    }

    // The serials as a restart finds them, its recovery done.
    std::map<std::string, serial_value_state> after_restart()
    {
        station_job parsed;
        std::string error;
        EXPECT_TRUE(job_file_read(job.string(), &parsed, &error)) << error;
        std::vector<field_spec> fields;
        for (const job_field& f : parsed.fields)
            fields.push_back(f.field);
        serial_state reopened;
        EXPECT_TRUE(reopened.open(state.string(), fields, FAILED_BURN, log.string(), &error)) << error;
        serial_journal journal;
        EXPECT_TRUE(serial_journal_read(read_text(state), state.string(), &journal, &error)) << error;
        return journal.values["serial"];
    }

    // Every serial the file shows reserved, each once.
    std::set<std::string> reserved_once()
    {
        std::string text = read_text(state);
        std::set<std::string> reserved;
        for (size_t at = 0; (at = text.find("\"serial\":\"", at)) != std::string::npos; at += 10) {
            if (text.compare(text.rfind('\n', at) + 1, 16, "{\"rec\":\"reserved") != 0)
                continue;
            std::string value = text.substr(at + 10, text.find('"', at + 10) - at - 10);
            EXPECT_TRUE(reserved.insert(value).second) << value << " reserved twice";
        }
        return reserved;
    }
};

TEST_F(station_killed, no_value_is_handed_out_twice_or_lost)
{
    write_job(600);
    bytes image = read_file(image_path);
    for (int cycle = 0; cycle < 50 && !HasFatalFailure(); ++cycle)
        kill_cycle(cycle, image);
    std::map<std::string, serial_value_state> serials = after_restart();
    for (uint32_t s : on_boards)
        EXPECT_TRUE(serials.count(std::to_string(s)) && serials[std::to_string(s)] != VALUE_RESERVED)
            << s << " is on a board but not in the state file as used, failed or burned";
    size_t burned = 0;
    for (const auto& [value, st] : serials) {
        EXPECT_NE(st, VALUE_RESERVED) << value << " is still only reserved after a restart";
        burned += st == VALUE_BURNED ? 1 : 0;
    }
    EXPECT_GT(burned, 0u) << "no kill came while a board was being programmed";
    EXPECT_FALSE(on_boards.empty()) << "no kill came after a board had its values";
    EXPECT_GE(reserved_once().size(), on_boards.size());
}

TEST_F(station, a_second_station_on_the_same_state_file_is_refused_and_sends_nothing)
{
    write_job(5);
    start_device();
    child_process first = start_zelflash({"watch", "--job", job.string(), "--glob",
                                          (dir.path / "none*").string()}, dir.path);
    ASSERT_TRUE(printed(first, "watching")) << first.out();
    temp_dir other("zelflash-second");
    child_end second =
        start_zelflash({"write", "-p", port(0), "--job", job.string()}, other.path).finish();
    EXPECT_EQ(second.status, 2);
    EXPECT_THAT(second.err, HasSubstr("in use by another zelflash"));
    first.signal(SIGINT);
    EXPECT_EQ(first.finish().status, 0);
    device_report(0);
    EXPECT_THAT(commands_in(read_text(file("report", 0))), testing::IsEmpty());
}

struct bad_job {
    const char* name;
    std::string change;    // appended to the job file
    const char* expected;  // in the error, after "station.toml line N"
    std::string pin = "";  // in [image]
};

class station_bad_job : public station, public testing::WithParamInterface<bad_job> {};

TEST_P(station_bad_job, exits_2_naming_file_line_and_key_and_sends_nothing)
{
    write_job(5, GetParam().change, GetParam().pin);
    start_device();
    child_end run = zelflash({"write", "-p", port(0), "--job", job.string()});
    EXPECT_EQ(run.status, 2);
    EXPECT_THAT(run.err, testing::ContainsRegex("station\\.toml line [0-9]+"));
    EXPECT_THAT(run.err, HasSubstr(GetParam().expected));
    device_report(0);
    EXPECT_THAT(commands_in(read_text(file("report", 0))), testing::IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    cases, station_bad_job,
    testing::Values(
        bad_job{"unknown_key", "[extra]\nspeed = 1\n", "extra"},
        bad_job{"wrong_type", "[[field]]\nname = \"x\"\naddress = \"0x10040\"\nkind = \"counter\"\nformat = \"le8\"\n",
                "address"},
        bad_job{"sha256_pin", "", "sha256", "sha256 = \"" + std::string(64, '0') + "\"\n"},
        bad_job{"field_outside_image", "[[field]]\nname = \"x\"\naddress = 0x20000\nkind = \"counter\"\nformat = \"le8\"\n",
                "outside the image"},
        bad_job{"overlapping_fields",
                "[[field]]\nname = \"x\"\naddress = 0x10012\nkind = \"counter\"\nformat = \"le8\"\n", "overlap"}),
    [](const testing::TestParamInfo<bad_job>& info) { return std::string(info.param.name); });

}  // namespace
