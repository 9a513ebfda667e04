// report --lot against a private PostgreSQL server (pg_server.h): a lot's
// board records read from zelflash.boards give the same report, text, JSON
// and page, as the same lines in a board log; read in batches of any size in
// one stable order; and the ways it is refused.
#include "report/report_lot.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <tuple>

#include "child_process.h"
#include "pg_suite.h"
#include "temp_dir.h"

namespace {

using json = nlohmann::json;
using testing::HasSubstr;

// One board's row: its station, ticket and record (the board-log line).
struct board_row {
    std::string station;
    uint64_t ticket = 0;
    json record;
};

// Boards of three stations as they would log them: some boards failing
// first and programmed later at another station, equal ends and starts
// that only station and ticket order, times that are no round decimals,
// and one record that ended without an "end".
std::vector<board_row> boards(size_t count)
{
    std::mt19937 random(7);
    const char* outcomes[][2] = {{"programmed", "programmed"}, {"no answer", "no_answer"}, {"not opened", "not_opened"}};
    std::vector<board_row> rows;
    for (size_t i = 0; i < count; ++i) {
        board_row r{"bench-" + std::to_string(random() % 3 + 1), i + 1, {}};
        auto* outcome = outcomes[random() % 4 == 0 ? random() % 3 : 0];
        std::string minute = std::to_string(10 + random() % 40);
        r.record = {{"start", "2026-12-09T1" + std::to_string(random() % 3) + ":" + minute + ":00.000Z"},
                    {"end", "2026-12-09T1" + std::to_string(random() % 3) + ":" + minute + ":07.125Z"},
                    {"port", "/dev/ttyUSB" + std::to_string(random() % 4)}, {"serial", "FT" + std::to_string(i % 9)},
                    {"image", "app.bin"}, {"image_sha256", "9f2c"}, {"file_sha256", nullptr},
                    {"seconds", 5.0 + static_cast<double>(random() % 1000) / 300.0}, {"outcome", outcome[0]},
                    {"outcome_key", outcome[1]}, {"log_version", 2}, {"labels", {{"lot", "L2026-1208"}}},
                    {"values", {{"serial", std::to_string(1000 + random() % (count / 2 + 1))}}},
                    {"link", {{"frames", 240}, {"resends", random() % 3}, {"late_replies", 0}, {"bad_frames", 0},
                              {"quiet_waits", 0}, {"unasked_acks", 0}}},
                    {"station", r.station}, {"ticket", r.ticket}};
        rows.push_back(std::move(r));
    }
    rows.back().record.erase("end");
    return rows;
}

// The lines of the rows in the order the lot is read: "end", then station
// and ticket; records without an end last.
std::string log_of(std::vector<board_row> rows)
{
    auto key = [](const board_row& r) {
        bool dated = r.record.contains("end");
        return std::make_tuple(!dated, dated ? r.record["end"].get<std::string>() : "", r.station, r.ticket);
    };
    std::sort(rows.begin(), rows.end(), [&](const board_row& a, const board_row& b) { return key(a) < key(b); });
    std::string text;
    for (const board_row& r : rows)
        text += r.record.dump() + "\n";
    return text;
}

std::string replaced_all(std::string text, const std::string& from, const std::string& to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// One server for the suite; each test has a database of its own.
class report_lot_test : public pg_suite<> {
protected:
    void SetUp() override
    {
        pg_suite::SetUp();
        if (!set_up())
            return;
        write_job(server->conninfo(database), "L2026-1208");
    }

    void write_job(const std::string& conninfo, const std::string& name)
    {
        std::ofstream((dir.path / "job.toml").string())
            << "version = 1\n[[field]]\nname = \"serial\"\naddress = 0x1F000\nkind = \"counter\"\nformat = \"le32\"\n"
               "start = 1000\n\n[lot]\ndatabase = \""
            << conninfo << "\"\nname = \"" << name << "\"\n";
    }
    std::string job() const { return (dir.path / "job.toml").string(); }

    child_end zelflash(const std::vector<std::string>& args) const
    {
        child_io io;
        io.in = to_file("/dev/null");
        io.out = to_file((dir.path / "out").string());
        io.err = to_file((dir.path / "err").string());
        child_process child(ZELFLASH_PATH, args, io);
        return child.finish(std::chrono::minutes(2));
    }

    // The rows put in zelflash.boards in an order of their own, a few to
    // a statement (a statement is one argument of psql).
    void insert(std::vector<board_row> rows)
    {
        std::shuffle(rows.begin(), rows.end(), std::mt19937(3));
        for (size_t first = 0; first < rows.size(); first += 50) {
            std::string values;
            for (size_t i = first; i < std::min(rows.size(), first + 50); ++i)
                values += std::string(values.empty() ? "" : ", ") + "((SELECT id FROM zelflash.lots), '" +
                          rows[i].station + "', " + std::to_string(rows[i].ticket) + ", $r$" + rows[i].record.dump() +
                          "$r$::jsonb)";
            ASSERT_TRUE(server->psql(database, "INSERT INTO zelflash.boards (lot_id, station, ticket, record) VALUES " +
                                                   values));
        }
    }
    void make_lot() { ASSERT_EQ(zelflash({"lot", "create", job()}).status, 0) << file_text((dir.path / "err").string()); }
    std::string source() const { return report_lot_source("L2026-1208", server->conninfo(database)); }

    temp_dir dir{"zel-report-lot"};
};

// Text, JSON and page, with and without groups and a board key, byte for
// byte once the log's name is the lot's.
TEST_F(report_lot_test, a_lot_reports_as_the_same_records_in_a_board_log)
{
    make_lot();
    std::vector<board_row> rows = boards(120);
    insert(rows);
    std::string log = (dir.path / "boards.jsonl").string();
    std::ofstream(log, std::ios::binary) << log_of(rows);
    const std::vector<std::vector<std::string>> ways = {
        {}, {"--json"}, {"--by", "label:lot", "--board-key", "serial"}, {"--json", "--by", "image"}};
    for (const std::vector<std::string>& way : ways) {
        std::vector<std::string> from_lot = {"report", "--lot", job(), "--html", (dir.path / "lot.html").string()};
        std::vector<std::string> from_log = {"report", log, "--html", (dir.path / "log.html").string()};
        from_lot.insert(from_lot.end(), way.begin(), way.end());
        from_log.insert(from_log.end(), way.begin(), way.end());
        child_end lot = zelflash(from_lot);
        child_end file = zelflash(from_log);
        ASSERT_EQ(lot.status, 0) << lot.err;
        ASSERT_EQ(file.status, 0) << file.err;
        EXPECT_THAT(lot.out, HasSubstr("120"));
        EXPECT_EQ(lot.out, replaced_all(file.out, log, source())) << testing::PrintToString(way);
        EXPECT_EQ(file_text((dir.path / "lot.html").string()),
                  replaced_all(file_text((dir.path / "log.html").string()), log, source()));
    }
}

// Batches of one, of a few and of more than there are records give the
// same reading; a rejected record is named by its place in the order.
TEST_F(report_lot_test, records_are_read_in_batches_in_one_stable_order)
{
    make_lot();
    std::vector<board_row> rows = boards(23);
    rows[4].record.erase("port");
    rows[4].record["end"] = "2026-12-09T09:00:00.000Z";  // the first of all
    insert(rows);
    report_data expected;
    report_read_text(log_of(rows), source(), &expected);
    ASSERT_EQ(expected.rejected, 1u);
    ASSERT_EQ(expected.rejections.at(0).line, 1u);
    for (uint32_t batch : {1u, 7u, 23u, 1000u}) {
        report_data got;
        std::string error;
        ASSERT_EQ(report_lot_read({server->conninfo(database), "L2026-1208", "", 8, 1}, &got, &error, batch),
                  REPORT_LOT_READ)
            << error;
        for (const report_grouping& g : {report_grouping{}, report_grouping{REPORT_BY_LABEL, "lot"}})
            EXPECT_EQ(report_json(got, g), report_json(expected, g)) << "batch " << batch;
    }
}

struct refusal {
    const char* what;
    std::vector<std::string> args;  // JOB stands for the job file; --html is added
    int status;
    const char* error;
};

void PrintTo(const refusal& r, std::ostream* out)
{
    *out << r.what;
}

class report_lot_refusals : public report_lot_test, public testing::WithParamInterface<refusal> {};

TEST_P(report_lot_refusals, are_told_with_their_exit_status)
{
    const refusal& r = GetParam();
    std::string what = r.what;
    if (what == "no such lot")
        make_lot(), write_job(server->conninfo(database), "L-other");
    if (what == "database out of reach")
        write_job("host=" + (dir.path / "nowhere").string() + " dbname=zel connect_timeout=5", "L2026-1208");
    if (what == "no [lot]")
        std::ofstream(job()) << "version = 1\n";
    std::vector<std::string> args = r.args;
    args.insert(args.end(), {"--html", (dir.path / "page.html").string()});
    std::replace(args.begin(), args.end(), std::string("JOB"), job());
    child_end end = zelflash(args);
    EXPECT_EQ(end.status, r.status) << end.err;
    EXPECT_THAT(end.err, HasSubstr(r.error));
    EXPECT_EQ(end.out, "");
    EXPECT_FALSE(std::filesystem::exists(dir.path / "page.html"));
}

INSTANTIATE_TEST_SUITE_P(
    report_lot, report_lot_refusals,
    testing::Values(
        refusal{"no such lot", {"report", "--lot", "JOB"}, 2,
                "lot L-other is not in host="},
        refusal{"no lots in the database", {"report", "--lot", "JOB"}, 2, "has no zelflash lots yet"},
        refusal{"database out of reach", {"report", "--lot", "JOB"}, 1, "cannot reach the lot database host="},
        refusal{"no [lot]", {"report", "--lot", "JOB"}, 2, ": no [lot]; report --lot reads the lot"},
        refusal{"a lot and logs", {"report", "--lot", "JOB", "boards.jsonl"}, 2, "excludes"},
        refusal{"neither", {"report", "--json"}, 2, "LOG is required"}));

}  // namespace
