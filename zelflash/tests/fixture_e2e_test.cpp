// zelflash watch --fixture against zelsim --fixture processes: each a slot
// whose pty stays while boards come and go on it. Eight slots with five
// boards each, every board programmed once with its own serial number; a
// board back in its loader after its restart flagged once and left alone;
// an adapter pulled and plugged back; Enter on the station's terminal.
#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <set>

#include "zelflash_harness.h"

namespace {

using namespace zelflash_harness;

// The events of a --json run, one object per line.
std::vector<json> events_of(const std::string& out)
{
    std::vector<json> all;
    size_t at = 0;
    for (size_t end; (end = out.find('\n', at)) != std::string::npos; at = end + 1)
        all.push_back(json::parse(out.substr(at, end - at), nullptr, false));
    return all;
}

size_t count_events(const std::string& out, const std::string& event, const std::string& change = "")
{
    size_t n = 0;
    for (const json& e : events_of(out))
        n += e.value("event", "") == event && (change.empty() || e.value("change", "") == change) ? 1 : 0;
    return n;
}

std::vector<json> log_lines(const fs::path& log)
{
    std::vector<json> all = events_of(read_text(log));
    return all;
}

// How many times each board of a device's report was sent ERASE.
std::vector<int> erases_per_board(const json& report)
{
    std::vector<int> erases;
    for (const json& b : report.value("boards", json::array()))
        erases.push_back(b["commands"].value("ERASE", 0));
    return erases;
}

struct fixture_bench : bench {
    fs::path log = dir.path / "boards.jsonl";

    std::vector<std::string> watch_args(size_t slots, std::vector<std::string> extra = {})
    {
        std::vector<std::string> args = {"watch", "--fixture", "--json", "--probe-ms", "100", "--leave-ms", "400",
                                         "--log", log.string()};
        for (size_t i = 0; i < slots; ++i)
            args.insert(args.end(), {"-p", port(i)});
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }

    // Waits for every device to end on its own and reads their reports.
    std::vector<json> reports_when_done()
    {
        std::vector<json> all;
        for (size_t i = 0; i < sims.size(); ++i) {
            EXPECT_FALSE(sims[i]->finish(std::chrono::seconds(60)).timed_out) << "zelsim " << i;
            all.push_back(json::parse(read_text(file("report", i)), nullptr, false));
        }
        return all;
    }
};

uint32_t le32_at(const bytes& flash, size_t at)
{
    return flash.size() < at + 4 ? 0 : get_le32(flash.data() + at);
}

TEST_F(fixture_bench, forty_boards_through_eight_slots_each_programmed_once_with_its_own_serial)
{
    const size_t slots = 8, boards = 5;
    for (size_t i = 0; i < slots; ++i)
        start_device({"--fixture", "--boards", "5", "--present-ms", "1500", "--absent-ms", "600",
                      "--exit-after-reset-ms", "300"});
    child_process station = start_zelflash(
        watch_args(slots, {"--serial", "0x100:le32:1000", "--state", (dir.path / "lot.serials").string(),
                           "--new-state"}),
        dir.path);
    std::vector<json> reports = reports_when_done();
    station.signal(SIGINT);
    child_end end = station.finish(std::chrono::seconds(30));
    std::vector<json> records = log_lines(log);
    ASSERT_EQ(records.size(), slots * boards) << end.err;
    std::map<int, std::vector<uint32_t>> serials_by_slot;
    std::set<uint32_t> all;
    for (const json& r : records) {
        EXPECT_EQ(r["outcome_key"], "programmed");
        uint32_t serial = static_cast<uint32_t>(std::stoul(r["values"]["serial"].get<std::string>()));
        serials_by_slot[r["slot"].get<int>()].push_back(serial);
        all.insert(serial);
    }
    EXPECT_EQ(all.size(), slots * boards) << "a serial number on two boards";
    for (size_t i = 0; i < slots; ++i) {
        EXPECT_EQ(erases_per_board(reports[i]), std::vector<int>(boards, 1)) << "slot " << i + 1;
        for (size_t n = 0; n < boards; ++n) {
            bytes flash = read_file(file("flash", i).string() + "." + std::to_string(n + 1));
            ASSERT_EQ(serials_by_slot[static_cast<int>(i + 1)].size(), boards);
            EXPECT_EQ(le32_at(flash, 0x100), serials_by_slot[static_cast<int>(i + 1)][n])
                << "slot " << i + 1 << " board " << n + 1 << " holds what its record says";
        }
    }
    EXPECT_EQ(count_events(end.out, "done"), slots * boards);
    child_end report = zelflash({"report", "--json", log.string()});
    json first_pass = json::parse(report.out, nullptr, false)["total"]["first_pass"];
    EXPECT_EQ(first_pass["boards"], slots * boards) << "a board per arrival, not one per adapter";
    EXPECT_EQ(first_pass["programmed"], slots * boards);
}

TEST_F(fixture_bench, a_board_back_in_its_loader_is_flagged_once_and_never_programmed_again)
{
    start_device({"--fixture", "--boards", "2", "--loader-boards", "1", "--present-ms", "2500", "--absent-ms", "800",
                  "--exit-after-reset-ms", "300"});
    child_process station = start_zelflash(watch_args(1), dir.path);
    std::vector<json> reports = reports_when_done();
    station.signal(SIGINT);
    child_end end = station.finish(std::chrono::seconds(30));
    EXPECT_EQ(erases_per_board(reports[0]), (std::vector<int>{1, 1}));
    EXPECT_EQ(count_events(end.out, "slot", "in_loader"), 1u) << end.out;
    EXPECT_EQ(count_events(end.out, "done"), 2u);
    std::vector<json> lines = log_lines(log);
    size_t notes = 0;
    for (const json& l : lines)
        notes += l.value("note", "") == "still_in_loader" && l["slot"] == 1 ? 1 : 0;
    EXPECT_EQ(notes, 1u);
    EXPECT_EQ(lines.size(), 3u) << "two boards and the note";
    json report = json::parse(zelflash({"report", "--json", log.string()}).out, nullptr, false);
    EXPECT_EQ(report["notes"]["still_in_loader"], 1);
    EXPECT_EQ(report["total"]["first_pass"]["boards"], 2);
}

TEST_F(fixture_bench, an_adapter_pulled_between_boards_is_shown_and_its_slot_taken_up_again)
{
    start_device({"--fixture", "--boards", "1", "--present-ms", "1000"});
    child_process station = start_zelflash(watch_args(1), dir.path);
    ASSERT_TRUE(eventually([&] { return count_events(station.out(), "slot", "left") == 1; })) << station.out();
    device_report(0);  // the adapter pulled
    ASSERT_TRUE(eventually([&] { return count_events(station.out(), "slot", "unplugged") == 1; }));
    // Seated for longer than the slot's wait between two opens of its port.
    start_device({"--fixture", "--boards", "1", "--present-ms", "3000", "--exit-after-reset-ms", "300"}, port(0));
    std::vector<json> reports = reports_when_done();
    station.signal(SIGINT);
    child_end end = station.finish(std::chrono::seconds(30));
    EXPECT_EQ(count_events(end.out, "slot", "plugged"), 1u) << end.out;
    EXPECT_EQ(count_events(end.out, "done"), 2u);
    EXPECT_EQ(erases_per_board(reports[1]), std::vector<int>{1});
}

// Board 1 comes and goes unasked; board 2 is started by the Enter typed
// while it is seated.
TEST_F(fixture_bench, enter_starts_the_seated_board_and_nothing_is_sent_before_it)
{
    start_device({"--fixture", "--boards", "2", "--present-ms", "2500", "--absent-ms", "500", "--exit-after-reset-ms",
                  "300"});
    terminal keys(80, 24);
    child_io io;
    io.in = to_file(keys.path());
    child_process station = start_zelflash(watch_args(1, {"--present", "enter"}), dir.path, io);
    std::string line;
    while (sims[0]->read_line(&line) && line.find("board 2 seated") == std::string::npos) {
    }
    ASSERT_NE(line.find("board 2 seated"), std::string::npos);
    ASSERT_TRUE(keys.type("\n"));
    ASSERT_TRUE(eventually([&] { return count_events(station.out(), "done") == 1; })) << station.out();
    std::vector<json> reports = reports_when_done();
    station.signal(SIGINT);
    station.finish(std::chrono::seconds(30));
    ASSERT_EQ(reports[0]["boards"].size(), 2u);
    EXPECT_EQ(reports[0]["boards"][0]["frames"]["received"], 0) << "board 1 was asked without Enter";
    EXPECT_EQ(erases_per_board(reports[0]), (std::vector<int>{0, 1}));
}

}  // namespace
