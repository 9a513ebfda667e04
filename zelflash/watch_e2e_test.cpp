// zelflash watch end to end: the real executable watches a folder where
// zelsim devices come and go as boards on a bench; judged by its board log,
// its exit status and totals, and the devices' reports.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <regex>
#include <sstream>

#include "harness.h"

namespace {

using namespace zelflash_harness;
using namespace std::chrono_literals;
using wall = std::chrono::system_clock;

// Waits until done() holds; false after `limit`.
template <class F>
bool eventually(F done, std::chrono::milliseconds limit = 20s)
{
    for (steady::time_point end = steady::now() + limit; !done(); std::this_thread::sleep_for(20ms))
        if (steady::now() > end)
            return false;
    return true;
}

// "2026-12-08T09:20:03.963Z" as a time; nothing when not of that shape.
std::optional<wall::time_point> parse_utc(const json& text)
{
    static const std::regex shape(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)");
    if (!text.is_string() || !std::regex_match(text.get<std::string>(), shape))
        return std::nullopt;
    std::tm t{};
    int ms = 0;
    std::sscanf(text.get<std::string>().c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &t.tm_year, &t.tm_mon, &t.tm_mday,
                &t.tm_hour, &t.tm_min, &t.tm_sec, &ms);
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    return wall::from_time_t(timegm(&t)) + std::chrono::milliseconds(ms);
}

// The digest as another program computes it.
std::string sha256sum(const fs::path& file)
{
    std::unique_ptr<FILE, int (*)(FILE*)> p(popen(("sha256sum '" + file.string() + "'").c_str(), "r"), pclose);
    char digest[64];
    return p ? std::string(digest, std::fread(digest, 1, sizeof digest, p.get())) : "";
}

size_t commands_named(const json& report, const char* name)
{
    return std::count_if(report["commands"].begin(), report["commands"].end(),
                         [&](const json& c) { return c["name"] == name; });
}

struct watch_e2e : bench {
    fs::path log_path = dir.path / "boards.log";
    std::unique_ptr<zelflash_process> watcher;
    wall::time_point began = wall::now();

    // A zone hours away from UTC, so that local time in the log shows.
    watch_e2e() { setenv("TZ", "EST5", 1); }

    // Starts watch on the folder's dev* links; in plain mode waits until it
    // has looked at the ports there, so that any port after this is new.
    void start_watch(std::vector<std::string> extra = {})
    {
        std::vector<std::string> args = {"watch", "--glob", (dir.path / "dev*").string(), "--log", log_path,
                                         "--retries", "3", image_path};
        args.insert(args.end(), extra.begin(), extra.end());
        watcher = std::make_unique<zelflash_process>(args, dir.path);
        if (std::find(extra.begin(), extra.end(), "--json") == extra.end()) {
            ASSERT_TRUE(eventually([&] { return contains(watcher->out(), "zelflash: watching "); }));
        }
    }

    // The complete lines of the log, each parsed.
    std::vector<json> records() const
    {
        std::string text = read_text(log_path);
        std::istringstream lines(text.substr(0, text.rfind('\n') + 1));
        std::vector<json> list;
        for (std::string line; std::getline(lines, line);)
            list.push_back(json::parse(line, nullptr, false));
        return list;
    }

    std::vector<json> wait_records(size_t n)
    {
        EXPECT_TRUE(eventually([&] { return records().size() >= n; })) << read_text(log_path);
        return records();
    }

    flash_run stop_watch(int interrupts = 1)
    {
        for (int i = 0; i < interrupts; ++i, std::this_thread::sleep_for(300ms))
            watcher->signal(SIGINT);
        return watcher->finish(30s);
    }

    // Every field of a record of `port`: its type, and its value where the test knows it.
    void check_record(const json& r, const std::string& port, const std::string& outcome, uint32_t address = 0)
    {
        SCOPED_TRACE(r.dump());
        ASSERT_TRUE(r.is_object());
        EXPECT_EQ(r.size(), 15u);
        for (const char* key : {"start", "end", "port", "usb_id", "serial", "image", "sha256", "address", "bytes",
                                "total", "seconds", "retries", "outcome", "error", "link"})
            ASSERT_TRUE(r.contains(key)) << key << " missing";
        EXPECT_EQ(r["port"], port);
        EXPECT_TRUE(r["usb_id"].is_null());  // a pty has no USB facts
        EXPECT_TRUE(r["serial"].is_null());
        EXPECT_EQ(r["image"], image_path.string());
        EXPECT_EQ(r["sha256"], sha256sum(image_path));
        EXPECT_EQ(r["address"], address);
        EXPECT_EQ(r["total"], fs::file_size(image_path));
        ASSERT_TRUE(r["bytes"].is_number_unsigned() && r["retries"].is_number_unsigned());
        EXPECT_EQ(r["outcome"], outcome);
        if (outcome != "not opened") {
            EXPECT_EQ(r["link"]["unasked_acks"], 0) << "every finished board carries its link figures";
        }
        if (outcome == "programmed") {
            EXPECT_EQ(r["bytes"], r["total"]);
            EXPECT_TRUE(r["error"].is_null());
        } else {
            EXPECT_LT(r["bytes"], r["total"]);
            ASSERT_TRUE(r["error"].is_string());
            EXPECT_TRUE(contains(r["error"], port + ": ")) << "the error names the port";
        }
        std::optional<wall::time_point> start = parse_utc(r["start"]), end = parse_utc(r["end"]);
        ASSERT_TRUE(start && end) << "not ISO 8601 UTC with milliseconds";
        EXPECT_GE(*start, began - 1s) << "local time, not UTC?";
        EXPECT_LE(*end, wall::now() + 1s);
        EXPECT_GE(*end, *start);
        ASSERT_TRUE(r["seconds"].is_number());
        EXPECT_GT(r["seconds"], 0.0);
        EXPECT_LE(r["seconds"].get<double>(), std::chrono::duration<double>(*end - *start).count() + 0.01);
    }

    std::map<std::string, json> by_port(const std::vector<json>& list)
    {
        std::map<std::string, json> map;
        for (const json& r : list)
            EXPECT_TRUE(map.emplace(r.value("port", ""), r).second) << "two records of " << r.dump();
        return map;
    }
};

TEST_F(watch_e2e, staggered_boards_each_programmed_once_and_the_mute_one_fails)
{
    write_image(5000);
    start_watch({"--address", "0x2000"});
    for (size_t i = 0; i < 3; ++i) {
        start_device(i == 1 ? std::vector<std::string>{"--mute"} : std::vector<std::string>{"--image-addr", "8192"});
        std::this_thread::sleep_for(300ms);
    }
    wait_records(3);
    std::this_thread::sleep_for(700ms);  // more scans: still attached, so not taken again
    flash_run r = stop_watch();
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(contains(r.out, "zelflash: 2 boards programmed, 1 failed")) << r.out;
    std::vector<json> list = records();
    ASSERT_EQ(list.size(), 3u) << read_text(log_path);
    std::map<std::string, json> log = by_port(list);
    for (size_t i = 0; i < 3; ++i)
        check_record(log[port(i)], port(i), i == 1 ? "no answer" : "programmed", 0x2000);
    EXPECT_EQ(log[port(1)]["error"], port(1) + ": no answer to ERASE at 0x00002000 after 3 attempts");
    EXPECT_EQ(log[port(1)]["retries"], 3);
    EXPECT_EQ(commands_named(device_report(1), "ERASE"), 3u);  // not tried again while attached
    for (size_t i : {0, 2})
        EXPECT_EQ(device_report(i)["image_match"], true) << port(i);
}

TEST_F(watch_e2e, board_attached_again_is_programmed_again)
{
    write_image(3000);
    start_watch();
    start_device({"--exit-after-reset-ms", "300"});
    wait_records(1);
    EXPECT_EQ(device_report(0)["image_match"], true);
    ASSERT_FALSE(fs::exists(fs::symlink_status(port(0)))) << "zelsim leaves its link behind";
    // Seen gone by a scan; the new device may sit on the same /dev/pts number.
    std::this_thread::sleep_for(700ms);
    start_device({}, port(0));
    std::vector<json> list = wait_records(2);
    flash_run r = stop_watch();
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(list.size(), 2u);
    for (const json& record : list)
        check_record(record, port(0), "programmed");
    EXPECT_EQ(device_report(1)["image_match"], true);
}

TEST_F(watch_e2e, port_present_at_start_is_taken_only_with_include_present)
{
    write_image(2000);
    start_device();
    start_watch();
    start_device();
    wait_records(1);
    std::this_thread::sleep_for(700ms);
    flash_run r = stop_watch();
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<json> list = records();
    ASSERT_EQ(list.size(), 1u);
    check_record(list[0], port(1), "programmed");
    const json first = list[0];

    start_watch({"--include-present"});
    list = wait_records(3);  // appended to the same log
    r = stop_watch();
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0], first) << "the first record was rewritten";
    std::map<std::string, json> second = by_port({list[1], list[2]});
    check_record(second[port(0)], port(0), "programmed");
    check_record(second[port(1)], port(1), "programmed");
    for (size_t i : {0, 1}) {
        json report = device_report(i);
        EXPECT_EQ(report["image_match"], true) << port(i);
        EXPECT_EQ(commands_named(report, "ERASE"), i == 0 ? 1u : 2u) << port(i);
    }
}

TEST_F(watch_e2e, more_boards_than_jobs_wait_their_turn)
{
    write_image(8000);  // about 0.8 s a board at 115200 baud
    for (size_t i = 0; i < 4; ++i)
        start_device({"--baud", "115200"});
    start_watch({"--include-present", "--jobs", "2", "--json"});
    std::vector<json> list = wait_records(4);
    flash_run r = stop_watch();
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(list.size(), 4u);
    std::vector<std::pair<wall::time_point, int>> edges;  // +1 at a start, -1 at an end
    for (const auto& [port_path, record] : by_port(list)) {
        check_record(record, port_path, "programmed");
        edges.emplace_back(*parse_utc(record["start"]), 1);
        edges.emplace_back(*parse_utc(record["end"]), -1);
    }
    std::sort(edges.begin(), edges.end());  // at the same instant an end comes first
    int at_once = 0, most = 0;
    for (const auto& [t, step] : edges)
        most = std::max(most, at_once += step);
    EXPECT_EQ(most, 2);
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(device_report(i)["image_match"], true) << port(i);

    std::istringstream lines(r.out);
    std::map<std::string, int> events;  // by kind; nothing but JSON lines
    json last;
    for (std::string line; std::getline(lines, line);) {
        last = json::parse(line, nullptr, false);
        events[last.is_object() ? last.value("event", "?") : "not JSON: " + line] += 1;
    }
    events.erase("progress");
    EXPECT_EQ(events, (std::map<std::string, int>{{"done", 4}, {"start", 4}, {"totals", 1}}));
    EXPECT_EQ(last, (json{{"event", "totals"}, {"done", 4}, {"failed", 0}, {"interrupted", 0}}));
}

TEST_F(watch_e2e, first_interrupt_lets_running_boards_finish_and_takes_no_new_one)
{
    write_image(30000);  // about 3 s a board at 115200 baud
    start_watch();
    start_device({"--baud", "115200"});
    start_device({"--baud", "115200"});
    ASSERT_TRUE(eventually([&] { return contains(watcher->out(), port(1) + ": writing"); }));
    std::this_thread::sleep_for(300ms);
    watcher->signal(SIGINT);
    wall::time_point interrupted = wall::now();
    std::this_thread::sleep_for(800ms);
    start_device();  // attached after Ctrl-C
    flash_run r = watcher->finish(30s);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "zelflash: 2 boards programmed, 0 failed")) << r.out;
    std::map<std::string, json> log = by_port(records());
    ASSERT_EQ(log.size(), 2u) << read_text(log_path);
    for (size_t i : {0, 1}) {
        check_record(log[port(i)], port(i), "programmed");
        EXPECT_GT(*parse_utc(log[port(i)]["end"]), interrupted) << "finished before the interrupt";
        EXPECT_EQ(device_report(i)["image_match"], true);
    }
    EXPECT_EQ(device_report(2)["line"]["bytes_to_device"], 0);
}

TEST_F(watch_e2e, second_interrupt_stops_running_boards_and_puts_their_settings_back)
{
    write_image(20000);
    termios before[2], after[2];
    for (size_t i : {0, 1}) {
        start_device({"--baud", "115200"});
        line_settings(port(i), &before[i], true);
    }
    start_watch({"--include-present"});
    ASSERT_TRUE(eventually([&] { return contains(watcher->out(), port(1) + ": writing"); }));
    std::this_thread::sleep_for(500ms);
    flash_run r = stop_watch(2);
    EXPECT_EQ(r.status, 130) << r.err;
    std::map<std::string, json> log = by_port(records());
    ASSERT_EQ(log.size(), 2u) << read_text(log_path);
    for (size_t i : {0, 1}) {
        check_record(log[port(i)], port(i), "interrupted");
        EXPECT_TRUE(contains(log[port(i)]["error"], port(i) + ": interrupted before PROGRAM at 0x"));
        line_settings(port(i), &after[i], false);
        EXPECT_EQ(settings_key(after[i]), settings_key(before[i])) << port(i);
    }
}

TEST(zelflash_list, lists_the_same_ports_as_text_and_as_json)
{
    temp_dir dir{"zelflash-list"};
    flash_run text = zelflash_process({"list"}, dir.path).finish(10s);
    EXPECT_EQ(text.status, 0) << text.err;
    flash_run array = zelflash_process({"list", "--json"}, dir.path).finish(10s);
    EXPECT_EQ(array.status, 0) << array.err;
    json list = json::parse(array.out, nullptr, false);
    ASSERT_TRUE(list.is_array()) << array.out;
    std::istringstream lines(text.out);
    std::string line;
    for (const json& p : list) {
        ASSERT_TRUE(p["path"].is_string()) << p.dump();
        ASSERT_TRUE(std::getline(lines, line)) << "missing from the text list: " << p.dump();
        EXPECT_EQ(line.substr(0, line.find(' ')), p["path"]);
    }
    EXPECT_FALSE(std::getline(lines, line)) << "only in the text list: " << line;
}

}  // namespace
