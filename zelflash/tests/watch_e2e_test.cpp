// zelflash watch end to end: the real executable watches a folder where
// zelsim devices come and go as boards on a bench; judged by its board log,
// its exit status and totals, and the devices' reports.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>
#include <regex>
#include <sstream>

#include "engine/board_end.h"
#include "zelflash_harness.h"

namespace {

using namespace zelflash_harness;
using testing::HasSubstr;
using testing::Value;
using namespace std::chrono_literals;
using wall = std::chrono::system_clock;

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
    std::unique_ptr<child_process> watcher;
    wall::time_point began = wall::now();

    // A zone hours away from UTC, so that local time in the log shows.
    watch_e2e() { setenv("TZ", "EST5", 1); }

    // Starts watch on the folder's dev* links; in plain mode waits until it
    // has looked at the ports there, so that any port after this is new.
    void start_watch(std::vector<std::string> extra = {}, const child_io& io = {})
    {
        std::vector<std::string> args = {"watch", "--glob", (dir.path / "dev*").string(), "--log", log_path,
                                         "--retries", "3", image_path};
        args.insert(args.end(), extra.begin(), extra.end());
        watcher = std::make_unique<child_process>(ZELFLASH_PATH, args, zelflash_io(dir.path, io));
        if (io.out.kind == child_stream::INHERIT && std::find(extra.begin(), extra.end(), "--json") == extra.end()) {
            ASSERT_TRUE(printed(*watcher, "zelflash: watching "));
        }
    }

    // True once `text` is on zelflash's standard error.
    bool said(const std::string& text)
    {
        return eventually([&] { return read_text(dir.path / "err").find(text) != std::string::npos; });
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

    // One Ctrl-C, or two: the second once zelflash has said what the first
    // did (it says so only while boards run).
    child_end stop_watch(int interrupts = 1)
    {
        watcher->signal(SIGINT);
        if (interrupts == 2) {
            EXPECT_TRUE(said("zelflash: stopping"));
            watcher->signal(SIGINT);
        }
        return watcher->finish(30s);
    }

    // Every field of a record of `port`: its type, and its value where the test knows it.
    void check_record(const json& r, const std::string& port, const std::string& outcome, uint32_t address = 0)
    {
        SCOPED_TRACE(r.dump());
        ASSERT_TRUE(r.is_object());
        EXPECT_EQ(r.size(), 20u);
        for (const char* key : {"start", "end", "port", "usb_id", "serial", "image", "file_sha256", "image_sha256",
                                "address", "bytes", "total", "seconds", "retries", "outcome", "outcome_key", "error",
                                "link", "values", "labels", "log_version"})
            ASSERT_TRUE(r.contains(key)) << key << " missing";
        EXPECT_EQ(r["port"], port);
        EXPECT_TRUE(r["usb_id"].is_null());  // a pty has no USB facts
        EXPECT_TRUE(r["serial"].is_null());
        EXPECT_EQ(r["image"], image_path.string());
        EXPECT_EQ(r["file_sha256"], sha256sum(image_path));
        EXPECT_EQ(r["image_sha256"], sha256sum(image_path)) << "a raw image is placed as the file holds it";
        EXPECT_EQ(r["address"], address);
        EXPECT_EQ(r["total"], fs::file_size(image_path));
        ASSERT_TRUE(r["bytes"].is_number_unsigned() && r["retries"].is_number_unsigned());
        EXPECT_EQ(r["outcome"], outcome);
        std::optional<board_end> end = board_end_from_key(r["outcome_key"].get<std::string>());
        ASSERT_TRUE(end.has_value()) << "an outcome key this version knows";
        EXPECT_EQ(board_end_text(*end), outcome) << "the key of the outcome's text";
        EXPECT_EQ(r["log_version"], 2);
        check_outcome(r, port, outcome);
        check_times(r, outcome != "not opened" && outcome != "not started");
    }

    // What a record says of how the board ended: its link figures when it
    // ran, and an error naming the port when it was not programmed.
    void check_outcome(const json& r, const std::string& port, const std::string& outcome)
    {
        if (outcome != "not opened" && outcome != "not started") {
            EXPECT_EQ(r["link"]["unasked_acks"], 0) << "every finished board carries its link figures";
        } else {
            EXPECT_TRUE(r["link"].is_null()) << "a board that never ran has no link figures";
        }
        if (outcome == "programmed") {
            EXPECT_EQ(r["bytes"], r["total"]);
            EXPECT_TRUE(r["error"].is_null());
        } else {
            EXPECT_LT(r["bytes"], r["total"]);
            ASSERT_TRUE(r["error"].is_string());
            EXPECT_THAT(r["error"].get<std::string>(), HasSubstr(port + ": ")) << "the error names the port";
        }
    }

    // Start and end in UTC, within the test's time, and the seconds between.
    void check_times(const json& r, bool ran)
    {
        std::optional<wall::time_point> start = parse_utc(r["start"]), end = parse_utc(r["end"]);
        ASSERT_TRUE(start && end) << "not ISO 8601 UTC with milliseconds";
        EXPECT_GE(*start, began - 1s) << "local time, not UTC?";
        EXPECT_LE(*end, wall::now() + 1s);
        EXPECT_GE(*end, *start);
        ASSERT_TRUE(r["seconds"].is_number());
        if (ran) {
            EXPECT_GT(r["seconds"], 0.0);
        } else {
            EXPECT_EQ(r["seconds"], 0.0);
        }
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

// Each board is taken before the next is attached. A fourth board attached
// once the three have ended is taken too, so the scanner has looked again
// since: the first three, still attached, were not taken a second time.
TEST_F(watch_e2e, staggered_boards_each_programmed_once_and_the_mute_one_fails)
{
    write_image(5000);
    start_watch({"--address", "0x2000"});
    for (size_t i = 0; i < 3; ++i) {
        start_device(i == 1 ? std::vector<std::string>{"--mute"} : std::vector<std::string>{"--image-addr", "8192"});
        ASSERT_TRUE(printed(*watcher, port(i) + ": writing"));
    }
    wait_records(3);
    start_device({"--image-addr", "8192"});
    wait_records(4);
    child_end r = stop_watch();
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_THAT(r.out, HasSubstr("zelflash: 3 boards programmed, 1 failed"));
    std::vector<json> list = records();
    ASSERT_EQ(list.size(), 4u) << read_text(log_path);
    std::map<std::string, json> log = by_port(list);
    for (size_t i = 0; i < 4; ++i)
        check_record(log[port(i)], port(i), i == 1 ? "no answer" : "programmed", 0x2000);
    // ERASE goes out at most twice, the second frame its one retry.
    EXPECT_EQ(log[port(1)]["error"], port(1) + ": no answer to ERASE at 0x00002000 after 2 attempts");
    EXPECT_EQ(log[port(1)]["retries"], 1);
    EXPECT_EQ(commands_named(device_report(1), "ERASE"), 2u);  // not tried again while attached
    for (size_t i : {0, 2, 3})
        EXPECT_EQ(device_report(i)["image_match"], true) << port(i);
}

// The first board ends and goes away. A second board, on another path, is
// taken by a scan that also finds the first one gone; only then does a new
// device come on the first one's path (perhaps on its /dev/pts number).
TEST_F(watch_e2e, board_attached_again_is_programmed_again)
{
    write_image(3000);
    start_watch();
    start_device({"--exit-after-reset-ms", "300"});
    wait_records(1);
    EXPECT_EQ(device_report(0)["image_match"], true);
    ASSERT_FALSE(fs::exists(fs::symlink_status(port(0)))) << "zelsim leaves its link behind";
    start_device();
    wait_records(2);
    start_device({}, port(0));
    std::vector<json> list = wait_records(3);
    child_end r = stop_watch();
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(list.size(), 3u);
    check_record(list[0], port(0), "programmed");
    check_record(list[1], port(1), "programmed");
    check_record(list[2], port(0), "programmed");
    EXPECT_EQ(device_report(2)["image_match"], true);
}

// A board attached after the first is taken too, so the scanner has looked
// again since: port 0, there at start, is still left alone.
TEST_F(watch_e2e, port_present_at_start_is_taken_only_with_include_present)
{
    write_image(2000);
    start_device();
    start_watch();
    start_device();
    wait_records(1);
    start_device();
    std::vector<json> first = wait_records(2);
    child_end r = stop_watch();
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(records().size(), 2u);
    check_record(first[0], port(1), "programmed");
    check_record(first[1], port(2), "programmed");

    start_watch({"--include-present"});
    std::vector<json> list = wait_records(5);  // appended to the same log
    r = stop_watch();
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(list.size(), 5u);
    EXPECT_THAT(std::vector<json>(list.begin(), list.begin() + 2), testing::ElementsAreArray(first))
        << "the first records were rewritten";
    std::map<std::string, json> second = by_port({list[2], list[3], list[4]});
    for (size_t i : {0, 1, 2}) {
        check_record(second[port(i)], port(i), "programmed");
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
    child_end r = stop_watch();
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
    EXPECT_EQ(last, (json{{"event", "totals"},
                          {"port", nullptr},
                          {"done", 4},
                          {"failed", 0},
                          {"interrupted", 0},
                          {"not_started", 0}}));
}

// A board that appears while the station winds down is not programmed, but
// named, logged and counted.
TEST_F(watch_e2e, first_interrupt_lets_running_boards_finish_and_takes_no_new_one)
{
    write_image(30000);  // about 3 s a board at 115200 baud
    start_watch();
    start_device({"--baud", "115200"});
    start_device({"--baud", "115200"});
    ASSERT_TRUE(printed(*watcher, port(1) + ": writing"));
    watcher->signal(SIGINT);
    wall::time_point interrupted = wall::now();
    ASSERT_TRUE(said("zelflash: stopping"));  // no new boards from here on
    start_device();
    child_end r = watcher->finish(30s);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_THAT(r.out, HasSubstr("zelflash: 2 boards programmed, 0 failed, 1 not started"));
    EXPECT_THAT(r.err, HasSubstr(port(2) + ": not programmed: zelflash stopped before its turn came"));
    std::map<std::string, json> log = by_port(records());
    ASSERT_EQ(log.size(), 3u) << read_text(log_path);
    EXPECT_EQ(log[port(2)]["outcome"], "not started");
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
    for (size_t i : {0, 1})
        ASSERT_TRUE(printed(*watcher, port(i) + ":  10% ")) << "not writing the image";
    child_end r = stop_watch(2);
    EXPECT_EQ(r.status, 130) << r.err;
    std::map<std::string, json> log = by_port(records());
    ASSERT_EQ(log.size(), 2u) << read_text(log_path);
    for (size_t i : {0, 1}) {
        check_record(log[port(i)], port(i), "interrupted");
        EXPECT_THAT(log[port(i)]["error"].get<std::string>(), HasSubstr(port(i) + ": interrupted before PROGRAM at 0x"));
        line_settings(port(i), &after[i], false);
        EXPECT_EQ(settings_key(after[i]), settings_key(before[i])) << port(i);
    }
}

// Boards still waiting for their turn when the station stops are neither
// programmed nor silently dropped: counted, shown and logged as not started.
struct stop_case {
    const char* name;
    int interrupts;
    int status;
    const char* totals;
    const char* running_outcome;  // of the board that had its turn
};

class watch_stopped : public watch_e2e, public testing::WithParamInterface<stop_case> {};

TEST_P(watch_stopped, with_boards_waiting_counts_and_logs_them_as_not_started)
{
    const stop_case& c = GetParam();
    write_image(30000);  // about 3 s a board at 115200 baud
    for (size_t i = 0; i < 3; ++i)
        start_device({"--baud", "115200"});
    start_watch({"--include-present", "--jobs", "1"});
    ASSERT_TRUE(printed(*watcher, port(0) + ": writing"));
    child_end r = stop_watch(c.interrupts);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_THAT(r.out, HasSubstr(c.totals));
    std::map<std::string, json> log = by_port(records());
    ASSERT_EQ(log.size(), 3u) << read_text(log_path);
    check_record(log[port(0)], port(0), c.running_outcome);
    for (size_t i : {1, 2}) {
        check_record(log[port(i)], port(i), "not started");
        EXPECT_THAT(r.err, HasSubstr(port(i) + ": not programmed: zelflash stopped before its turn came"));
        EXPECT_EQ(device_report(i)["line"]["bytes_to_device"], 0) << port(i);
    }
}

INSTANTIATE_TEST_SUITE_P(
    watch, watch_stopped,
    testing::Values(stop_case{"one_interrupt", 1, 1, "zelflash: 1 board programmed, 0 failed, 2 not started\n",
                              "programmed"},
                    stop_case{"two_interrupts", 2, 130,
                              "zelflash: 0 boards programmed, 0 failed, 1 interrupted, 2 not started\n",
                              "interrupted"}),
    [](const auto& info) { return info.param.name; });

// A station that cannot record a board stops taking new ones, and says so.
TEST_F(watch_e2e, a_log_on_a_full_disk_stops_the_station)
{
    write_image(3000);
    start_device();
    start_device();
    log_path = "/dev/full";
    start_watch({"--include-present", "--jobs", "1"});
    child_end r = watcher->finish(60s);  // ends by itself
    EXPECT_EQ(r.status, 1) << r.err;
    // Each board lost to the log is named, its record printed whole.
    for (size_t i : {0, 1})
        EXPECT_THAT(r.err, testing::ContainsRegex("zelflash: /dev/full: cannot record the board: No space left on "
                                                  "device \\(board " + port(i) + ", (programmed|not started)\\); "
                                                  "free space .* by hand: \\{.*\"port\":\"" + port(i) + "\""));
    EXPECT_THAT(r.out, HasSubstr("zelflash: 1 board programmed, 0 failed, 1 not started\n"));
    EXPECT_EQ(device_report(0)["image_match"], true);
    EXPECT_EQ(device_report(1)["line"]["bytes_to_device"], 0);
}

TEST_F(watch_e2e, a_port_name_that_is_not_utf8_is_logged_replaced)
{
    write_image(2000);
    start_watch();
    start_device({}, (dir.path / "dev\xff").string());
    std::vector<json> list = wait_records(1);
    child_end r = stop_watch();
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(list.size(), 1u) << read_text(log_path);
    check_record(list[0], (dir.path / "dev\xEF\xBF\xBD").string(), "programmed");
}

// One schema for every event: "event" and "port" always, the port null when
// the event is about none; a port that does not open is an "error" event of
// that port like any other board's failure.
TEST_F(watch_e2e, every_json_event_has_event_and_port)
{
    write_image(2000);
    start_device();
    write_file(dir.path / "dev9", "a file, not a port");
    start_watch({"--include-present", "--json"});
    std::map<std::string, json> log = by_port(wait_records(2));
    child_end r = stop_watch();
    EXPECT_EQ(r.status, 1) << r.err;
    check_record(log[port(0)], port(0), "programmed");
    check_record(log[(dir.path / "dev9").string()], (dir.path / "dev9").string(), "not opened");
    std::istringstream lines(r.out);
    std::vector<json> events;
    for (std::string line; std::getline(lines, line);) {
        events.push_back(json::parse(line, nullptr, false));
        ASSERT_TRUE(events.back().is_object()) << line;
        EXPECT_TRUE(events.back().contains("event") && events.back().contains("port")) << line;
    }
    auto not_opened = std::find_if(events.begin(), events.end(), [](const json& e) { return e["event"] == "error"; });
    ASSERT_NE(not_opened, events.end()) << r.out;
    EXPECT_EQ((*not_opened)["port"], (dir.path / "dev9").string());
    EXPECT_EQ((*not_opened)["outcome"], "not opened");
    EXPECT_THAT((*not_opened)["message"].get<std::string>(), HasSubstr(": not a serial port"));
    EXPECT_EQ(events.back(), (json{{"event", "totals"},
                                   {"port", nullptr},
                                   {"done", 1},
                                   {"failed", 1},
                                   {"interrupted", 0},
                                   {"not_started", 0}}));
}

// The live paints on a terminal: "\r\x1b[2K" + a line + "\n" each, a paint
// ending in "\x1b[J"; their lines, and where each paint ends in the text.
struct paint {
    std::vector<std::string> lines;
    size_t end;
};

std::vector<paint> paints(const std::string& text)
{
    static const std::regex line(R"(\r\x1b\[2K([^\r\n\x1b]*)\n)");
    std::vector<paint> all;
    for (size_t from = 0, at; (at = text.find("\x1b[J", from)) != std::string::npos; from = at + 3) {
        std::string chunk = text.substr(from, at - from);
        paint p{{}, at + 3};
        for (std::sregex_iterator m(chunk.begin(), chunk.end(), line), end; m != end; ++m)
            p.lines.push_back((*m)[1]);
        if (!p.lines.empty())
            all.push_back(p);
    }
    return all;
}

// Every paint that ended past `from` fits a terminal of columns x rows.
void expect_paints_fit(const std::string& text, size_t from, size_t columns, size_t rows)
{
    for (const paint& p : paints(text)) {
        if (p.end <= from)
            continue;
        EXPECT_LE(p.lines.size(), rows - 1) << "a paint that scrolls the screen";
        for (const std::string& l : p.lines)
            EXPECT_LE(l.size(), columns - 1) << "a row that wraps: " << l;
    }
}

// The terminal echoes "^C" where the cursor stands, after the last thing
// written; `next` must not start beside it: between the last line end and
// `next` there is a carriage return and nothing else but cursor codes.
bool starts_clean(const std::string& text, const std::string& next)
{
    size_t at = text.find(next);
    if (at == std::string::npos)
        return false;
    std::string before = text.substr(0, at);
    before = before.substr(before.rfind('\n') + 1);
    std::string rest = std::regex_replace(before, std::regex(R"(\x1b\[[0-9]*[A-Za-z])"), "");
    return rest.find('\r') != std::string::npos && rest.find_first_not_of('\r') == std::string::npos;
}

TEST_F(watch_e2e, live_rows_fit_the_terminal_as_it_is_resized)
{
    write_image(60000);  // about 6 s a board at 115200 baud: all five stay on screen
    for (size_t i = 0; i < 5; ++i)
        start_device({"--baud", "115200"});
    terminal screen(60, 5);
    start_watch({"--include-present"}, on_terminal(screen.path(), {"TERM=xterm"}));
    ASSERT_TRUE(screen.read_until([](const std::string& t) { return Value(t, HasSubstr("\r\x1b[2K+3 more boards\n")); }))
        << screen.text;
    expect_paints_fit(screen.text, 0, 60, 5);

    size_t resized = screen.text.size();
    screen.resize(120, 10);  // room for every row and the footer
    auto fits_all = [&](const std::string& t) {
        std::vector<paint> all = paints(t);
        return !all.empty() && all.back().end > resized && all.back().lines.size() == 6 &&
               all.back().lines[0].size() > 59;
    };
    ASSERT_TRUE(screen.read_until(fits_all)) << screen.text.substr(resized);
    size_t seen = paints(screen.text).back().end;
    ASSERT_TRUE(screen.read_until([&](const std::string& t) { return paints(t).back().end > seen; }));
    expect_paints_fit(screen.text, seen - 1, 120, 10);

    watcher->signal(SIGINT);
    ASSERT_TRUE(screen.read_until([](const std::string& t) { return Value(t, HasSubstr("zelflash: stopping")); }));
    EXPECT_TRUE(starts_clean(screen.text, "zelflash: stopping")) << screen.text.substr(seen);
    watcher->signal(SIGINT);
    child_end r = watcher->finish(30s);
    EXPECT_EQ(r.status, 130);
}

// Refused before anything is looked at: status 2 and the reason. DIR stands
// for the test's folder.
struct bad_option_case {
    const char* name;
    std::vector<std::string> args;
    std::string message;
};

class watch_bad_option : public testing::TestWithParam<bad_option_case> {};

TEST_P(watch_bad_option, is_refused_with_status_2_and_the_reason)
{
    temp_dir dir{"zelflash-options"};
    auto fill = [&](std::string s) {
        for (size_t at; (at = s.find("DIR")) != std::string::npos;)
            s.replace(at, 3, dir.path.string());
        return s;
    };
    std::vector<std::string> args = {"watch"};
    for (const std::string& a : GetParam().args)
        args.push_back(fill(a));
    child_end r = start_zelflash(args, dir.path).finish(10s);
    EXPECT_EQ(r.status, 2);
    EXPECT_THAT(r.err, HasSubstr("zelflash: " + fill(GetParam().message)));
    EXPECT_EQ(r.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    watch, watch_bad_option,
    testing::Values(
        bad_option_case{"empty_glob", {"--glob", ""}, "--glob: '' is an empty pattern and matches no path"},
        bad_option_case{"wildcard_in_a_folder", {"--glob", "DIR/*/dev0"},
                        "--glob: 'DIR/*/dev0' has a wildcard in a folder (DIR/*); wildcards may only stand in the "
                        "last part of the path"},
        bad_option_case{"glob_and_match", {"--glob", "DIR/dev*", "--match", "0403:6001"},
                        "--glob and --match cannot go together"},
        bad_option_case{"quiet_and_json", {"--glob", "DIR/dev*", "-q", "--json"},
                        "-q and --json cannot go together"}),
    [](const auto& info) { return info.param.name; });

TEST(zelflash_list, lists_the_same_ports_as_text_and_as_json)
{
    temp_dir dir{"zelflash-list"};
    child_end text = start_zelflash({"list"}, dir.path).finish(10s);
    EXPECT_EQ(text.status, 0) << text.err;
    child_end array = start_zelflash({"list", "--json"}, dir.path).finish(10s);
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
