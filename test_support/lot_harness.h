// Test support for stations of a lot end to end: one private PostgreSQL
// server for a test suite (pg_server.h), a database of its own for each
// test, job files of stations sharing a lot, zelflash watch processes as
// those stations with zelsim devices in a folder of each station's
// (zelflash_harness.h), and readers of what a run leaves: the devices'
// flash, the stations' journals, the lot's tables.
// A test target defines ZELSIM_PATH and ZELFLASH_PATH.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>

#include "pg_suite.h"
#include "zelflash_harness.h"

namespace lot_harness {

using namespace zelflash_harness;

constexpr uint32_t IMAGE_ADDR = 0x10000;
constexpr uint32_t SERIAL_AT = 0x10010;  // le32
constexpr uint32_t MAC_AT = 0x10020;     // bytes6
constexpr size_t IMAGE_SIZE = 1024;      // four chunks: a board takes tens of milliseconds
constexpr uint32_t SERIAL_FIRST = 5000;
constexpr const char* LOT_NAME = "L2026-1208";

// The seed of a test's random moments: ZEL_TEST_SEED replays another run.
inline uint32_t test_seed()
{
    const char* given = std::getenv("ZEL_TEST_SEED");
    return given ? static_cast<uint32_t>(std::strtoul(given, nullptr, 10)) : 20261208u;
}

inline std::string hex_byte(size_t v)
{
    const char* digits = "0123456789abcdef";
    return {digits[v / 16 % 16], digits[v % 16]};
}

// The values a device's flash carries, as the lot writes them down.
struct flashed_values {
    std::string serial;
    std::string mac;
    bool erased = true;  // the fields' bytes are all 0xFF: no value reached the device
    bool operator==(const flashed_values&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const flashed_values& v)
{
    return v.erased ? os << "(erased)" : os << "serial " << v.serial << ", MAC " << v.mac;
}

// Which parts of a station's job a test sets, one setter each:
// station_options().with_lease(1).with_jobs(4).
struct station_options {
    uint32_t lease = 8;
    size_t jobs = 4;
    uint32_t serial_step = 1;
    std::string database;  // the lot's connection string; empty: the test's database
    std::string state;     // the journal's file name; empty: <station>.serials
    std::string list = "macs.txt";

    station_options& with_lease(uint32_t n) { return lease = n, *this; }
    station_options& with_jobs(size_t n) { return jobs = n, *this; }
    station_options& with_step(uint32_t n) { return serial_step = n, *this; }
    station_options& with_database(std::string d) { return database = std::move(d), *this; }
    station_options& with_state(std::string file) { return state = std::move(file), *this; }
    station_options& with_list(std::string file) { return list = std::move(file), *this; }
};

struct lot_bench : pg_suite<bench> {
    void SetUp() override
    {
        pg_suite::SetUp();
        if (!set_up())
            return;
        write_image(IMAGE_SIZE);
        write_macs(400);
    }

    std::string conninfo() const { return server->conninfo(database); }
    std::string sql(const std::string& statement) const
    {
        return server->psql(database, statement).value_or("(failed)");
    }

    void write_macs(size_t n, const std::string& file = "macs.txt")
    {
        std::string list;
        for (size_t i = 0; i < n; ++i)
            list += "02:00:00:00:" + hex_byte(i / 256) + ":" + hex_byte(i % 256) + "\n";
        write_file(dir.path / file, list);
    }

    fs::path folder_of(const std::string& station) const { return dir.path / station; }
    fs::path job_of(const std::string& station) const { return dir.path / (station + ".toml"); }
    fs::path log_of(const std::string& station) const { return dir.path / (station + ".jsonl"); }
    fs::path journal_of(const std::string& station) const { return dir.path / (station + ".serials"); }

    // The job of station `station`: the image at IMAGE_ADDR with a serial
    // counter from SERIAL_FIRST to SERIAL_FIRST + 999 and MAC addresses
    // from a list (400 lines in macs.txt), boards in the station's own folder.
    fs::path write_job(const std::string& station, const station_options& o = station_options())
    {
        fs::create_directories(folder_of(station));
        std::string state = o.state.empty() ? station + ".serials" : o.state;
        std::string job = "version = 1\n[image]\npath = \"image.bin\"\naddress = 0x10000\n"
                          "[link]\nbaud = 921600\nretries = 4\n"
                          "[station]\nglob = \"" + (folder_of(station) / "dev*").string() + "\"\njobs = " +
                          std::to_string(o.jobs) + "\ninclude_present = true\nlog = \"" + station +
                          ".jsonl\"\nstate = \"" + state + "\"\n"
                          "[[field]]\nname = \"serial\"\naddress = 0x10010\nkind = \"counter\"\nformat = \"le32\"\n"
                          "start = " + std::to_string(SERIAL_FIRST) + "\nstep = " + std::to_string(o.serial_step) +
                          "\nlast = " + std::to_string(SERIAL_FIRST + 999) + "\n"
                          "[[field]]\nname = \"mac\"\naddress = 0x10020\nkind = \"list\"\nformat = \"bytes6\"\n"
                          "list = \"" + o.list + "\"\n"
                          "[lot]\ndatabase = \"" + (o.database.empty() ? conninfo() : o.database) +
                          "\"\nname = \"" + LOT_NAME + "\"\nstation = \"" + station + "\"\nlease = " +
                          std::to_string(o.lease) + "\n";
        write_file(job_of(station), job);
        return job_of(station);
    }

    // zelflash with `args`, its streams to <name>.out and <name>.err.
    std::unique_ptr<child_process> start(const std::vector<std::string>& args, const std::string& name,
                                         std::vector<std::string> env = {})
    {
        child_io io;
        io.in = to_file("/dev/null");
        io.out = to_file((dir.path / (name + ".out")).string());
        io.err = to_file((dir.path / (name + ".err")).string());
        io.env = std::move(env);
        return std::make_unique<child_process>(ZELFLASH_PATH, args, io);
    }
    child_end run(const std::vector<std::string>& args, const std::string& name = "command",
                  std::vector<std::string> env = {})
    {
        return start(args, name, std::move(env))->finish(std::chrono::minutes(2));
    }
    void create_lot(const std::string& station)
    {
        child_end made = run({"lot", "create", job_of(station).string()});
        ASSERT_EQ(made.status, 0) << made.err;
    }
    json status(const std::string& station = "s0")
    {
        child_end s = run({"lot", "status", "--json", job_of(station).string()}, "status");
        EXPECT_EQ(s.status, 0) << s.err;
        return json::parse(s.out, nullptr, false);
    }

    // zelflash watch as station `station` (its job written before).
    std::unique_ptr<child_process> start_station(const std::string& station, std::vector<std::string> extra = {})
    {
        std::vector<std::string> args = {"watch", "--job", job_of(station).string()};
        args.insert(args.end(), extra.begin(), extra.end());
        return start(args, station);
    }
    std::string err_of(const std::string& name) const { return read_text(dir.path / (name + ".err")); }
    std::string out_of(const std::string& name) const { return read_text(dir.path / (name + ".out")); }
    // True once the station watches its folder; false when it said one of
    // `ends` on standard error first (a refusal that ends it), or nothing
    // within `limit`.
    bool watching(const std::string& station, const std::vector<std::string>& ends = {},
                  std::chrono::milliseconds limit = std::chrono::seconds(60))
    {
        auto up = [&] { return out_of(station).find("zelflash: watching ") != std::string::npos; };
        auto ended = [&] {
            std::string err = err_of(station);
            return std::any_of(ends.begin(), ends.end(), [&](const std::string& e) { return err.find(e) != std::string::npos; });
        };
        eventually([&] { return up() || ended(); }, limit);
        return up();
    }

    // A device in station `station`'s folder, number sims.size().
    size_t add_device(const std::string& station, std::vector<std::string> extra = {})
    {
        size_t i = sims.size();
        start_device(std::move(extra), (folder_of(station) / ("dev" + std::to_string(i))).string());
        return i;
    }

    // `n` bytes at `at` of device i's flash dump (fewer when it is shorter).
    bytes flash_at(size_t i, uint32_t at, size_t n) const
    {
        std::ifstream in(file("flash", i), std::ios::binary);
        bytes part(n);
        in.seekg(at);
        in.read(reinterpret_cast<char*>(part.data()), static_cast<std::streamsize>(n));
        part.resize(in ? n : 0);
        return part;
    }

    // The values in device i's flash dump, once it has ended.
    flashed_values flashed(size_t i) const
    {
        bytes serial = flash_at(i, SERIAL_AT, 4), mac = flash_at(i, MAC_AT, 6);
        flashed_values v;
        if (serial.empty() || mac.empty())
            return v;
        auto erased = [](const bytes& b) { return std::all_of(b.begin(), b.end(), [](uint8_t x) { return x == 0xFF; }); };
        v.erased = erased(serial) && erased(mac);
        v.serial = std::to_string(le32(serial, 0));
        for (uint32_t k = 0; k < 6; ++k)
            v.mac += (k ? ":" : "") + hex_byte(mac[k]);
        return v;
    }
    // Whether device i's flash holds the whole image, its fields patched in.
    bool holds_image(size_t i) const
    {
        bytes image = read_file(image_path), flash = flash_at(i, IMAGE_ADDR, image.size());
        if (flash.size() != image.size())
            return false;
        for (size_t k = 0; k < image.size(); ++k) {
            uint32_t at = static_cast<uint32_t>(IMAGE_ADDR + k);
            bool field = (at >= SERIAL_AT && at < SERIAL_AT + 4) || (at >= MAC_AT && at < MAC_AT + 6);
            if (!field && flash[k] != image[k])
                return false;
        }
        return true;
    }

    // The lines of a file that parse as JSON objects (a journal's, a log's).
    static std::vector<json> json_lines(const fs::path& path)
    {
        std::vector<json> lines;
        std::istringstream text(fs::exists(path) ? read_text(path) : "");
        for (std::string line; std::getline(text, line);) {
            json j = json::parse(line, nullptr, false);
            if (j.is_object())
                lines.push_back(std::move(j));
        }
        return lines;
    }
    // The boards' records a station's journal ended boards with, by ticket.
    std::map<uint64_t, json> journal_records(const std::string& station) const
    {
        std::map<uint64_t, json> records;
        for (const json& j : json_lines(journal_of(station)))
            if (j.contains("record"))
                records[j["ticket"].get<uint64_t>()] = j["record"];
        return records;
    }
    // The lot's board records of a station, by ticket (a ticket twice fails the test).
    std::map<uint64_t, json> lot_records(const std::string& station) const
    {
        std::map<uint64_t, json> records;
        std::istringstream rows(sql("SELECT ticket, record::text FROM zelflash.boards WHERE station = '" + station +
                                    "' ORDER BY ticket"));
        for (std::string row; std::getline(rows, row);) {
            uint64_t ticket = std::stoull(row.substr(0, row.find('|')));
            EXPECT_TRUE(records.emplace(ticket, json::parse(row.substr(row.find('|') + 1))).second)
                << station << " ticket " << ticket << " twice in the lot";
        }
        return records;
    }
    // The lot's count of values of `field` in `state`.
    uint64_t in_state(const std::string& field, const std::string& state) const
    {
        std::string n = sql("SELECT count(*) FROM zelflash.lot_values WHERE field = '" + field + "' AND state = '" +
                            state + "'");
        return n == "(failed)" ? UINT64_MAX : std::stoull(n);
    }
};

}  // namespace lot_harness
