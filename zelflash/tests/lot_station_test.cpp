// Stations of one lot end to end: zelflash watch and write processes
// drawing their values from a private PostgreSQL server (lot_harness.h),
// zelsim devices as their boards. Four stations killed at random with the
// server stopped under them; the database out of reach at start and gone
// mid-run; what a station refuses to start with; a lost journal; a lease
// of one value.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "lot_harness.h"

namespace {

using namespace lot_harness;
using namespace std::chrono_literals;
using testing::HasSubstr;
using testing::Not;

// A board the lot counts as having taken its values.
bool took_values(const json& record)
{
    return record["outcome_key"] == "programmed" || record["outcome_key"] == "unconfirmed";
}

struct lot_station : lot_bench {
    std::map<std::string, size_t> device_of;  // by port
    std::vector<std::string> links;           // device i's port

    size_t add(const std::string& station, std::vector<std::string> extra = {})
    {
        size_t i = add_device(station, std::move(extra));
        links.push_back((folder_of(station) / ("dev" + std::to_string(i))).string());
        device_of[links.back()] = i;
        return i;
    }
    size_t logged(const std::string& station) const { return json_lines(log_of(station)).size(); }
    bool logged_within(const std::string& station, size_t n, std::chrono::milliseconds limit = 60s) const
    {
        return eventually([&] { return logged(station) >= n; }, limit);
    }
    size_t lot_boards() const
    {
        std::string n = sql("SELECT count(*) FROM zelflash.boards");
        return n == "(failed)" ? 0 : std::stoull(n);
    }
    // How many times `text` is on the station's standard error.
    size_t said(const std::string& station, const std::string& text) const
    {
        std::string err = err_of(station);
        size_t n = 0;
        for (size_t at = err.find(text); at != std::string::npos; at = err.find(text, at + 1))
            ++n;
        return n;
    }

    // Every board of the station's log programmed, each device's flash
    // holding the image and the values its record names, no value twice.
    void expect_programmed_as_logged(const std::string& station, size_t boards)
    {
        std::vector<json> records = json_lines(log_of(station));
        ASSERT_EQ(records.size(), boards) << read_text(log_of(station));
        std::set<std::string> serials, macs;
        for (const json& r : records) {
            SCOPED_TRACE(r.dump());
            ASSERT_EQ(r["outcome"], "programmed");
            size_t i = device_of.at(r["port"]);
            device_report(i);
            EXPECT_TRUE(holds_image(i));
            flashed_values got = flashed(i);
            EXPECT_EQ(got.serial, r["values"]["serial"]);
            EXPECT_EQ(got.mac, r["values"]["mac"]);
            EXPECT_TRUE(serials.insert(got.serial).second) << "a serial on two boards";
            EXPECT_TRUE(macs.insert(got.mac).second) << "a MAC address on two boards";
        }
        EXPECT_EQ(in_state("serial", "used"), boards);
        EXPECT_EQ(in_state("mac", "used"), boards);
    }

    // The station's journal and the lot agree on its boards' records.
    void expect_records_in_the_lot(const std::string& station)
    {
        std::map<uint64_t, json> local = journal_records(station), lot = lot_records(station);
        EXPECT_EQ(lot.size(), local.size()) << station;
        for (const auto& [ticket, record] : local) {
            auto found = lot.find(ticket);
            ASSERT_NE(found, lot.end()) << station << " ticket " << ticket << " is not in the lot";
            EXPECT_EQ(found->second, record) << station << " ticket " << ticket;
            EXPECT_EQ(record["station"], station);
            EXPECT_EQ(record["ticket"], ticket);
            EXPECT_EQ(record["lot"], LOT_NAME);
        }
    }
};

TEST_F(lot_station, a_lease_of_one_with_four_jobs_programs_every_board_with_values_of_its_own)
{
    write_job("s0", station_options().with_lease(1).with_jobs(4));
    create_lot("s0");
    std::unique_ptr<child_process> station = start_station("s0");
    ASSERT_TRUE(watching("s0")) << err_of("s0");
    for (int k = 0; k < 8; ++k)
        add("s0");
    ASSERT_TRUE(logged_within("s0", 8, 120s)) << err_of("s0");
    station->signal(SIGINT);
    child_end end = station->finish(60s);
    EXPECT_EQ(end.status, 0) << end.err;
    EXPECT_THAT(end.err, HasSubstr("s0.serials: the journal of station s0 of lot L2026-1208, made"));
    expect_programmed_as_logged("s0", 8);
    expect_records_in_the_lot("s0");
    EXPECT_EQ(in_state("serial", "held"), 0u) << "the hand went back as the station stopped";
    EXPECT_EQ(in_state("mac", "free") + in_state("mac", "used"),
              std::stoull(sql("SELECT count(*) FROM zelflash.lot_values WHERE field = 'mac'")));
}

// The database out of reach as the station starts: refused before any
// board, the connection string shown, never the password libpq was given.
TEST_F(lot_station, a_station_that_cannot_reach_its_lot_is_refused_without_its_password)
{
    std::string nowhere = "host=" + (dir.path / "no-server").string() + " port=5432 user=bench dbname=" + database;
    write_job("s0", station_options().with_database(nowhere));
    size_t device = add("s0");
    const std::vector<std::string> commands[] = {
        {"watch", "--job", job_of("s0").string()},
        {"write", "--job", job_of("s0").string(), "-p", links[device]},
    };
    for (const std::vector<std::string>& command : commands) {
        SCOPED_TRACE(command[0]);
        child_end refused = run(command, "s0", {"PGPASSWORD=never-shown-7f3a"});
        EXPECT_EQ(refused.status, 2);
        EXPECT_THAT(refused.err, HasSubstr("zelflash: cannot reach the lot database " + nowhere + ": "));
        EXPECT_THAT(refused.err + refused.out, Not(HasSubstr("never-shown-7f3a")));
        EXPECT_FALSE(fs::exists(journal_of("s0"))) << "no journal without the lot";
    }
    EXPECT_TRUE(device_report(device)["commands"].empty()) << "the board was never spoken to";
}

// The server stops while a station runs with four values of each field in
// hand: four boards are programmed from the hand, the next two wait with
// one message, and go once the server is back.
TEST_F(lot_station, boards_go_on_from_the_hand_while_the_database_is_gone_then_wait_for_it)
{
    write_job("s0", station_options().with_lease(4).with_jobs(4));
    create_lot("s0");
    std::unique_ptr<child_process> station = start_station("s0");
    ASSERT_TRUE(watching("s0")) << err_of("s0");
    ASSERT_TRUE(eventually([&] { return in_state("serial", "held") == 4 && in_state("mac", "held") == 4; }))
        << "the first lease";
    ASSERT_TRUE(server->stop("fast"));
    for (int k = 0; k < 6; ++k)
        add("s0");
    bool four = logged_within("s0", 4);
    std::string waiting = "zelflash: lot database unreachable at " + conninfo() + ": no values left in hand; ";
    bool told = eventually([&] { return said("s0", waiting) > 0; });
    size_t while_gone = logged("s0");
    ASSERT_TRUE(server->start()) << server->error();
    ASSERT_TRUE(four) << err_of("s0");
    ASSERT_TRUE(told) << err_of("s0");
    EXPECT_EQ(while_gone, 4u) << "no value is made up while the lot is away";
    ASSERT_TRUE(logged_within("s0", 6)) << err_of("s0");
    EXPECT_TRUE(eventually([&] { return said("s0", "zelflash: lot database reached again: boards start") > 0; }))
        << err_of("s0") << out_of("s0");
    station->signal(SIGINT);
    child_end end = station->finish(60s);
    EXPECT_EQ(end.status, 0) << end.err;
    EXPECT_EQ(said("s0", waiting), 1u) << end.err;
    EXPECT_THAT(end.err, testing::ContainsRegex("no values left in hand; [12] boards? waiting\n"));
    expect_programmed_as_logged("s0", 6);
    expect_records_in_the_lot("s0");
}

// What a station refuses to start with while station s1 runs on the lot;
// each leaves s1 and its values as they were.
struct refusal {
    const char* what;
    // Writes what the case needs; the command to run and what it must say.
    std::function<std::vector<std::string>(lot_station&, std::string* says)> arrange;
};

const refusal refusals[] = {
    {"a counter of another step",
     [](lot_station& t, std::string* says) {
         t.write_job("s2", station_options().with_step(2));
         *says = "zelflash: the job's fields are not those of lot L2026-1208 in " + t.conninfo() +
                 ": field serial: step 1 in the lot, 2 in the job; every station of a lot programs the lot's fields";
         return std::vector<std::string>{"watch", "--job", t.job_of("s2").string()};
     }},
    {"another list file",
     [](lot_station& t, std::string* says) {
         t.write_macs(401, "more-macs.txt");
         t.write_job("s2", station_options().with_list("more-macs.txt"));
         *says = "zelflash: the job's fields are not those of lot L2026-1208 in " + t.conninfo() +
                 ": field mac: list SHA-256 ";
         return std::vector<std::string>{"watch", "--job", t.job_of("s2").string()};
     }},
    {"a second live station of the name",
     [](lot_station& t, std::string* says) {
         t.write_job("s1b", station_options().with_state("s1b.serials"));
         std::string job = read_text(t.job_of("s1b"));
         write_file(t.job_of("s1b"), job.replace(job.find("station = \"s1b\""), 15, "station = \"s1\""));
         *says = "zelflash: station s1 of lot L2026-1208 is live already (on ";
         return std::vector<std::string>{"watch", "--job", t.job_of("s1b").string()};
     }},
    {"recover of a live station",
     [](lot_station& t, std::string* says) {
         *says = "zelflash: station s1 of lot L2026-1208 is live: recover never touches a live station's values";
         return std::vector<std::string>{"lot", "recover", t.job_of("s1").string(), "--station", "s1", "--force"};
     }},
    {"the journal of another station",
     [](lot_station& t, std::string* says) {
         t.write_job("s2", station_options().with_state("s1.serials"));
         *says = "zelflash: " + t.journal_of("s1").string() + " is the journal of station s1, not of s2: each "
                 "station of a lot keeps a journal of its own";
         return std::vector<std::string>{"watch", "--job", t.job_of("s2").string()};
     }},
};

TEST_F(lot_station, a_station_is_refused_what_would_share_or_mistake_the_lots_values)
{
    write_job("s1");
    create_lot("s1");
    std::unique_ptr<child_process> live = start_station("s1");
    ASSERT_TRUE(watching("s1")) << err_of("s1");
    ASSERT_TRUE(eventually([&] { return in_state("serial", "held") == 8; })) << "s1's lease";
    std::string before = sql("SELECT field, value, state, station FROM zelflash.lot_values ORDER BY field, value");
    for (const refusal& r : refusals) {
        SCOPED_TRACE(r.what);
        std::string says;
        std::vector<std::string> command = r.arrange(*this, &says);
        child_end refused = run(command, "refused");
        EXPECT_EQ(refused.status, 2) << refused.err;
        EXPECT_THAT(refused.err, HasSubstr(says));
        EXPECT_EQ(sql("SELECT field, value, state, station FROM zelflash.lot_values ORDER BY field, value"), before);
        json stations = status("s1")["stations"];
        for (const json& s : stations)
            EXPECT_EQ(s["live"], s["name"] == "s1") << s.dump();
    }
    EXPECT_FALSE(fs::exists(journal_of("s2"))) << "a refused station makes no journal";
    add("s1");
    ASSERT_TRUE(logged_within("s1", 1)) << err_of("s1");
    live->signal(SIGINT);
    EXPECT_EQ(live->finish(60s).status, 0);
    expect_programmed_as_logged("s1", 1);
}

// Station s1 programs two boards, which leave; the lot has their
// records and six values of each field in s1's hand; then s1 is killed.
// The boards' records in its journal.
std::map<uint64_t, json> two_boards_then_killed(lot_station& t)
{
    std::unique_ptr<child_process> first = t.start_station("s1");
    EXPECT_TRUE(t.watching("s1")) << t.err_of("s1");
    t.add("s1", {"--exit-after-reset-ms", "500"});
    t.add("s1", {"--exit-after-reset-ms", "500"});
    EXPECT_TRUE(t.logged_within("s1", 2)) << t.err_of("s1");
    EXPECT_TRUE(eventually([&] { return t.lot_boards() == 2 && t.in_state("serial", "held") == 6; }))
        << "the records uploaded, 6 of the lease of 8 left in hand";
    EXPECT_TRUE(eventually([&] { return !fs::is_symlink(t.links[0]) && !fs::is_symlink(t.links[1]); }))
        << "the programmed boards gone";
    first->kill_now();
    return t.journal_records("s1");
}

// A station killed with values in hand, its journal then lost: refused
// until lot recover burns what it held; then it starts with a new journal
// whose tickets follow the lot's.
TEST_F(lot_station, a_lost_journal_is_refused_until_lot_recover_burns_what_its_station_held)
{
    write_job("s1");
    create_lot("s1");
    std::map<uint64_t, json> old_records = two_boards_then_killed(*this);
    ASSERT_EQ(old_records.size(), 2u);
    std::string held = sql("SELECT count(*) FROM zelflash.lot_values WHERE state IN ('held', 'reserved')");
    ASSERT_EQ(held, "12\n") << "six of each field";
    ASSERT_TRUE(fs::remove(journal_of("s1")));

    child_end refused = run({"watch", "--job", job_of("s1").string()}, "again");
    EXPECT_EQ(refused.status, 2);
    EXPECT_THAT(refused.err, HasSubstr("zelflash: station s1 holds values of lot L2026-1208, but its journal " +
                                       journal_of("s1").string() + " is not there: put it back; if it is lost for "
                                       "good, run zelflash lot recover JOB --station s1 (which burns them)"));
    EXPECT_FALSE(fs::exists(journal_of("s1")));
    child_end early = run({"lot", "recover", job_of("s1").string(), "--station", "s1"});
    EXPECT_EQ(early.status, 2);
    EXPECT_THAT(early.err, HasSubstr("0 minutes ago: recover burns a station's values only once it has been unseen "
                                     "for 10 minutes (--after)"));
    child_end recovered = run({"lot", "recover", job_of("s1").string(), "--station", "s1", "--force"});
    ASSERT_EQ(recovered.status, 0) << recovered.err;
    EXPECT_EQ(recovered.out, "lot L2026-1208: station s1's 12 values burned; a station of that name may start "
                             "again (without its journal, it makes a new one)\n");
    EXPECT_EQ(in_state("serial", "burned"), 6u);
    EXPECT_EQ(in_state("mac", "burned"), 6u);

    std::unique_ptr<child_process> second = start_station("s1");
    ASSERT_TRUE(watching("s1")) << err_of("s1");
    EXPECT_THAT(err_of("s1"), HasSubstr("the journal of station s1 of lot L2026-1208, made"));
    add("s1");
    add("s1");
    ASSERT_TRUE(logged_within("s1", 4)) << err_of("s1");
    second->signal(SIGINT);
    EXPECT_EQ(second->finish(60s).status, 0);
    std::map<uint64_t, json> new_records = journal_records("s1"), lot = lot_records("s1");
    ASSERT_EQ(new_records.size(), 2u);
    EXPECT_GT(new_records.begin()->first, old_records.rbegin()->first) << "tickets go on above the old journal's";
    EXPECT_EQ(lot.size(), 4u);
    for (const auto& [ticket, record] : old_records)
        EXPECT_EQ(lot[ticket], record);
    for (const auto& [ticket, record] : new_records)
        EXPECT_EQ(lot[ticket], record);
    expect_programmed_as_logged("s1", 4);
}

// Four stations on one lot, 200 boards among them (some mute, some
// dropping replies), stations killed at random moments and started again,
// the server stopped at once (as by a power cut) and started again
// mid-run. The seed (ZEL_TEST_SEED) picks the kills.
struct lot_chaos : lot_station {
    static constexpr size_t BOARDS = 200, KILLS = 6, AHEAD = 24;
    const std::vector<std::string> stations = {"s0", "s1", "s2", "s3"};
    uint32_t seed = test_seed();
    std::mt19937 random{seed};
    std::map<std::string, std::unique_ptr<child_process>> running;
    std::map<std::string, size_t> logged_at_start;  // the log's records as the station's latest run began

    // Starts the station until it watches: a killed run's lock may take a
    // moment to go, and a station cannot start while the server is down.
    void start_up(const std::string& station)
    {
        for (int attempt = 0; attempt < 60; ++attempt) {
            logged_at_start[station] = logged(station);
            running[station] = start_station(station);
            if (watching(station, {"is live already", "cannot reach the lot database"}))
                return;
            running[station]->finish(60s);
            std::this_thread::sleep_for(250ms);  // paces the next try
        }
        FAIL() << station << " never started: " << err_of(station);
    }

    size_t reservations(const std::string& station) const
    {
        std::vector<json> lines = json_lines(journal_of(station));
        return std::count_if(lines.begin(), lines.end(), [](const json& j) { return j.value("rec", "") == "reserved"; });
    }

    // The boards whose reservation the station's journal shows unended.
    std::set<std::string> unfinished(const std::string& station) const
    {
        std::map<uint64_t, std::string> open;
        for (const json& j : json_lines(journal_of(station))) {
            if (j.value("rec", "") == "reserved")
                open[j["ticket"].get<uint64_t>()] = j["board"].get<std::string>();
            else if (j.contains("ticket"))
                open.erase(j["ticket"].get<uint64_t>());
        }
        std::set<std::string> boards;
        for (const auto& [ticket, board] : open)
            boards.insert(board);
        return boards;
    }

    size_t all_logged() const
    {
        size_t n = 0;
        for (const std::string& s : stations)
            n += logged(s);
        return n;
    }

    // Device k: every tenth mute, every fifth dropping a fifth of its
    // replies; a programmed one leaves its folder soon after its reset.
    void add_board(size_t k)
    {
        std::vector<std::string> extra = {"--exit-after-reset-ms", "500"};
        if (k % 10 == 7)
            extra = {"--mute"};
        else if (k % 5 == 2)
            extra.insert(extra.end(), {"--drop-reply", "20%", "--seed", std::to_string(k + seed)});
        add(stations[k % stations.size()], extra);
    }

    // The server gone at once, as by a power cut, while boards run; back
    // after the boards have gone on a while without it.
    void power_cut()
    {
        ASSERT_TRUE(server->stop("immediate"));
        size_t before = all_logged();
        eventually([&] { return all_logged() >= before + 8; }, 10s);  // paces the outage, no more
        ASSERT_TRUE(server->start()) << server->error();
    }

    void kill_one()
    {
        const std::string& station = stations[random() % stations.size()];
        // Mostly while a board is being programmed: a moment after a new
        // reservation reached the journal, within the few tens of
        // milliseconds its board takes.
        size_t reserved = reservations(station);
        eventually([&] { return reservations(station) > reserved; }, 5s);
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 40));
        running[station]->kill_now();
        // The operator takes the boards it was programming off the bench,
        // their flash as the kill left it; the boards it finished leave
        // before it starts again (their devices end 500 ms after their
        // reset). A board left on would be programmed anew.
        for (const std::string& board : unfinished(station))
            device_report(device_of.at(board));
        std::this_thread::sleep_for(800ms);
        start_up(station);
    }

    // Each device is done with: gone after its reset, or judged by its
    // station's latest run (programmed, failed, mute).
    bool all_judged() const
    {
        std::map<std::string, std::set<std::string>> judged;
        for (const std::string& s : stations) {
            std::vector<json> records = json_lines(log_of(s));
            for (size_t k = logged_at_start.at(s); k < records.size(); ++k)
                judged[s].insert(records[k]["port"].get<std::string>());
        }
        for (const auto& [port, i] : device_of) {
            std::string station = fs::path(port).parent_path().filename();
            if (fs::is_symlink(port) && !judged[station].count(port))
                return false;
        }
        return true;
    }

    void run_the_lot();
    void expect_no_value_twice_and_flashes_as_recorded();
    void expect_every_value_in_one_state();
};

void lot_chaos::run_the_lot()
{
    std::set<size_t> kills;
    while (kills.size() < KILLS)
        kills.insert(20 + random() % (BOARDS - 40));
    for (const std::string& s : stations)
        start_up(s);
    for (size_t k = 0; k < BOARDS; ++k) {
        add_board(k);
        eventually([&] { return all_logged() + AHEAD >= k; }, 60s);  // boards come over time, not all at once
        if (k == BOARDS / 2)
            power_cut();
        if (kills.count(k))
            kill_one();
    }
    ASSERT_TRUE(eventually([&] { return all_judged(); }, 180s)) << "boards left unjudged";
    for (const std::string& s : stations)
        running[s]->signal(SIGINT);
    for (const std::string& s : stations) {
        child_end end = running[s]->finish(60s);
        EXPECT_LE(end.status, 1) << s << ": " << end.err;  // 1: a mute board failed
        EXPECT_THAT(end.err, Not(HasSubstr("has not taken"))) << s << ": the lot took every record at the stop";
    }
    for (size_t i = 0; i < sims.size(); ++i)
        device_report(i);
}

void lot_chaos::expect_no_value_twice_and_flashes_as_recorded()
{
    std::map<std::pair<std::string, std::string>, std::string> state;
    std::istringstream rows(sql("SELECT field, value, state FROM zelflash.lot_values"));
    for (std::string row; std::getline(rows, row);) {
        size_t a = row.find('|'), b = row.rfind('|');
        state[std::pair(row.substr(0, a), row.substr(a + 1, b - a - 1))] = row.substr(b + 1);
    }
    auto used_failed_or_burned = testing::AnyOf("used", "failed", "burned");
    std::set<std::string> serials, macs;
    for (size_t i = 0; i < sims.size(); ++i) {
        flashed_values v = flashed(i);
        if (v.erased)
            continue;
        EXPECT_TRUE(serials.insert(v.serial).second) << "serial " << v.serial << " on two flashes, one device " << i;
        EXPECT_TRUE(macs.insert(v.mac).second) << "MAC address " << v.mac << " on two flashes, one device " << i;
        EXPECT_THAT(state[std::pair("serial", v.serial)], used_failed_or_burned) << "device " << i;
        EXPECT_THAT(state[std::pair("mac", v.mac)], used_failed_or_burned) << "device " << i;
    }
    size_t took = 0;
    for (const std::string& s : stations)
        for (const auto& [ticket, record] : lot_records(s)) {
            if (!took_values(record))
                continue;
            ++took;
            size_t i = device_of.at(record["port"]);
            SCOPED_TRACE(record.dump());
            EXPECT_TRUE(holds_image(i));
            EXPECT_EQ(flashed(i), (flashed_values{record["values"]["serial"].get<std::string>(),
                                                  record["values"]["mac"].get<std::string>(), false}));
        }
    EXPECT_GE(took, (BOARDS - BOARDS / 10) * 9 / 10) << "nearly every board that answers is programmed";
    EXPECT_EQ(in_state("serial", "used"), took);
    EXPECT_EQ(in_state("mac", "used"), took);
}

void lot_chaos::expect_every_value_in_one_state()
{
    json got = status();
    ASSERT_EQ(got["fields"].size(), 2u) << got.dump();
    for (const json& f : got["fields"]) {
        std::string field = f["name"];
        SCOPED_TRACE(f.dump());
        uint64_t rows = std::stoull(sql("SELECT count(*) FROM zelflash.lot_values WHERE field = '" + field + "'"));
        uint64_t counted = 0;
        for (const char* state : {"used", "failed", "burned", "free", "reserved"}) {
            EXPECT_EQ(f[state], in_state(field, state)) << state;
            counted += f[state].get<uint64_t>();
        }
        EXPECT_EQ(f["held"], json::object()) << "every station gave back its hand";
        EXPECT_EQ(f["reserved"], 0);
        EXPECT_EQ(counted, rows) << "a value in a state the status does not count";
        EXPECT_EQ(counted + f["remaining"].get<uint64_t>(), f["total"].get<uint64_t>());
        EXPECT_EQ(f["total"], field == "serial" ? 1000 : 400);
        std::cout << field << ": used " << f["used"] << ", failed " << f["failed"] << ", burned " << f["burned"]
                  << ", free " << f["free"] << ", never handed out " << f["remaining"] << "\n";
    }
    for (const json& s : got["stations"])
        EXPECT_EQ(s["live"], false) << s.dump();
    EXPECT_EQ(got["stations"].size(), stations.size());
}

TEST_F(lot_chaos, four_stations_killed_at_random_and_a_power_cut_never_put_a_value_on_two_boards)
{
    std::cout << "seed " << seed << " (ZEL_TEST_SEED)\n";
    // A commit the server acknowledged survives its stop, as on a server
    // of a real lot (the test server's own setting trades that for speed).
    ASSERT_NE(sql("ALTER SYSTEM SET synchronous_commit = on"), "(failed)");
    ASSERT_EQ(sql("SELECT pg_reload_conf()"), "t\n");
    write_job("s0", station_options().with_jobs(4));
    create_lot("s0");
    for (const std::string& s : stations)
        write_job(s, station_options().with_jobs(4));
    auto began = steady::now();
    run_the_lot();
    std::cout << "the stations' run took "
              << std::chrono::duration_cast<std::chrono::seconds>(steady::now() - began).count() << " s\n";
    if (HasFatalFailure())
        return;
    expect_no_value_twice_and_flashes_as_recorded();
    expect_every_value_in_one_state();
    for (const std::string& s : stations)
        expect_records_in_the_lot(s);
}

}  // namespace
