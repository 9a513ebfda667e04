// The bench's measure of a lot database's allocation: STATIONS stations at
// once, each on a connection of its own, take leases of LEASE values of the
// lot's first field for SECONDS seconds, as fast as the server gives them.
// Prints one JSON object: values taken, seconds, values per second, and
// whether every value went to one station only.
//
//   lot_alloc CONNINFO LOT STATIONS LEASE SECONDS
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "lot/lot_db.h"
#include "lot/lot_station.h"

namespace {

struct shared {
    std::mutex lock;
    std::multiset<std::string> values;
    std::string error;
};

void station(const std::string& conninfo, const std::string& lot_name, int n, size_t lease,
             std::chrono::steady_clock::time_point until, shared* out)
{
    lot_db db;
    lot_ref lot;
    lot_registration reg;
    std::string error;
    std::string name = "alloc-" + std::to_string(lease) + "-" + std::to_string(n);
    std::vector<std::string> got;
    bool ok = db.connect(conninfo, &error) && lot_find(db, lot_name, &lot, &error) &&
              lot_station_register(db, lot, name, static_cast<uint32_t>(lease), &reg, &error);
    field_spec f;
    if (ok) {
        f.name = lot.fields.at(0).name;
        f.kind = lot.fields[0].kind;
        f.step = lot.fields[0].step;
        f.encoding = FIELD_LE;
        f.width = 8;
    }
    while (ok && std::chrono::steady_clock::now() < until) {
        value_lists leased;
        ok = lot_station_lease(db, lot, name, {f}, {{f.name, lease}}, &leased, &error);
        for (const auto& [field, values] : leased)
            got.insert(got.end(), values.begin(), values.end());
        ok = ok && !leased.empty();
    }
    std::lock_guard<std::mutex> hold(out->lock);
    out->values.insert(got.begin(), got.end());
    if (!ok && out->error.empty())
        out->error = error.empty() ? "the lot ran out" : error;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 6) {
        std::fprintf(stderr, "usage: lot_alloc CONNINFO LOT STATIONS LEASE SECONDS\n");
        return 2;
    }
    int stations = std::atoi(argv[3]);
    size_t lease = std::strtoul(argv[4], nullptr, 10);
    double seconds = std::atof(argv[5]);
    shared out;
    auto start = std::chrono::steady_clock::now();
    auto until = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                             std::chrono::duration<double>(seconds));
    std::vector<std::thread> threads;
    for (int n = 0; n < stations; ++n)
        threads.emplace_back(station, std::string(argv[1]), std::string(argv[2]), n, lease, until, &out);
    for (std::thread& t : threads)
        t.join();
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::set<std::string> distinct(out.values.begin(), out.values.end());
    std::printf("{\"values\": %zu, \"seconds\": %.3f, \"per_second\": %.1f, \"distinct\": %s, \"error\": \"%s\"}\n",
                out.values.size(), took, out.values.size() / took, distinct.size() == out.values.size() ? "true" : "false",
                out.error.c_str());
    return out.error.empty() && distinct.size() == out.values.size() ? 0 : 1;
}
