// Fuzz target for the station's job file: the input is a job file's text,
// read and checked as zelflash reads one. Whatever the text, the reader
// either refuses it with one line that starts with the file's name and the
// line at fault, or gives a job in which every setting lies in its range
// and no two fields share a byte. The ranges are written out again here,
// apart from the reader's own tables, so that a slip in those shows.
#include <cctype>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

#include "station/job_file.h"
#include "platform/ports.h"

namespace {

const char job_name[] = "fuzz/station.toml";

void check(bool holds)
{
    if (!holds)
        std::abort();
}

// "fuzz/station.toml line 12: ...", on one line.
void check_error(const std::string& error)
{
    std::string head = std::string(job_name) + " line ";
    check(error.compare(0, head.size(), head) == 0);
    size_t digits = head.size();
    while (digits < error.size() && error[digits] >= '0' && error[digits] <= '9')
        ++digits;
    check(digits > head.size() && error[head.size()] != '0');
    check(error.compare(digits, 2, ": ") == 0);
    check(error.find('\n') == std::string::npos);
}

// A number the file gives lies in its range, and came from a line of its own.
bool within(const station_job& job, setting_id id, uint32_t value, uint32_t least, uint32_t most)
{
    return !job.given.given[id] || (value >= least && value <= most && job.given.line[id] > 0);
}

void check_numbers(const station_job& job)
{
    const flash_options& flash = job.values.flash;
    check(within(job, SETTING_FLASH_SIZE, flash.flash_size, 1, 0xFFFFFFFF));
    check(within(job, SETTING_BAUD, flash.baud, 1, 4000000));
    check(within(job, SETTING_RETRIES, flash.retries, 1, 1000000));
    check(within(job, SETTING_JOBS, job.values.watch.jobs, 1, 256));
    check(!job.given.given[SETTING_ERASE_TIMEOUT] ||
          (std::isfinite(flash.erase_timeout) && flash.erase_timeout >= 0.1 && flash.erase_timeout <= 86400));
    const std::string& address = flash.address;
    check(job.given.given[SETTING_ADDRESS] == !address.empty());
    check(address.empty() || (address.size() == 10 && address.starts_with("0x")));
}

void check_settings(const station_job& job)
{
    check(job.name == job_name);
    const station_options& station = job.values.flash.station;
    check(job.given.given[SETTING_SHA256] == !station.sha256.empty());
    if (!station.sha256.empty()) {
        check(station.sha256.size() == 64);
        for (char c : station.sha256)
            check((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
    }
    const std::string& format = job.values.flash.format;
    check(format == "auto" || format == "bin" || format == "ihex" || format == "srec");
    check(station.on_failure.empty() || station.on_failure == "burn" || station.on_failure == "reuse");
    check(job.given.given[SETTING_STATE] && !station.state.empty());
    std::set<std::string> ports;
    for (const std::string& port : job.values.ports)
        check(!port.empty() && ports.insert(port).second);
    for (const std::string& id : job.values.watch.match)
        check(ports_parse_usb_id(id).has_value() && !job.given.given[SETTING_GLOB]);
    for (const auto& [key, value] : job.labels)
        for (char c : key)
            check(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-');
}

void check_fields(const station_job& job)
{
    std::set<std::string> names;
    for (size_t i = 0; i < job.fields.size(); ++i) {
        const field_spec& f = job.fields[i].field;
        check(!f.name.empty() && names.insert(f.name).second);
        check(f.width >= 1 && f.width <= 64 && uint64_t{f.address} + f.width <= uint64_t{1} << 32);
        check(f.step >= 1 && (!f.last || *f.last >= f.start));
        check(f.kind != FIELD_LIST || !f.list.empty());
        check(job.fields[i].line > 0);
        for (size_t j = 0; j < i; ++j) {
            const field_spec& g = job.fields[j].field;
            check(uint64_t{f.address} + f.width <= g.address || uint64_t{g.address} + g.width <= f.address);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string_view text(reinterpret_cast<const char*>(data), size);
    station_job job;
    std::string error;
    if (!job_file_parse(text, job_name, &job, &error)) {
        check_error(error);
        return 0;
    }
    check_settings(job);
    check_numbers(job);
    check_fields(job);
    return 0;
}
