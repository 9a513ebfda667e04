// The settings that write and watch share with the job file: each one from
// the job file alone, from the command line alone, and from both, where the
// command line wins; read back where the run takes it from.
#include "station/settings.h"

#include <gtest/gtest.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <fstream>

#include "station/job_options.h"
#include "commands/options.h"
#include "temp_dir.h"

namespace {

struct merge_case {
    setting_id id;
    const char* command;               // write or watch
    std::string in_file;               // the keys after "version = 1"
    std::vector<std::string> on_line;  // the words after the command and its --job
    std::string (*read)(const setting_values& v, const station_setup& setup);
    std::string from_file;  // what `read` shows from the file alone (a path: relative to its folder)
    std::string from_line;  // what it shows from the command line, alone or with the file
};

void PrintTo(const merge_case& c, std::ostream* out)
{
    *out << settings_row(c.id).key;
}

std::string joined(const std::vector<std::string>& words)
{
    std::string text;
    for (const std::string& w : words)
        text += (text.empty() ? "" : " ") + w;
    return text;
}

std::string yes_no(bool on)
{
    return on ? "yes" : "no";
}

// One run of the command line and the job file, merged as main merges them.
struct merged {
    setting_values values;
    station_setup setup;
    std::string error;
};

merged merge(const merge_case& c, const std::filesystem::path& job, bool file, bool line)
{
    std::ofstream(job) << "version = 1\n" << (file ? c.in_file + "\n" : "");
    merged m;
    CLI::App app;
    setting_marks given;
    options_prepare_app(app);
    options_add_write(app, &m.values, &given);
    options_add_watch(app, &m.values, &given);
    std::vector<std::string> words{c.command, "--job", job.string()};
    if (line)
        words.insert(words.end(), c.on_line.begin(), c.on_line.end());
    std::reverse(words.begin(), words.end());  // CLI11 takes them last first
    app.parse(words);
    station_job read;
    bool writing = std::string(c.command) == "write";
    if (!job_file_read(job.string(), &read, &m.error) ||
        !job_options_apply(&read, given, writing, &m.values, &m.setup, &m.error))
        m.values = setting_values{};
    return m;
}

class settings_merge_test : public testing::TestWithParam<merge_case> {};

TEST_P(settings_merge_test, the_file_counts_where_the_command_line_is_silent_and_the_command_line_wins)
{
    const merge_case& c = GetParam();
    temp_dir dir("zel-settings");
    std::filesystem::path job = dir.path / "job.toml";
    std::string from_file = c.from_file;
    if (settings_row(c.id).kind == SETTING_PATH)
        from_file = (dir.path / from_file).string();
    const struct {
        bool file, line;
        std::string shows;
    } sources[] = {{true, false, from_file}, {false, true, c.from_line}, {true, true, c.from_line}};
    for (const auto& s : sources) {
        merged m = merge(c, job, s.file, s.line);
        EXPECT_EQ(m.error, "");
        EXPECT_EQ(c.read(m.values, m.setup), s.shows) << "file " << s.file << ", command line " << s.line;
    }
}

const merge_case merge_cases[] = {
    {SETTING_IMAGE, "watch", "[image]\npath = \"job.bin\"", {"line.bin"},
     [](const setting_values& v, const station_setup&) { return v.flash.image_path; }, "job.bin", "line.bin"},
    {SETTING_FORMAT, "watch", "[image]\nformat = \"ihex\"", {"--format", "srec"},
     [](const setting_values& v, const station_setup&) { return v.flash.format; }, "ihex", "srec"},
    {SETTING_ADDRESS, "watch", "[image]\naddress = 0x1F000", {"-a", "4096"},
     [](const setting_values& v, const station_setup&) { return v.flash.address; }, "0x0001f000", "4096"},
    {SETTING_FILL_GAPS, "watch", "[image]\nfill_gaps = true", {"--fill-gaps"},
     [](const setting_values& v, const station_setup&) { return yes_no(v.flash.fill_gaps); }, "yes", "yes"},
    {SETTING_FLASH_SIZE, "watch", "[image]\nflash_size = 0x100000", {"--flash-size", "0x8000"},
     [](const setting_values& v, const station_setup&) { return std::to_string(v.flash.flash_size); }, "1048576",
     "32768"},
    {SETTING_BAUD, "watch", "[link]\nbaud = 9600", {"-b", "19200"},
     [](const setting_values& v, const station_setup&) { return std::to_string(v.flash.baud); }, "9600", "19200"},
    {SETTING_RETRIES, "watch", "[link]\nretries = 3", {"--retries", "4000"},
     [](const setting_values& v, const station_setup&) { return std::to_string(v.flash.retries); }, "3", "4000"},
    {SETTING_ERASE_TIMEOUT, "watch", "[link]\nerase_timeout = 2.5", {"--erase-timeout", "90"},
     [](const setting_values& v, const station_setup&) { return std::to_string(v.flash.erase_timeout); },
     "2.500000", "90.000000"},
    {SETTING_PORTS, "write", "[station]\nports = [\"/dev/ttyA\", \"/dev/ttyB\"]", {"-p", "COM7"},
     [](const setting_values& v, const station_setup&) { return joined(v.ports); }, "/dev/ttyA /dev/ttyB", "COM7"},
    {SETTING_GLOB, "watch", "[station]\nglob = \"/dev/ttyA*\"", {"--glob", "/dev/serial/by-id/*"},
     [](const setting_values& v, const station_setup&) { return v.watch.glob; }, "/dev/ttyA*", "/dev/serial/by-id/*"},
    {SETTING_MATCH, "watch", "[station]\nmatch = [\"0403:6001\"]", {"--match", "10c4:ea60", "--match", "1a86:7523"},
     [](const setting_values& v, const station_setup&) { return joined(v.watch.match); }, "0403:6001",
     "10c4:ea60 1a86:7523"},
    {SETTING_JOBS, "watch", "[station]\njobs = 256", {"--jobs", "1"},
     [](const setting_values& v, const station_setup&) { return std::to_string(v.watch.jobs); }, "256", "1"},
    {SETTING_INCLUDE_PRESENT, "watch", "[station]\ninclude_present = true", {"--include-present"},
     [](const setting_values& v, const station_setup&) { return yes_no(v.watch.include_present); }, "yes", "yes"},
    {SETTING_LOG, "watch", "[station]\nlog = \"boards.jsonl\"", {"--log", "other.jsonl"},
     [](const setting_values&, const station_setup& s) { return s.log_path; }, "boards.jsonl", "other.jsonl"},
    {SETTING_STATE, "watch", "[station]\nstate = \"lot.serials\"", {"--state", "other.serials"},
     [](const setting_values&, const station_setup& s) { return s.state_path; }, "lot.serials", "other.serials"},
    {SETTING_ON_FAILURE, "watch", "[station]\non_failure = \"reuse\"", {"--on-failure", "burn"},
     [](const setting_values&, const station_setup& s) { return std::string(s.policy == FAILED_REUSE ? "reuse" : "burn"); },
     "reuse", "burn"},
    {SETTING_MODE, "watch", "[station]\nmode = \"fixture\"\nports = [\"/dev/ttyA\"]", {"--mode", "ports", "--glob", "/x*"},
     [](const setting_values& v, const station_setup&) { return v.watch.mode; }, "fixture", "ports"},
    {SETTING_PRESENT, "watch", "[station]\npresent = \"dsr\"", {"--present", "enter"},
     [](const setting_values& v, const station_setup&) { return v.watch.present; }, "dsr", "enter"},
    {SETTING_PROBE_MS, "watch", "[station]\nprobe_ms = 100", {"--probe-ms", "60000"},
     [](const setting_values& v, const station_setup&) { return std::to_string(v.watch.probe_ms); }, "100", "60000"},
    {SETTING_LEAVE_MS, "watch", "[station]\nleave_ms = 600000", {"--leave-ms", "100"},
     [](const setting_values& v, const station_setup&) { return std::to_string(v.watch.leave_ms); }, "600000", "100"},
};

INSTANTIATE_TEST_SUITE_P(settings, settings_merge_test, testing::ValuesIn(merge_cases));

TEST(settings, every_setting_of_both_the_command_line_and_the_file_has_a_merge_case)
{
    for (const setting& s : settings_table()) {
        bool covered = std::any_of(std::begin(merge_cases), std::end(merge_cases),
                                   [&](const merge_case& c) { return c.id == s.id; });
        EXPECT_EQ(covered, s.flag != nullptr) << s.key;
    }
}

TEST(settings, the_table_is_in_the_order_of_its_ids_and_each_key_once_per_section)
{
    std::span<const setting> table = settings_table();
    ASSERT_EQ(table.size(), size_t{SETTING_COUNT});
    for (size_t i = 0; i < table.size(); ++i) {
        EXPECT_EQ(table[i].id, static_cast<setting_id>(i));
        EXPECT_EQ(&settings_row(table[i].id), &table[i]);
        for (size_t j = 0; j < i; ++j)
            EXPECT_FALSE(std::string(table[i].section) == table[j].section &&
                         std::string(table[i].key) == table[j].key)
                << table[i].key;
    }
}

// Switches and lists are set only by being given; a merge copies nothing
// the other source was not given, and what `to` was given stays.
TEST(settings, a_merge_copies_only_what_one_side_gave_and_the_other_did_not)
{
    setting_values from, to;
    setting_marks from_given, to_given;
    from.flash.baud = 9600;
    from.flash.retries = 3;
    from.watch.match = {"0403:6001"};
    from.flash.fill_gaps = true;  // not marked given: stays where it is
    from_given.given[SETTING_BAUD] = from_given.given[SETTING_RETRIES] = from_given.given[SETTING_MATCH] = true;
    to.flash.retries = 5;
    to_given.given[SETTING_RETRIES] = true;
    settings_merge(from, from_given, &to, to_given);
    EXPECT_EQ(to.flash.baud, 9600u);
    EXPECT_EQ(to.flash.retries, 5u);
    EXPECT_EQ(to.watch.match, std::vector<std::string>{"0403:6001"});
    EXPECT_FALSE(to.flash.fill_gaps);
    EXPECT_EQ(to.flash.erase_timeout, flash_options{}.erase_timeout);
}

// The pin on the image is the job file's alone, and names where it stands.
TEST(settings, the_image_pin_comes_from_the_job_file_with_its_line)
{
    station_job job;
    std::string error;
    std::string digits(64, 'a');
    ASSERT_TRUE(job_file_parse("version = 1\n[image]\nsha256 = \"" + std::string(64, 'A') + "\"\n", "bench.toml", &job,
                               &error))
        << error;
    setting_values values;
    station_setup setup;
    ASSERT_TRUE(job_options_apply(&job, setting_marks{}, false, &values, &setup, &error)) << error;
    EXPECT_EQ(setup.image_sha256, digits);
    EXPECT_EQ(setup.pin_origin, "bench.toml line 3: [image] sha256");
}

}  // namespace
