// zelflash lot create, extend and status against a private PostgreSQL
// server (pg_server.h): a lot made and read back, made twice, refused with
// other fields, extended; a newer schema refused; several creates at once;
// the server gone and back.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>

#include "child_process.h"
#include "pg_suite.h"
#include "platform/sha256.h"
#include "temp_dir.h"

namespace {

using json = nlohmann::json;
using testing::EndsWith;
using testing::HasSubstr;
using testing::StartsWith;

const char base_fields[] = R"([[field]]
name = "serial"
address = 0x1F000
kind = "counter"
format = "le32"
start = 1000
step = 2
last = 1018

[[field]]
name = "mac"
address = 0x1F010
kind = "list"
format = "bytes6"
list = "macs.txt"

[[field]]
name = "note"
address = 0x1F020
kind = "value"
format = "text8"
)";

const char base_macs[] = "# the lot's addresses\n00:11:22:33:44:01\n00:11:22:33:44:02\n\n00:11:22:33:44:03\n"
                         "00:11:22:33:44:04\n00:11:22:33:44:05\n";

std::string replaced(std::string text, const std::string& from, const std::string& to)
{
    size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

// One server for the whole suite; each test has a database of its own.
class lot_test : public pg_suite<> {
protected:
    void SetUp() override
    {
        pg_suite::SetUp();
        if (!set_up())
            return;
        write_job(base_fields, base_macs);
    }

    void write_job(const std::string& fields, const std::string& macs, const std::string& file = "job.toml")
    {
        std::ofstream((dir.path / "macs.txt").string(), std::ios::binary) << macs;
        std::ofstream((dir.path / file).string()) << "version = 1\n" << fields << "\n[lot]\ndatabase = \""
                                                  << conninfo() << "\"\nname = \"L2026-1208\"\n";
    }
    std::string conninfo() const { return server->conninfo(database); }
    child_io streams(const std::string& out, const std::string& err) const
    {
        child_io io;
        io.in = to_file("/dev/null");
        io.out = to_file((dir.path / out).string());
        io.err = to_file((dir.path / err).string());
        return io;
    }

    child_end zelflash(std::vector<std::string> args, const std::string& job = "job.toml")
    {
        args.push_back((dir.path / job).string());
        child_process child(ZELFLASH_PATH, args, streams("out", "err"));
        return child.finish(std::chrono::minutes(2));
    }
    std::string sql(const std::string& statement) const
    {
        return server->psql(database, statement).value_or("(failed)");
    }
    void hand_out();

    temp_dir dir{"zel-lot"};
};

TEST_F(lot_test, a_lot_is_made_once_with_its_lists_lines_in_order)
{
    child_end made = zelflash({"lot", "create"});
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_EQ(made.out, "lot L2026-1208 made in " + conninfo() +
                            ": serial (counter from 1000 step 2 to 1018), mac (list of 5 values)\n");
    EXPECT_EQ(sql("SELECT line_no, value FROM zelflash.list_lines ORDER BY line_no"),
              "1|00:11:22:33:44:01\n2|00:11:22:33:44:02\n3|00:11:22:33:44:03\n4|00:11:22:33:44:04\n"
              "5|00:11:22:33:44:05\n");
    EXPECT_EQ(sql("SELECT field, next, last FROM zelflash.counters"), "serial|1000|1018\n");
    std::string macs = base_macs;
    std::string digest = sha256_hex(std::vector<uint8_t>(macs.begin(), macs.end()));
    json record = json::parse(sql("SELECT fields FROM zelflash.lots"));
    EXPECT_EQ(record, json::parse(R"({"version": 1, "fields": [
        {"name": "serial", "kind": "counter", "format": "le32", "address": 126976, "start": 1000, "step": 2,
         "last": 1018},
        {"name": "mac", "kind": "list", "format": "bytes6", "address": 126992, "list": "macs.txt",
         "list_sha256": ")" + digest + R"(", "lines": 5}]})"));
    EXPECT_EQ(sql("SELECT version, name FROM zelflash.migrations ORDER BY version"),
              "1|the lot: lots, list lines, counters, values, stations, boards\n"
              "2|stations' journals; values by station, free values\n");

    child_end again = zelflash({"lot", "create"});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.out, "lot L2026-1208 exists, as the job defines it\n");
    EXPECT_EQ(sql("SELECT count(*) FROM zelflash.lots"), "1\n");
    EXPECT_EQ(sql("SELECT count(*) FROM zelflash.list_lines"), "5\n");
}

// Values out of the supply in every state, as stations will leave them.
void lot_test::hand_out()
{
    ASSERT_NE(sql("INSERT INTO zelflash.lot_values (lot_id, field, value, state, station) VALUES "
                  "(1, 'serial', '1000', 'used', 'bench-1'), (1, 'serial', '1002', 'failed', 'bench-1'), "
                  "(1, 'serial', '1004', 'held', 'bench-1'), (1, 'serial', '1006', 'held', 'bench-2'), "
                  "(1, 'serial', '1008', 'free', NULL), (1, 'serial', '1010', 'reserved', 'bench-2'), "
                  "(1, 'serial', '1012', 'burned', 'bench-2'), "
                  "(1, 'mac', '00:11:22:33:44:01', 'used', 'bench-1'), "
                  "(1, 'mac', '00:11:22:33:44:03', 'burned', 'bench-2')"),
              "(failed)");
    ASSERT_NE(sql("UPDATE zelflash.counters SET next = 1014"), "(failed)");
    ASSERT_NE(sql("INSERT INTO zelflash.stations (lot_id, name, host, last_seen, boards, lease, live) VALUES "
                  "(1, 'bench-1', 'h1', '2026-01-08 09:30:00+00', 3, 8, true), (1, 'bench-2', 'h2', NULL, 0, NULL, "
                  "false)"),
              "(failed)");
}

TEST_F(lot_test, status_counts_every_state_and_they_add_up_to_the_lot)
{
    ASSERT_EQ(zelflash({"lot", "create"}).status, 0);
    hand_out();
    child_end status = zelflash({"lot", "status", "--json"});
    ASSERT_EQ(status.status, 0) << status.err;
    json got = json::parse(status.out);
    EXPECT_EQ(got["fields"], json::parse(R"([
        {"name": "serial", "kind": "counter", "next": "1008", "used": 1, "failed": 1, "burned": 1, "free": 1,
         "held": {"bench-1": 1, "bench-2": 1}, "reserved": 1, "remaining": 3, "total": 10},
        {"name": "mac", "kind": "list", "next": "00:11:22:33:44:02", "used": 1, "failed": 0, "burned": 1,
         "free": 0, "held": {}, "reserved": 0, "remaining": 3, "total": 5}])"));
    for (const json& f : got["fields"]) {
        uint64_t held = 0;
        for (const auto& [station, n] : f["held"].items())
            held += n.get<uint64_t>();
        uint64_t all = f["used"].get<uint64_t>() + f["failed"].get<uint64_t>() + f["burned"].get<uint64_t>() +
                       f["free"].get<uint64_t>() + f["reserved"].get<uint64_t>() + held + f["remaining"].get<uint64_t>();
        EXPECT_EQ(all, f["total"].get<uint64_t>()) << f.dump();
    }
    EXPECT_EQ(got["stations"], json::parse(R"([
        {"name": "bench-1", "last_seen": "2026-01-08T09:30:00Z", "boards": 3, "lease": 8, "live": false},
        {"name": "bench-2", "last_seen": null, "boards": 0, "lease": null, "live": false}])"))
        << "bench-1's row says live, but no zelflash holds its lock: it stopped without saying so";
    EXPECT_EQ(got["lot"], "L2026-1208");
    EXPECT_EQ(got["database"], conninfo());

    child_end text = zelflash({"lot", "status"});
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_THAT(text.out, HasSubstr("\nfield   serial: next 1008; used 1, failed 1, burned 1, free 1, held 2 (bench-1 "
                                    "1, bench-2 1), reserved 1, remaining 3 of 10\n"));
    EXPECT_THAT(text.out, HasSubstr("\nstation bench-1: last seen 2026-01-08T09:30:00Z, 3 boards, lease 8, not live\n"
                                    "station bench-2: last seen never, 0 boards, lease ?, not live\n"));
}

TEST_F(lot_test, a_supply_run_out_has_no_next_value)
{
    ASSERT_EQ(zelflash({"lot", "create"}).status, 0);
    ASSERT_NE(sql("UPDATE zelflash.counters SET next = 1020"), "(failed)");
    child_end status = zelflash({"lot", "status", "--json"});
    ASSERT_EQ(status.status, 0) << status.err;
    json serial = json::parse(status.out)["fields"][0];
    EXPECT_EQ(serial["next"], nullptr);
    EXPECT_EQ(serial["remaining"], 0);
    ASSERT_NE(sql("UPDATE zelflash.counters SET next = 1018"), "(failed)");
    serial = json::parse(zelflash({"lot", "status", "--json"}).out)["fields"][0];
    EXPECT_EQ(serial["next"], "1018");
    EXPECT_EQ(serial["remaining"], 1);
}

struct other_fields {
    const char* from;
    const char* to;
    const char* difference;
};

const other_fields others[] = {
    {"step = 2", "step = 1", "field serial: step 2 in the lot, 1 in the job"},
    {"start = 1000", "start = 1002", "field serial: start 1000 in the lot, 1002 in the job"},
    {"format = \"le32\"", "format = \"be32\"", "field serial: format le32 in the lot, be32 in the job"},
    {"address = 0x1F000", "address = 0x1F100", "field serial: address 0x1F000 in the lot, 0x1F100 in the job"},
    {"last = 1018", "last = 1030", "field serial: last 1018 in the lot, 1030 in the job"},
    {"name = \"serial\"", "name = \"serno\"", "field serial: in the lot, not in the job"},
    {"kind = \"list\"\nformat = \"bytes6\"\nlist = \"macs.txt\"", "kind = \"counter\"\nformat = \"le32\"",
     "field mac: kind list in the lot, counter in the job"},
    {"kind = \"value\"\nformat = \"text8\"", "kind = \"counter\"\nformat = \"dec8\"", "field note: in the job, not in the lot"},
};

TEST_F(lot_test, a_lot_with_other_fields_is_refused_naming_the_first_difference)
{
    ASSERT_EQ(zelflash({"lot", "create"}).status, 0);
    for (const other_fields& o : others) {
        write_job(replaced(base_fields, o.from, o.to), base_macs, "other.toml");
        child_end refused = zelflash({"lot", "create"}, "other.toml");
        EXPECT_EQ(refused.status, 2) << o.to;
        EXPECT_THAT(refused.err, StartsWith("zelflash: lot L2026-1208 in " + conninfo() + " is not the job's: " +
                                            o.difference + "; a lot keeps the fields it was made with"));
    }
    write_job(base_fields, replaced(base_macs, "44:04", "44:44"), "other.toml");
    child_end list = zelflash({"lot", "create"}, "other.toml");
    EXPECT_EQ(list.status, 2);
    EXPECT_THAT(list.err, HasSubstr("is not the job's: field mac: list SHA-256 "));
    EXPECT_EQ(sql("SELECT fields->'fields'->0->>'step', (SELECT count(*) FROM zelflash.list_lines) FROM zelflash.lots"),
              "2|5\n")
        << "refused, the lot is as it was";
}

TEST_F(lot_test, extend_raises_a_last_and_adds_values_at_a_lists_end)
{
    ASSERT_EQ(zelflash({"lot", "create"}).status, 0);
    std::string grown = std::string(base_macs) + "00:11:22:33:44:06\n# later\n00:11:22:33:44:07\n";
    write_job(replaced(base_fields, "last = 1018", "last = 1030"), grown);
    child_end extended = zelflash({"lot", "extend"});
    ASSERT_EQ(extended.status, 0) << extended.err;
    std::string digest = sha256_hex(std::vector<uint8_t>(grown.begin(), grown.end()));
    EXPECT_EQ(extended.out, "lot L2026-1208: field serial: last raised to 1030\nlot L2026-1208: field mac: 2 values "
                            "added at the list's end (7 now), SHA-256 " + digest + "\n");
    EXPECT_EQ(sql("SELECT line_no, value FROM zelflash.list_lines WHERE line_no > 4 ORDER BY line_no"),
              "5|00:11:22:33:44:05\n6|00:11:22:33:44:06\n7|00:11:22:33:44:07\n");
    EXPECT_EQ(sql("SELECT last FROM zelflash.counters"), "1030\n");
    json status = json::parse(zelflash({"lot", "status", "--json"}).out);
    EXPECT_EQ(status["fields"][0]["total"], 16);
    EXPECT_EQ(status["fields"][1]["total"], 7);
    EXPECT_EQ(zelflash({"lot", "create"}).out, "lot L2026-1208 exists, as the job defines it\n");

    child_end same = zelflash({"lot", "extend"});
    EXPECT_EQ(same.status, 0);
    EXPECT_EQ(same.out, "lot L2026-1208 is as the job defines it; nothing to extend\n");
}

const other_fields refused_growth[] = {
    {"last = 1030", "last = 1020", "field serial: last 1030 in the lot, 1020 in the job (a lot's last is only ever raised)"},
    {"step = 2", "step = 4", "field serial: step 2 in the lot, 4 in the job"},
    {"00:11:22:33:44:02", "00:11:22:33:44:99",
     "field mac: value 2 of the list is '00:11:22:33:44:02' in the lot, '00:11:22:33:44:99' in the job (a lot's list "
     "only grows by values added at its end)"},
    {"00:11:22:33:44:05\n", "", "field mac: the list has 4 values in the job, 5 in the lot"},
};

TEST_F(lot_test, extend_refuses_anything_but_growth)
{
    write_job(replaced(base_fields, "last = 1018", "last = 1030"), base_macs);
    ASSERT_EQ(zelflash({"lot", "create"}).status, 0);
    for (const other_fields& o : refused_growth) {
        bool in_list = std::string(o.from).starts_with("00:");
        std::string fields = replaced(base_fields, "last = 1018", "last = 1030");
        write_job(in_list ? fields : replaced(fields, o.from, o.to),
                  in_list ? replaced(base_macs, o.from, o.to) : std::string(base_macs));
        child_end refused = zelflash({"lot", "extend"});
        EXPECT_EQ(refused.status, 2) << o.to;
        EXPECT_THAT(refused.err, HasSubstr(std::string("is not the job's: ") + o.difference)) << o.to;
    }
    EXPECT_EQ(sql("SELECT last, (SELECT count(*) FROM zelflash.list_lines) FROM zelflash.counters"), "1030|5\n");
}

TEST_F(lot_test, extend_needs_the_lot_made_first)
{
    ASSERT_EQ(zelflash({"lot", "create"}).status, 0);
    ASSERT_NE(sql("DELETE FROM zelflash.list_lines; DELETE FROM zelflash.counters; DELETE FROM zelflash.lots"),
              "(failed)");
    child_end extend = zelflash({"lot", "extend"});
    EXPECT_EQ(extend.status, 2);
    EXPECT_EQ(extend.err, "zelflash: lot L2026-1208 is not in " + conninfo() + ": make it with zelflash lot create JOB\n");
}

TEST_F(lot_test, a_newer_schema_is_refused_by_every_command)
{
    ASSERT_EQ(zelflash({"lot", "status"}).status, 2) << "no schema yet";
    ASSERT_EQ(zelflash({"lot", "create"}).status, 0);
    ASSERT_NE(sql("INSERT INTO zelflash.migrations (version, name) VALUES (3, 'from a later zelflash')"), "(failed)");
    for (const char* command : {"create", "extend", "status"}) {
        child_end refused = zelflash({"lot", command});
        EXPECT_EQ(refused.status, 2) << command;
        EXPECT_EQ(refused.err, "zelflash: the lot database's schema is version 3, newer than this zelflash knows (2): "
                               "use a newer zelflash\n")
            << command;
    }
}

// Three creates at once on a database with no schema yet, several times:
// each time one lot, made once, and one migration.
TEST_F(lot_test, creates_at_once_end_with_one_lot)
{
    for (int round = 0; round < 4; ++round) {
        database = "at_once_" + std::to_string(round);
        ASSERT_TRUE(server->create_database(database));
        write_job(base_fields, base_macs);
        std::vector<std::unique_ptr<child_process>> creates;
        for (int i = 0; i < 3; ++i) {
            std::string n = std::to_string(i);
            child_io io = streams("out" + n, "err" + n);
            creates.push_back(std::make_unique<child_process>(
                ZELFLASH_PATH, std::vector<std::string>{"lot", "create", (dir.path / "job.toml").string()}, io));
        }
        int made = 0;
        for (auto& c : creates) {
            child_end end = c->finish(std::chrono::minutes(2));
            EXPECT_EQ(end.status, 0) << end.err;
            made += end.out.starts_with("lot L2026-1208 made in ");
        }
        EXPECT_EQ(made, 1);
        EXPECT_EQ(sql("SELECT (SELECT count(*) FROM zelflash.lots), (SELECT count(*) FROM zelflash.migrations), "
                      "(SELECT count(*) FROM zelflash.list_lines)"),
                  "1|2|5\n");
    }
}

// A station's role has only what the README's GRANTs give it: status runs.
TEST_F(lot_test, status_runs_with_a_stations_grants)
{
    ASSERT_EQ(zelflash({"lot", "create"}).status, 0);
    ASSERT_NE(sql("CREATE ROLE bench_" + database + " LOGIN; GRANT USAGE ON SCHEMA zelflash TO bench_" + database +
                  "; GRANT SELECT, INSERT, UPDATE ON ALL TABLES IN SCHEMA zelflash TO bench_" + database +
                  "; GRANT USAGE, SELECT, UPDATE ON ALL SEQUENCES IN SCHEMA zelflash TO bench_" + database),
              "(failed)");
    std::string station = replaced(conninfo(), "user=zel_owner", "user=bench_" + database);
    std::ofstream((dir.path / "station.toml").string())
        << "version = 1\n[lot]\ndatabase = \"" << station << "\"\nname = \"L2026-1208\"\n";
    child_end status = zelflash({"lot", "status"}, "station.toml");
    EXPECT_EQ(status.status, 0) << status.err;
    EXPECT_THAT(status.out, HasSubstr("field   mac: next 00:11:22:33:44:01;"));
    child_end create = zelflash({"lot", "create"}, "station.toml");
    EXPECT_EQ(create.status, 1) << "a station's role makes no schema";
    EXPECT_THAT(create.err, HasSubstr("permission denied"));
}

// The server stopped: exit 1 with the database named; started again: fine.
TEST_F(lot_test, a_database_out_of_reach_ends_with_status_1)
{
    ASSERT_EQ(zelflash({"lot", "create"}).status, 0);
    ASSERT_TRUE(server->stop("fast"));
    child_end gone = zelflash({"lot", "status"});
    bool restarted = server->start();
    EXPECT_EQ(gone.status, 1);
    EXPECT_THAT(gone.err, StartsWith("zelflash: cannot reach the lot database " + conninfo() + ": connection to "));
    EXPECT_THAT(gone.err, EndsWith("; is the database server running, and is [lot] database right?\n"));
    ASSERT_TRUE(restarted) << server->error();
    EXPECT_EQ(zelflash({"lot", "status"}).status, 0);
}

TEST_F(lot_test, a_job_without_a_lot_is_refused)
{
    std::ofstream((dir.path / "plain.toml").string()) << "version = 1\n";
    for (const char* command : {"create", "extend", "status"}) {
        child_end refused = zelflash({"lot", command}, "plain.toml");
        EXPECT_EQ(refused.status, 2);
        EXPECT_THAT(refused.err, EndsWith("plain.toml: no [lot]; give the lot's database and name there ([lot] "
                                          "database = \"...\", name = \"...\")\n"));
    }
}

}  // namespace
