// A production station end to end: zelflash watch and write with a job file
// against zelsim devices, per-board values checked in the devices' flash,
// the state file under kill -9, two stations on one state file, bad job
// files, and the yield report of the logs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <set>

#include "station/job_file.h"
#include "values/serials.h"
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
// The kills' seed: ZEL_TEST_SEED runs them at other moments.
uint32_t kill_seed()
{
    const char* given = std::getenv("ZEL_TEST_SEED");
    return given ? static_cast<uint32_t>(std::strtoul(given, nullptr, 10)) : 20261208u;
}

struct station_killed : station {
    std::mt19937 random{kill_seed()};
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
        serial_state reopened(state.string(), log.string());
        EXPECT_TRUE(reopened.open(fields, FAILED_BURN, &error)) << error;
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
    SCOPED_TRACE("ZEL_TEST_SEED=" + std::to_string(kill_seed()));
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
    std::printf("seed %u: %zu serials in flash, each once; %zu in the state file, %zu burned\n", kill_seed(),
                on_boards.size(), serials.size(), burned);
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

// The state file deleted, or replaced as an editor saves it, while watch
// runs: the next board gets no value, the station stops and saves what its
// file held.
class station_file_lost : public station, public testing::WithParamInterface<std::pair<const char*, const char*>> {};

TEST_P(station_file_lost, takes_no_new_board_and_saves_what_the_file_held)
{
    write_job(5);
    child_process watch = start_zelflash({"watch", "--job", job.string(), "--json"}, dir.path);
    start_device();
    ASSERT_TRUE(eventually([&] { return log_lines() == 1; })) << watch.out();
    if (std::string(GetParam().first) == "rm") {
        fs::remove(state);
    } else {
        fs::copy_file(state, state.string() + ".edit");
        fs::rename(state.string() + ".edit", state);
    }
    // A second station on the path is no longer kept out by the first's
    // lock; whatever it does, the first hands out nothing more.
    std::string outside = (dir.path / "bench1").string();  // not among the ports watch takes
    start_device({}, outside);
    child_end second = zelflash({"write", "-p", outside, "--job", job.string()});
    EXPECT_EQ(second.status, std::string(GetParam().first) == "rm" ? 2 : 0) << second.err;
    start_device();
    child_end r = watch.finish(std::chrono::seconds(30));
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr(state.string() + " is no longer the file this station holds: " + GetParam().second));
    EXPECT_THAT(r.err, HasSubstr("what it recorded is saved as " + state.string() + ".saved-"));
    device_report(2);
    EXPECT_THAT(commands_in(read_text(file("report", 2))), testing::IsEmpty()) << "no value after the change";
    EXPECT_EQ(log_records().back()["outcome"], "not started");
    device_report(0);
    device_report(1);
    if (second.status == 0) {
        EXPECT_NE(flashed(0).first, flashed(1).first) << "one serial on two boards";
    }
}

INSTANTIATE_TEST_SUITE_P(cases, station_file_lost,
                         testing::Values(std::pair{"rm", "it was deleted"},
                                         std::pair{"edited", "another file took its place"}),
                         [](const auto& info) { return std::string(info.param.first); });

// State files that are not the lot's: each is refused (exit 2, nothing
// sent), saying what to do.
struct wrong_state {
    const char* name;
    std::vector<std::string> (*prepare)(station& s);  // the command line, run from the test's folder
    const char* refused;
};

class station_wrong_state : public station, public testing::WithParamInterface<wrong_state> {};

TEST_P(station_wrong_state, is_refused_naming_what_to_do_and_nothing_is_sent)
{
    write_job(5);
    start_device();
    start_device();
    ASSERT_EQ(zelflash({"write", "-p", port(0), "--job", job.string()}).status, 0);  // 5000 on board 0
    std::vector<std::string> args = GetParam().prepare(*this);
    size_t last = sims.size() - 1;  // a device no run has used
    args.insert(args.end(), {"-p", port(last)});
    child_end r = zelflash(args);
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_THAT(r.err, HasSubstr(GetParam().refused));
    device_report(last);
    EXPECT_THAT(commands_in(read_text(file("report", last))), testing::IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    cases, station_wrong_state,
    testing::Values(
        wrong_state{"copied_job",
                    [](station& s) {
                        fs::copy_file(s.job, s.dir.path / "lf.toml");
                        return std::vector<std::string>{"write", "--job", (s.dir.path / "lf.toml").string()};
                    },
                    "lf.serials: there is no state file here. A lot's state file is made once, on purpose: with "
                    "zelflash job init JOB"},
        wrong_state{"copied_job_made_anew",
                    [](station& s) {
                        fs::copy_file(s.job, s.dir.path / "lf.toml");
                        child_end init = s.zelflash({"job", "init", (s.dir.path / "lf.toml").string()});
                        EXPECT_EQ(init.status, 2);
                        EXPECT_THAT(init.err, HasSubstr("boards.jsonl:1 shows mac 02:00:00:00:00:00 on a board, so "
                                                        "this lot's values have been handed out already"));
                        fs::remove(s.dir.path / "lf.serials");
                        write_file(s.dir.path / "lf.serials", "");
                        return std::vector<std::string>{"write", "--job", (s.dir.path / "lf.toml").string()};
                    },
                    "lf.serials is empty, so it is no state file"},
        wrong_state{"other_folder",
                    [](station& s) {
                        return std::vector<std::string>{"write", "--job", s.job.string(), "--state", "st2.serials"};
                    },
                    "st2.serials: there is no state file here"},
        wrong_state{"older_copy",
                    [](station& s) {
                        fs::copy_file(s.state, s.dir.path / "backup");
                        s.zelflash({"write", "-p", s.port(1), "--job", s.job.string()});  // 5001 on board 1
                        s.start_device();
                        fs::copy_file(s.dir.path / "backup", s.state, fs::copy_options::overwrite_existing);
                        return std::vector<std::string>{"write", "--job", s.job.string()};
                    },
                    "boards.jsonl:2 shows mac 02:00:00:00:00:01 on a board, but"}),
    [](const auto& info) { return std::string(info.param.name); });

// With on_failure = "reuse", a failed board's values go to the next board
// only if none of its chunks holding them can have reached its flash.
TEST_F(station, reuse_hands_out_again_only_values_no_chunk_carried)
{
    write_job(5, "", "");
    std::vector<std::string> misses;  // every frame from the clock on: every chunk was acknowledged
    for (int frame = 12; frame < 40; ++frame)
        misses.insert(misses.end(), {"--miss-frame", std::to_string(frame)});
    start_device({"--mute"});
    start_device();
    start_device(misses);
    start_device();
    auto program = [&](size_t i) {
        return zelflash({"write", "-p", port(i), "--job", job.string(), "--on-failure", "reuse"}).status;
    };
    EXPECT_EQ(program(0), 1);
    EXPECT_EQ(program(1), 0);
    EXPECT_EQ(program(2), 1);
    EXPECT_EQ(program(3), 0);
    for (size_t i : {1, 2, 3})
        device_report(i);
    EXPECT_EQ(flashed(1).first, 5000u) << "the mute board was sent nothing: its serial goes to the next";
    EXPECT_EQ(flashed(2).first, 5001u);
    EXPECT_EQ(flashed(3).first, 5002u) << "board 2 holds 5001 in its flash";
    EXPECT_THAT(read_text(state), HasSubstr(R"("then":"burn","why":"sent")"));
    EXPECT_EQ(log_lines(), 4u) << "write --job writes the job's log";
}

// Any number of job checks at once, beside a running station: each reads
// the state file where it is, and a folder of the old scratch name stays.
TEST_F(station, job_checks_at_once_beside_a_station_touch_nothing_they_did_not_make)
{
    write_job(5);
    fs::path scratch = fs::temp_directory_path() / "zelflash-check-1804289383";
    bool ours = fs::create_directory(scratch);
    write_file(scratch / "keep", "someone's");
    child_process watch = start_zelflash({"watch", "--job", job.string(), "--glob", (dir.path / "none*").string()}, dir.path);
    ASSERT_TRUE(printed(watch, "watching")) << watch.out();
    std::string before = read_text(state);
    std::vector<std::unique_ptr<child_process>> checks;
    for (int i = 0; i < 6; ++i)
        checks.push_back(std::make_unique<child_process>(ZELFLASH_PATH, std::vector<std::string>{"job", "check", job.string()},
                                                         zelflash_io(dir.path, {})));
    for (auto& c : checks) {
        child_end r = c->finish();
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_THAT(r.out, HasSubstr("next 5000"));
    }
    EXPECT_EQ(read_text(scratch / "keep"), "someone's");
    EXPECT_EQ(read_text(state), before);
    watch.signal(SIGINT);
    EXPECT_EQ(watch.finish().status, 0);
    if (ours)
        fs::remove_all(scratch);
}

// job check says what a run could not write: here the job's folder is on a
// read-only mount (a mount namespace of its own, gone with the command).
TEST_F(station, job_check_says_when_the_state_file_cannot_be_written)
{
    write_job(5);
    std::string folder = dir.path.string();
    child_process ro("/usr/bin/unshare",
                     {"-rm", "sh", "-c",
                      "mount --bind \"$1\" \"$1\" && mount -o remount,bind,ro \"$1\" && exec \"$2\" job check \"$3\"",
                      "sh", folder, ZELFLASH_PATH, job.string()},
                     zelflash_io(dir.path, {}));
    child_end checked = ro.finish();
    EXPECT_EQ(checked.status, 2) << checked.out;
    EXPECT_THAT(checked.err, HasSubstr("the state file cannot be written: " + folder + " is on a read-only file system"));
}

// A command line that would silently override the job is refused.
TEST_F(station, command_lines_that_would_override_the_job_are_refused)
{
    write_job(5, "[[field]]\nname = \"batch\"\naddress = 0x10040\nkind = \"value\"\nformat = \"text4\"\n");
    write_file(dir.path / "bench.toml", "version = 1\n[image]\npath = \"image.bin\"\naddress = 0x10000\n"
                                        "[station]\nports = [\"" + port(0) + "\"]\n");
    start_device();
    const std::pair<std::vector<std::string>, const char*> rows[] = {
        {{"write", "-p", port(0), "--job", job.string(), "--set", "batch=A", "--serial", "0x10050:le32:1"},
         "names field 'serial', which the job already defines ("},
        {{"write", "-p", port(0), "--job", job.string(), "--set", "batch=A", "--set", "batch=B"},
         "--set batch=B: field 'batch' is already given by --set batch=A"},
        {{"write", "-p", port(0), "--job", job.string(), "--set", "batch=A", "--set", "serial=5"},
         "field 'serial' is a counter: its values come from the state file"},
        {{"watch", "--job", (dir.path / "bench.toml").string()},
         "names ports but no glob or match: it is a job for zelflash write"},
        {{"write", "-p", port(0), "--state", "new.serials", "--serial", "0x10050:le32:1", "--new-state", "--job",
          job.string()},
         "--new-state is for a state file without a job"},
    };
    for (const auto& [args, refused] : rows) {
        child_end r = zelflash(args);
        EXPECT_EQ(r.status, 2) << args[0];
        EXPECT_THAT(r.err, HasSubstr(refused));
    }
    device_report(0);
    EXPECT_THAT(commands_in(read_text(file("report", 0))), testing::IsEmpty());
}

}  // namespace
