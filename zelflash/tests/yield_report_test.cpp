// The yield report: lines sorted into records and rejects, the figures of a
// production run, grouping, and the two outputs.
#include "report/yield_report.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>

#include "outputs/board_log.h"

namespace {

using testing::ElementsAre;
using testing::HasSubstr;

// A record as zelflash watch writes it, with the parts a test varies.
struct rec {
    std::string start = "2026-03-02T08:00:00.000Z";
    std::string port = "/dev/ttyUSB0";
    std::string serial;  // "" is null
    std::string outcome = "programmed";
    double seconds = 10;
    uint64_t resends = 0;
    uint64_t frames = 100;
    nlohmann::json labels = nullptr;  // null: no key (an older log)

    rec& at(std::string p) { return port = std::move(p), *this; }
    rec& ended(std::string o) { return outcome = std::move(o), *this; }
    rec& took(double s) { return seconds = s, *this; }
    rec& link(uint64_t f, uint64_t r) { return frames = f, resends = r, *this; }
    rec& labelled(nlohmann::json l) { return labels = std::move(l), *this; }
};

rec board(std::string start, std::string port, std::string serial, std::string outcome, double seconds)
{
    rec r = rec().at(std::move(port)).ended(std::move(outcome)).took(seconds);
    r.start = std::move(start);
    r.serial = std::move(serial);
    return r;
}

// The keys the report reads, and a few of those it passes over.
std::string line(const rec& r)
{
    nlohmann::json j = {{"start", r.start},   {"port", r.port},          {"image", "fw.hex"}, {"image_sha256", "ab12"},
                        {"file_sha256", nullptr}, {"seconds", r.seconds}, {"outcome", r.outcome}, {"retries", 0},
                        {"link", {{"frames", r.frames}, {"resends", r.resends}, {"late_replies", 1}, {"bad_frames", 2},
                                  {"quiet_waits", 0}, {"quiet_ms", 0}, {"unasked_acks", 0}}}};
    j["serial"] = r.serial.empty() ? nlohmann::json(nullptr) : nlohmann::json(r.serial);
    if (!r.labels.is_null())
        j["labels"] = r.labels;
    return j.dump() + "\n";
}

report_data read(const std::vector<rec>& records)
{
    std::string text;
    for (const rec& r : records)
        text += line(r);
    report_data d;
    report_read_text(text, "a.log", &d);
    return d;
}

TEST(yield_report, counts_a_run_with_a_board_failing_first_then_programmed)
{
    // S2's retry comes first in the file but started later: the start decides.
    report_data d = read({board("2026-03-02T08:00:01Z", "p0", "S1", "programmed", 10),
                          board("2026-03-02T08:00:09Z", "p1", "S2", "programmed", 14),
                          board("2026-03-02T08:00:02Z", "p1", "S2", "no answer", 3),
                          board("2026-03-02T08:00:03Z", "p0", "", "not opened", 0),
                          board("2026-03-02T08:00:04Z", "p0", "", "programmed, restart not confirmed", 12),
                          board("2026-03-02T08:00:05Z", "p1", "S3", "no answer", 2)});
    report_summary s = report_tally_up(d, {}).total;
    EXPECT_EQ(s.boards, 6u);
    EXPECT_EQ(s.programmed, 3u);
    EXPECT_EQ(s.failed, 3u);
    EXPECT_THAT(s.failures, ElementsAre(std::pair<const std::string, uint64_t>("no answer", 2),
                                        std::pair<const std::string, uint64_t>("not opened", 1)));
    EXPECT_EQ(s.distinct_boards, 5u);  // S1, S2, S3 and the two records without a serial
    EXPECT_EQ(s.first_pass, 2u);       // S1 and the unconfirmed one
    EXPECT_EQ(s.median_seconds, 12.0);
    EXPECT_EQ(s.slowest_seconds, 14.0);
    ASSERT_EQ(s.ports.size(), 2u);
    EXPECT_EQ(s.ports[1].failed, 2u);
    EXPECT_EQ(s.ports[1].link.bad_frames, 6u);
}

// A record's outcome is read from its key where the key is one this
// version knows; failures are counted under the key's text, so that a
// reworded text counts with the old one. A key unknown, or none (1.1.0),
// leaves it to the text.
TEST(yield_report, the_outcome_key_decides_where_it_is_known_and_the_text_elsewhere)
{
    struct row {
        const char* key;  // nullptr: no key, as 1.1.0 wrote
        const char* text;
        bool programmed;
        const char* counted_as;  // the failure's text; "" when programmed
    };
    const row rows[] = {
        {"no_answer", "no reply", false, "no answer"},
        {"unconfirmed", "programmed (restart unconfirmed)", true, ""},
        {"programmed", "done", true, ""},
        {"not_opened", "programmed", false, "not opened"},
        {"power_lost", "power lost", false, "power lost"},
        {"power_lost", "programmed", true, ""},
        {nullptr, "programmed, restart not confirmed", true, ""},
        {nullptr, "link out of step", false, "link out of step"},
    };
    for (const row& r : rows) {
        nlohmann::json j = nlohmann::json::parse(line(rec().ended(r.text)));
        if (r.key != nullptr)
            j["outcome_key"] = r.key;
        report_data d;
        report_read_text(j.dump() + "\n", "a.log", &d);
        report_summary s = report_tally_up(d, {}).total;
        ASSERT_EQ(d.accepted, 1u) << j.dump();
        EXPECT_EQ(s.programmed, r.programmed ? 1u : 0u) << j.dump();
        if (!r.programmed) {
            EXPECT_THAT(s.failures, ElementsAre(std::pair<const std::string, uint64_t>(r.counted_as, 1))) << j.dump();
        }
    }
}

// The board log 1.1.0 wrote (a board programmed, one that gave no answer,
// one whose port did not open) and the same boards as this version logs
// them: the same figures.
TEST(yield_report, a_log_of_1_1_0_counts_as_the_same_boards_logged_now)
{
    report_data before, now;
    std::string error;
    ASSERT_TRUE(report_read({ZEL_TEST_DATA "/board_log_1.1.0.jsonl"}, &before, &error)) << error;
    ASSERT_EQ(before.accepted, 3u);
    const board_end ends[] = {board_end_of(run_outcome::programmed), board_end_of(run_outcome::no_answer),
                              board_end::not_opened};
    image img;
    img.name = "embedded image";
    img.bytes.assign(60044, 0);
    std::ifstream old(ZEL_TEST_DATA "/board_log_1.1.0.jsonl");
    std::string text;
    for (board_end end : ends) {
        std::string was;
        ASSERT_TRUE(std::getline(old, was));
        nlohmann::json j = nlohmann::json::parse(was);
        ASSERT_EQ(j["outcome"], board_end_text(end)) << "the fixture's boards, in order";
        board_log_record r;
        r.port.path = j["port"];
        r.img = &img;
        r.view = board_unstarted(r.port.path, "", end, "", 60044);
        r.view.seconds = j["seconds"];
        text += board_log_line(r).dump() + "\n";
    }
    report_read_text(text, "now.log", &now);
    report_summary a = report_tally_up(before, {}).total, b = report_tally_up(now, {}).total;
    EXPECT_EQ(b.boards, a.boards);
    EXPECT_EQ(b.programmed, a.programmed);
    EXPECT_EQ(b.failed, a.failed);
    EXPECT_EQ(b.failures, a.failures);
    EXPECT_EQ(b.first_pass, a.first_pass);
    EXPECT_EQ(b.median_seconds, a.median_seconds);
    EXPECT_THAT(a.failures, ElementsAre(std::pair<const std::string, uint64_t>("no answer", 1),
                                        std::pair<const std::string, uint64_t>("not opened", 1)));
    EXPECT_EQ(a.programmed, 1u);
}

TEST(yield_report, median_of_the_programmed_records_odd_and_even)
{
    const std::pair<std::vector<double>, std::optional<double>> cases[] = {
        {{}, std::nullopt}, {{5}, 5}, {{9, 1, 4}, 4}, {{8, 1, 4, 2}, 3}, {{1.5, 1.5, 7, 0.25}, 1.5}};
    for (const auto& [seconds, median] : cases) {
        std::vector<rec> records = {rec().ended("no answer").took(99)};
        for (double s : seconds)
            records.push_back(rec().took(s));
        EXPECT_EQ(report_tally_up(read(records), {}).total.median_seconds, median) << seconds.size() << " times";
    }
}

TEST(yield_report, groups_by_a_label_with_the_unlabelled_last)
{
    nlohmann::json l1 = {{"lot", "L1"}}, l2 = {{"lot", "L2"}, {"station", "S"}};
    // S9 fails in L2 first, then is programmed in L1: a board of L2's.
    report_data d = read({board("2026-03-02T08:00:00Z", "p", "S9", "no answer", 1).labelled(l2),
                          board("2026-03-02T08:30:00Z", "p", "S9", "programmed", 1).labelled(l1), rec(),
                          rec().labelled(l2), rec().labelled({{"station", "S"}})});
    report_tally t = report_tally_up(d, {REPORT_BY_LABEL, "lot"});
    ASSERT_EQ(t.groups.size(), 3u);
    EXPECT_EQ(t.groups[0].value, "L1");
    EXPECT_EQ(t.groups[1].value, "L2");
    EXPECT_EQ(t.groups[2].value, std::nullopt);
    EXPECT_EQ(t.groups[1].summary.failed, 1u);
    EXPECT_EQ(t.groups[2].summary.boards, 2u);
    EXPECT_EQ(t.groups[0].summary.distinct_boards, 0u);
    EXPECT_EQ(t.groups[1].summary.distinct_boards, 2u);
    EXPECT_EQ(t.groups[1].summary.first_pass, 1u);
    EXPECT_EQ(t.total.first_pass, 3u);
    std::string text = report_text(d, {REPORT_BY_LABEL, "lot"});
    EXPECT_LT(text.find("Label lot: L1\n"), text.find("Label lot: L2\n"));
    EXPECT_LT(text.find("Label lot: (none)\n"), text.find("Total\n"));
}

TEST(yield_report, groups_by_the_file_digest_when_there_is_one)
{
    std::string a = R"({"start":"t","port":"p","serial":null,"image":"fw.hex","seconds":1,"outcome":"programmed",)"
                    R"("link":null,"image_sha256":)";
    report_data d;
    report_read_text(a + R"("b1","file_sha256":"f1"})" "\n" + a + R"("b2","file_sha256":"f1"})" "\n" + a +
                         R"("b2","file_sha256":null})" "\n",
                     "a.log", &d);
    report_tally t = report_tally_up(d, {REPORT_BY_IMAGE, ""});
    ASSERT_EQ(t.groups.size(), 2u);
    EXPECT_EQ(t.groups[0].sha256, "b2");
    EXPECT_EQ(t.groups[1].sha256, "f1");
    EXPECT_EQ(t.groups[1].summary.boards, 2u);
}

struct reject_case {
    std::string line;
    std::string reason;
};

class rejected : public testing::TestWithParam<reject_case> {};

TEST_P(rejected, counted_with_file_line_and_reason)
{
    report_data d;
    report_read_text(line({}) + "\n" + GetParam().line, "st1.log", &d);
    EXPECT_EQ(d.lines, 2u);
    EXPECT_EQ(d.accepted, 1u);
    EXPECT_EQ(d.rejected, 1u);
    ASSERT_EQ(d.rejections.size(), 1u);
    EXPECT_EQ(d.rejections[0].file, "st1.log");
    EXPECT_EQ(d.rejections[0].line, 3u);
    EXPECT_THAT(d.rejections[0].reason, HasSubstr(GetParam().reason));
}

// A good record with `key` set to `value`, or without it when none.
std::string with(const std::string& key, std::optional<nlohmann::json> value = std::nullopt)
{
    nlohmann::json j = nlohmann::json::parse(line({}));
    value ? void(j[key] = *value) : void(j.erase(key));
    return j.dump() + "\n";
}

INSTANTIATE_TEST_SUITE_P(
    yield_report, rejected,
    testing::Values(reject_case{"programmed\n", "not JSON (at byte 1)"}, reject_case{"[1]\n", "not a JSON object"},
                    reject_case{"{\"seconds\":1e400}\n", "not JSON (a number too large)"},
                    reject_case{with("outcome"), "key \"outcome\" missing"},
                    reject_case{with("seconds", "9"), "key \"seconds\""},
                    reject_case{with("seconds", -0.5), "key \"seconds\""},
                    reject_case{with("serial", 7), "key \"serial\" is not a string or null"},
                    reject_case{with("port", nullptr), "key \"port\" is not a string"},
                    reject_case{with("link", {{"frames", -1}}), "\"frames\""},
                    reject_case{with("link", 0), "key \"link\""},
                    reject_case{with("labels", {{"lot", 5}}), "key \"labels\""},
                    reject_case{with("values", "1017"), "key \"values\""},
                    reject_case{line({}).substr(0, 40), "incomplete last line"},
                    reject_case{line({}).substr(0, line({}).size() - 1), "incomplete last line"},
                    reject_case{" {" + std::string(REPORT_MAX_LINE, ' ') + "}\n", "longer than 65536 bytes"}));

TEST(yield_report, blank_lines_are_counted_apart_and_the_first_rejections_kept)
{
    std::string at_limit = line({});
    at_limit.insert(0, REPORT_MAX_LINE + 1 - at_limit.size(), ' ');  // the limit counts the line without its end
    std::string text = "\n \r\n\t\n" + at_limit + "  ";
    for (int i = 0; i < 12; ++i)
        text += "\nbad";
    report_data d;
    report_read_text(text + "\n", "a.log", &d);
    EXPECT_EQ(d.blank, 4u);
    EXPECT_EQ(d.lines, 13u);
    EXPECT_EQ(d.accepted, 1u);
    EXPECT_EQ(d.rejected, 12u);
    EXPECT_EQ(d.rejections.size(), REPORT_KEPT_REJECTIONS);
    EXPECT_THAT(report_text(d, {}), HasSubstr("\n  and 2 more\n"));
}

// A folder of its own under the system's temporary folder (on Windows too).
struct scratch {
    std::filesystem::path path = std::filesystem::temp_directory_path() /
                                 ("zelflash-report-" +
                                  std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    scratch() { std::filesystem::create_directories(path); }
    ~scratch()
    {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

TEST(yield_report, reads_files_across_its_read_chunks_and_names_one_it_cannot_open)
{
    scratch dir;
    std::string big = (dir.path / "big.log").string(), other = (dir.path / "other.log").string();
    std::ofstream out(big, std::ios::binary);
    for (int i = 0; i < 1000; ++i)
        out << line(rec().took(i));
    out.close();
    std::ofstream(other, std::ios::binary) << line({}) << "{\"start\"";
    report_data d;
    std::string error;
    ASSERT_TRUE(report_read({big, other}, &d, &error)) << error;
    EXPECT_EQ(d.accepted, 1001u);
    EXPECT_EQ(d.incomplete, 1u);
    EXPECT_THAT(d.files, ElementsAre(big, other));
    std::string missing = (dir.path / "none.log").string();
    EXPECT_FALSE(report_read({missing}, &d, &error));
    EXPECT_THAT(error, HasSubstr(missing + ": cannot open the board log"));
    EXPECT_FALSE(report_read({dir.path.string()}, &d, &error));  // a folder
    EXPECT_THAT(error, HasSubstr(dir.path.string() + ": cannot "));
}

struct mark_case {
    uint64_t boards, failed, frames, resends;  // of the port looked at; the other has 10 boards, 0 or 1 failed
    uint64_t others_failed, others_resends;
    bool many_failures, many_resends;
};

class marks : public testing::TestWithParam<mark_case> {};

TEST_P(marks, a_port_far_worse_than_the_others_stands_out)
{
    const mark_case& c = GetParam();
    std::vector<rec> records;
    auto outcome = [](bool failed) { return failed ? "no answer" : "programmed"; };
    for (uint64_t i = 0; i < 10; ++i)
        records.push_back(rec().at("good").ended(outcome(i < c.others_failed)).link(10, i < c.others_resends));
    for (uint64_t i = 0; i < c.boards; ++i)
        records.push_back(rec().at("odd").ended(outcome(i < c.failed)).link(i ? 0 : c.frames, i ? 0 : c.resends));
    report_port odd = report_tally_up(read(records), {}).total.ports[1];
    EXPECT_EQ(odd.many_failures, c.many_failures);
    EXPECT_EQ(odd.many_resends, c.many_resends);
}

INSTANTIATE_TEST_SUITE_P(yield_report, marks,
                         testing::Values(mark_case{10, 1, 100, 1, 0, 0, true, true},     // 10 points, 1 point
                                         mark_case{10, 2, 100, 2, 1, 1, true, true},     // exactly twice
                                         mark_case{10, 1, 100, 1, 1, 1, false, false},   // alike
                                         mark_case{20, 3, 200, 2, 1, 1, false, false},   // 15% against 10%
                                         mark_case{2, 2, 100, 50, 0, 0, false, false},   // too few boards
                                         mark_case{3, 1, 1000, 5, 0, 0, true, false}));  // 0.5 points

TEST(yield_report, text_is_aligned_and_free_of_terminal_codes)
{
    report_data d = read({rec().at("\x1b[2J/dev/ttyUSB9\xc2\x9b"), rec().at("p").ended("no answer")});
    std::string text = report_text(d, {});
    EXPECT_EQ(text.find_first_of("\x1b\x9b"), std::string::npos);
    EXPECT_THAT(text, HasSubstr("\n  ?[2J/dev/ttyUSB9?       1       0     100        0     1           2"));
    EXPECT_THAT(text, HasSubstr("\n  p                       1       1     100        0     1           2"));
    EXPECT_THAT(text, HasSubstr("\n  First-pass yield        1  50.0%  of 2 boards\n  Median time       10.00 s\n"));
}

TEST(yield_report, json_holds_the_lines_groups_and_total)
{
    report_data d = read({rec().labelled({{"lot", "L1"}})});
    report_read_text("x\n", "b.log", &d);
    nlohmann::json j = report_json(d, {REPORT_BY_LABEL, "lot"});
    EXPECT_EQ(j["files"], nlohmann::json({"a.log", "b.log"}));
    EXPECT_EQ(j["lines"]["rejections"][0]["file"], "b.log");
    EXPECT_EQ(j["by"], "label:lot");
    EXPECT_EQ(j["groups"][0]["value"], "L1");
    EXPECT_EQ(j["total"]["first_pass"]["yield"], 1.0);
    EXPECT_EQ(j["total"]["ports"][0]["marks"], nlohmann::json::array());
}

TEST(yield_report, grouping_is_image_or_a_label)
{
    report_grouping g;
    std::string error;
    for (const char* good : {"image", "label:lot"})
        EXPECT_TRUE(report_grouping_parse(good, &g, &error)) << good;
    EXPECT_EQ(g.label, "lot");
    for (const char* bad : {"label:", "lot", ""})
        EXPECT_FALSE(report_grouping_parse(bad, &g, &error)) << bad;
    EXPECT_THAT(error, HasSubstr("label:NAME"));
}

// Random logs of known lines: whatever the mix, every non-blank line is
// either a record or rejected, and the figures add up.
TEST(yield_report, random_logs_add_up)
{
    const std::string kinds[] = {line(board("t2", "p", "S1", "programmed", 1).labelled({{"lot", "A"}})),
                                 line(board("t1", "p", "S1", "no answer", 1).labelled({{"lot", "B"}})), "\n", " \r\n",
                                 "{\"start\":1}\n", "nonsense\n", line(rec().at("p2")).substr(0, 30) + "\n"};
    for (uint32_t seed = 1; seed <= 3000; ++seed) {
        std::mt19937 random(seed);
        report_data d;
        uint64_t good = 0, bad = 0, blank = 0;
        for (int file = 0; file < 2; ++file) {
            std::string text;
            size_t n = random() % 12, k = 0;
            for (size_t i = 0; i < n; ++i) {
                k = random() % std::size(kinds);
                text += kinds[k];
                good += k < 2, blank += k == 2 || k == 3, bad += k >= 4;
            }
            if (n > 0 && random() % 2) {  // the last line still being written
                text.pop_back();
                good -= k < 2, blank -= k == 2, bad += k < 2;
            }
            report_reader reader("f", &d);
            for (size_t at = 0; at < text.size();) {  // in pieces of 1 to 64 bytes
                size_t piece = 1 + random() % 64;
                reader.feed(std::string_view(text).substr(at, piece));
                at += piece;
            }
            reader.finish();
        }
        ASSERT_EQ(d.accepted, good) << "seed " << seed;
        ASSERT_EQ(d.rejected, bad) << "seed " << seed;
        ASSERT_EQ(d.blank, blank) << "seed " << seed;
        ASSERT_EQ(d.lines, d.accepted + d.rejected) << "seed " << seed;
        report_tally t = report_tally_up(d, {REPORT_BY_LABEL, "lot"});
        report_summary sum;
        for (const report_group& g : t.groups)
            sum.boards += g.summary.boards, sum.distinct_boards += g.summary.distinct_boards,
                sum.first_pass += g.summary.first_pass;
        ASSERT_EQ(sum.boards, t.total.boards) << "seed " << seed;
        ASSERT_EQ(sum.distinct_boards, t.total.distinct_boards) << "seed " << seed;
        ASSERT_EQ(sum.first_pass, t.total.first_pass) << "seed " << seed;
    }
}

// ---- fixtures: slots, board keys and notes ---------------------------------

// A record of a fixture's port: `slot` when it has one, `values` as given.
std::string slotted(const rec& r, std::optional<uint64_t> slot, nlohmann::json values = nlohmann::json::object())
{
    nlohmann::json j = nlohmann::json::parse(line(r));
    if (slot)
        j["slot"] = *slot;
    j["values"] = std::move(values);
    return j.dump() + "\n";
}

report_data read_keyed(const std::string& text, const std::string& board_key)
{
    report_data d;
    d.board_key = board_key;
    report_read_text(text, "fixture.log", &d);
    return d;
}

struct keying_case {
    const char* label;
    std::string board_key;
    std::vector<std::string> lines;
    uint64_t boards, first_pass;
};

void PrintTo(const keying_case& c, std::ostream* out)
{
    *out << c.label;
}

class keyed : public testing::TestWithParam<keying_case> {};

TEST_P(keyed, boards_are_known_by_their_value_their_adapter_or_not_at_all)
{
    const keying_case& c = GetParam();
    std::string text;
    for (const std::string& l : c.lines)
        text += l;
    report_data d = read_keyed(text, c.board_key);
    ASSERT_EQ(d.accepted, c.lines.size());
    report_summary s = report_tally_up(d, {}).total;
    EXPECT_EQ(s.distinct_boards, c.boards);
    EXPECT_EQ(s.first_pass, c.first_pass);
}

rec at(const char* start, const char* serial, const char* outcome)
{
    return board(start, "/dev/ttyUSB2", serial, outcome, 5);
}

const char* const t1 = "2026-12-09T10:00:01.000Z";
const char* const t2 = "2026-12-09T10:00:02.000Z";
const nlohmann::json v17 = {{"serial", "1017"}}, v18 = {{"serial", "1018"}};

INSTANTIATE_TEST_SUITE_P(yield_report, keyed, testing::Values(
    keying_case{"one_adapter_without_slots_is_one_board", "",
                {slotted(at(t2, "FT1", "programmed"), {}), slotted(at(t1, "FT1", "no answer"), {})}, 1, 0},
    keying_case{"each_slot_record_is_a_board_of_its_own", "",
                {slotted(at(t2, "FT1", "programmed"), 3), slotted(at(t1, "FT1", "no answer"), 3),
                 slotted(at(t1, "FT1", "programmed"), 0)}, 3, 2},
    keying_case{"slot_records_beside_a_board_of_the_same_adapter", "",
                {slotted(at(t1, "FT1", "no answer"), {}), slotted(at(t2, "FT1", "programmed"), 1),
                 slotted(at(t2, "FT1", "programmed"), {})}, 2, 1},
    keying_case{"the_value_knows_a_slots_boards", "serial",
                {slotted(at(t2, "FT1", "programmed"), 3, v17), slotted(at(t1, "FT1", "no answer"), 3, v17),
                 slotted(at(t2, "FT1", "programmed"), 3, v18)}, 2, 1},
    keying_case{"the_value_over_the_adapter_without_slots", "serial",
                {slotted(at(t1, "FT1", "programmed"), {}, v17), slotted(at(t2, "FT1", "programmed"), {}, v18)}, 2, 2},
    keying_case{"without_the_value_a_slot_record_is_its_own", "serial",
                {slotted(at(t1, "FT1", "programmed"), 3, {{"mac", "1017"}}), slotted(at(t2, "FT1", "no answer"), 3),
                 slotted(at(t2, "FT1", "programmed"), 3, {{"serial", ""}})}, 3, 2},
    keying_case{"without_the_value_the_adapter_knows_it", "serial",
                {slotted(at(t2, "FT1", "programmed"), {}), slotted(at(t1, "FT1", "no answer"), {}),
                 slotted(at(t1, "", "programmed"), {})}, 2, 1},
    keying_case{"a_value_and_an_adapter_serial_alike_are_two_boards", "serial",
                {slotted(at(t1, "1017", "no answer"), {}), slotted(at(t2, "FT9", "programmed"), {}, v17)}, 2, 1},
    keying_case{"another_field_than_the_key_is_not_read", "mac",
                {slotted(at(t1, "FT1", "no answer"), {}, v17), slotted(at(t2, "FT1", "programmed"), {}, v18)}, 1, 0}),
    [](const auto& info) { return std::string(info.param.label); });

// The first-pass sentence of the legend and the one of the lines as they
// read with no slot, no key and no note: as they always have.
const std::string plain_first_pass =
    "First-pass yield: boards programmed at their first record, of all boards. A board is known by\n"
    "  its adapter's USB serial number; a record without one is a board of its own. A board's first\n"
    "  record is the one that started first.\n";
const std::string plain_lines =
    "Lines: every line that is not blank is a record or rejected; a last line without its line end\n"
    "  is still being written and is rejected.\n";

TEST(yield_report, the_legend_says_how_boards_are_known)
{
    std::string plain = report_text(read_keyed(slotted(rec(), {}), ""), {});
    EXPECT_THAT(plain, HasSubstr(plain_first_pass));
    EXPECT_THAT(plain, HasSubstr(plain_lines));
    EXPECT_THAT(plain, HasSubstr("1 line read: 1 record, 0 rejected;"));
    EXPECT_EQ(plain.find("Notes"), std::string::npos);
    std::string slots = report_text(read_keyed(slotted(rec(), 2), ""), {});
    EXPECT_THAT(slots, HasSubstr("First-pass yield: boards programmed at their first record, of all boards. A board is "
                                 "known by\n  its adapter's USB serial number; a record of a fixture's slot (whose "
                                 "adapter stays while\n  boards come and go) or without a serial number is a board of "
                                 "its own. A board's first\n  record is the one that started first.\n"));
    EXPECT_THAT(slots, HasSubstr(plain_lines));
    std::string keyed = report_text(read_keyed(slotted(rec(), {}), "ser\x1bial"), {});
    EXPECT_THAT(keyed, HasSubstr("A board is known by\n  its value \"ser?ial\" (of the values given to it); a record "
                                 "without one by its adapter's USB\n  serial number, and a record of a fixture's slot "
                                 "or without a serial number is a board of its\n  own. A board's first record is the "
                                 "one that started first.\nMedian"));
}

// A good record without its outcome and with `kind` as its note: a note,
// whatever else it holds.
std::string noted(nlohmann::json kind)
{
    nlohmann::json j = nlohmann::json::parse(with("outcome"));
    j["note"] = std::move(kind);
    return j.dump() + "\n";
}

INSTANTIATE_TEST_SUITE_P(
    fixture_lines, rejected,
    testing::Values(reject_case{with("slot", -1), "key \"slot\" is not a slot number (an unsigned integer)"},
                    reject_case{with("slot", "3"), "key \"slot\" is not a slot number"},
                    reject_case{with("slot", 1.5), "key \"slot\" is not a slot number"},
                    reject_case{with("slot", nullptr), "key \"slot\" is not a slot number"},
                    reject_case{with("slot", {{"slot", 3}}), "key \"slot\" is not a slot number"},
                    reject_case{"{\"note\":7,\"slot\":3}\n", "key \"note\" is not a string"},
                    reject_case{"{\"note\":null}\n", "key \"note\" is not a string"},
                    reject_case{"{\"note\":\"still_in_loader\",}\n", "not JSON (at byte 27)"},
                    reject_case{"[{\"note\":\"still_in_loader\"}]\n", "not a JSON object"},
                    reject_case{"{\"note\":\"still_in_loader\"}", "incomplete last line"},
                    reject_case{noted(7), "key \"note\" is not a string"}));

std::string note(const std::string& kind)
{
    return nlohmann::json({{"log_version", 2}, {"note", kind}, {"time", "2026-12-09T10:15:09.500Z"},
                           {"port", "/dev/ttyUSB2"}, {"slot", 3}, {"values", {{"serial", "1017"}}}})
               .dump() +
           "\n";
}

TEST(yield_report, notes_are_counted_by_kind_apart_from_records_and_rejects)
{
    std::string text = slotted(rec(), 3) + note("still_in_loader") + "\n" + noted("still_in_loader") +
                       note("power_dropped") + with("note", 7) + "{\"note\":7}\n" + note("still_in_loader").substr(0, 20);
    report_data d;
    report_read_text(text, "a.log", &d);
    EXPECT_EQ(d.accepted, 2u);  // the slot's record, and one with an outcome: a record whatever its "note"
    EXPECT_EQ(d.notes, 3u);
    EXPECT_EQ(d.rejected, 2u);
    EXPECT_EQ(d.lines, d.accepted + d.rejected + d.notes);
    EXPECT_EQ(d.blank, 1u);
    EXPECT_THAT(d.note_kinds, ElementsAre(std::pair<const std::string, uint64_t>("power_dropped", 1),
                                          std::pair<const std::string, uint64_t>("still_in_loader", 2)));
    std::string shown = report_text(d, {REPORT_BY_IMAGE, ""});
    EXPECT_THAT(shown, HasSubstr("\n7 lines read: 2 records, 3 notes, 2 rejected (1 incomplete last line); "
                                 "1 blank line not counted\n"));
    EXPECT_THAT(shown, HasSubstr("  Slowest time      10.00 s\n  Notes: 2 boards still in the loader after their "
                                 "restart (their image may not start); 1 note 'power_dropped'\n\n  Port"));
    EXPECT_EQ(shown.find("Notes:"), shown.rfind("Notes:")) << "in the total only";
    EXPECT_GT(shown.find("Notes:"), shown.find("\nTotal\n"));
    EXPECT_THAT(shown, HasSubstr("Lines: every line that is not blank is a record, a note or rejected; a last line "
                                 "without its\n  line end is still being written and is rejected. A note is what a "
                                 "station noticed about a\n  fixture's slot, counted by its kind.\n"));
}

TEST(yield_report, one_note_and_an_unknown_kind_are_named_in_the_singular)
{
    report_data d = read_keyed(note("power\x1b[2J") + note("still_in_loader"), "");
    EXPECT_THAT(report_text(d, {}), HasSubstr("\n  Notes: 1 board still in the loader after its restart (its image "
                                              "may not start); 1 note 'power?[2J'\n"));
}

TEST(yield_report, json_carries_the_notes_by_kind_and_among_the_lines)
{
    report_data none = read({rec()});
    nlohmann::json j = report_json(none, {});
    EXPECT_EQ(j["notes"], nlohmann::json::object());
    EXPECT_EQ(j["lines"]["notes"], 0);
    report_data d = read_keyed(note("still_in_loader") + note("still_in_loader") + note("x") + line({}), "");
    j = report_json(d, {REPORT_BY_IMAGE, ""});
    EXPECT_EQ(j["notes"], nlohmann::json({{"still_in_loader", 2}, {"x", 1}}));
    EXPECT_EQ(j["lines"]["notes"], 3);
    EXPECT_EQ(j["lines"]["read"], 4);
    EXPECT_EQ(j["lines"]["accepted"], 1);
    EXPECT_FALSE(j["groups"][0].contains("notes")) << "a note has no image";
}

// A fixture's log as its station writes it: one adapter in slot 3 for all
// boards, 1018 failing first, a board without a serial value, two notes.
TEST(yield_report, a_fixtures_log_counts_its_boards_by_slot_or_by_their_value)
{
    struct row {
        std::string board_key;
        uint64_t boards, first_pass;
    };
    for (const row& r : {row{"", 5, 4}, row{"serial", 4, 3}}) {
        report_data d;
        d.board_key = r.board_key;
        std::string error;
        ASSERT_TRUE(report_read({ZEL_TEST_DATA "/board_log_fixture.jsonl"}, &d, &error)) << error;
        EXPECT_EQ(d.accepted, 5u);
        EXPECT_EQ(d.notes, 2u);
        EXPECT_EQ(d.rejected, 0u);
        EXPECT_EQ(d.slotted, 5u);
        report_summary s = report_tally_up(d, {REPORT_BY_LABEL, "lot"}).total;
        EXPECT_EQ(s.boards, 5u) << r.board_key;
        EXPECT_EQ(s.programmed, 4u) << r.board_key;
        EXPECT_EQ(s.distinct_boards, r.boards) << r.board_key;
        EXPECT_EQ(s.first_pass, r.first_pass) << r.board_key;
    }
}

}  // namespace

namespace {

struct hour_case {
    std::string start;
    std::optional<uint64_t> hour;
};

class hours : public testing::TestWithParam<hour_case> {};

TEST_P(hours, a_start_names_its_utc_hour_or_none)
{
    EXPECT_EQ(report_hour_of(GetParam().start), GetParam().hour);
}

INSTANTIATE_TEST_SUITE_P(yield_report, hours,
                         testing::Values(hour_case{"2026-03-02T08:59:59.999Z", 2026030208},
                                         hour_case{"2026-03-02T23:00:00Z", 2026030223},  // 1.1.0's form
                                         hour_case{"2026-12-31T00:00Z", 2026123100},
                                         hour_case{"2026-03-02T08:00:00+02:00", std::nullopt},  // not UTC
                                         hour_case{"2026-03-02T24:00:00Z", std::nullopt},
                                         hour_case{"2026-13-02T08:00:00Z", std::nullopt},
                                         hour_case{"2026-00-02T08:00:00Z", std::nullopt},
                                         hour_case{"2026-03-00T08:00:00Z", std::nullopt},
                                         hour_case{"2026-03-02 08:00:00Z", std::nullopt},
                                         hour_case{"2026-03-02T8Z", std::nullopt},
                                         hour_case{"yesterday", std::nullopt}, hour_case{"", std::nullopt}));

TEST(yield_report, hours_are_counted_across_days_months_and_a_leap_day)
{
    EXPECT_EQ(report_hours_between(2026030208, 2026030208), 0);
    EXPECT_EQ(report_hours_between(2026030223, 2026030300), 1);
    EXPECT_EQ(report_hours_between(2026123123, 2027010100), 1);
    EXPECT_EQ(report_hours_between(2028022800, 2028030100), 48);  // 2028 has a 29 February
    EXPECT_EQ(report_hours_between(2026022800, 2026030100), 24);
    EXPECT_EQ(report_hours_between(1970010100, 2026030208), 492344);  // 20514 days and 8 hours
    EXPECT_EQ(report_hour_text(2026030208), "2026-03-02T08:00:00Z");
}

TEST(yield_report, records_are_counted_by_the_hour_they_started_and_undated_apart)
{
    report_data d = read({board("2026-03-02T08:10:00.000Z", "p", "S1", "programmed", 1),
                          board("2026-03-02T11:00:00.000Z", "p", "S2", "no answer", 1),
                          board("2026-03-02T08:59:59.999Z", "p", "S3", "no answer", 1),
                          board("2026-03-02T11:30:00Z", "p", "S4", "programmed", 1),
                          board("2026-03-02T09:00:00+01:00", "p", "S5", "programmed", 1)});
    report_summary s = report_tally_up(d, {}).total;
    ASSERT_EQ(s.hours.size(), 2u);
    EXPECT_EQ(s.hours[0].hour, 2026030208u);
    EXPECT_EQ(s.hours[0].boards, 2u);
    EXPECT_EQ(s.hours[0].programmed, 1u);
    EXPECT_EQ(s.hours[1].hour, 2026030211u);
    EXPECT_EQ(s.hours[1].boards, 2u);
    EXPECT_EQ(s.hours[1].programmed, 1u);
    EXPECT_EQ(s.undated, 1u);
    nlohmann::json j = report_json(d, {})["total"]["per_hour"];
    EXPECT_EQ(j, nlohmann::json::parse(R"({"hours": [
        {"hour": "2026-03-02T08:00:00Z", "boards": 2, "programmed": 1},
        {"hour": "2026-03-02T11:00:00Z", "boards": 2, "programmed": 1}], "undated": 1})"));
}

struct histogram_case {
    std::vector<double> seconds;  // of programmed records; a failed one of 1000 s is always added
    double width;
    std::vector<uint64_t> counts;
};

class histograms : public testing::TestWithParam<histogram_case> {};

TEST_P(histograms, bins_of_a_round_width_hold_each_programmed_time_once)
{
    std::vector<rec> records = {rec().ended("no answer").took(1000)};
    for (double s : GetParam().seconds)
        records.push_back(rec().took(s));
    report_summary s = report_tally_up(read(records), {}).total;
    EXPECT_EQ(s.times.bin_seconds, GetParam().width);
    EXPECT_EQ(s.times.counts, GetParam().counts);
    nlohmann::json j = report_json(read(records), {})["total"]["seconds"]["histogram"];
    EXPECT_EQ(j["counts"], nlohmann::json(GetParam().counts));
}

INSTANTIATE_TEST_SUITE_P(
    yield_report, histograms,
    testing::Values(histogram_case{{0, 5, 9.99, 10, 19}, 1, {1, 0, 0, 0, 0, 1, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1}},
                    histogram_case{{20}, 2, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}},  // 20 needs a 21st bin of 1 s
                    histogram_case{{0}, 0.01, {1}},
                    histogram_case{{40, 49.9}, 2.5, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 1}},
                    histogram_case{{40, 50}, 5, {0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1}},  // 50 would be a 21st bin of 2.5 s
                    histogram_case{{3, 99}, 5, {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}}));

TEST(yield_report, without_programmed_records_there_is_no_histogram)
{
    report_summary s = report_tally_up(read({rec().ended("no answer")}), {}).total;
    EXPECT_FALSE(s.times.bin_seconds);
    EXPECT_TRUE(s.times.counts.empty());
    EXPECT_TRUE(report_json(read({rec().ended("no answer")}), {})["total"]["seconds"]["histogram"]["bin_seconds"]
                    .is_null());
}

}  // namespace
