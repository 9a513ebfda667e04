#include "job_check.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "display.h"
#include "job_options.h"
#include "serials.h"
#include "texts.h"

namespace {

namespace fs = std::filesystem;

// The next values, from a scratch copy of the state file: the station's own
// stays as it is, and may be held by a running station.
bool next_values(const station_setup& setup, std::vector<field_value>* values, std::string* error)
{
    fs::path scratch = fs::temp_directory_path() / ("zelflash-check-" + std::to_string(std::rand()));
    std::error_code ec;
    fs::create_directories(scratch, ec);
    fs::path copy = scratch / "state";
    if (fs::exists(setup.state_path, ec))
        fs::copy_file(setup.state_path, copy, ec);
    bool ok = !ec;
    {
        serial_state state;
        ok = ok && state.open(copy.string(), setup.fields, setup.policy, error) && state.peek(values, error);
    }
    if (ec)
        *error = setup.state_path + ": " + ec.message();
    fs::remove_all(scratch, ec);
    return ok;
}

// The fields that hand out values: a value field's value comes with a run.
station_setup counted_only(station_setup setup)
{
    station_setup out = setup;
    out.fields.clear();
    out.field_origins.clear();
    for (size_t i = 0; i < setup.fields.size(); ++i)
        if (setup.fields[i].kind != FIELD_VALUE) {
            out.fields.push_back(setup.fields[i]);
            out.field_origins.push_back(setup.field_origins[i]);
        }
    return out;
}

std::string field_line(const field_spec& f, const std::string& next)
{
    std::string where = field_format_name(f.encoding, f.width) + " at " + hex32(f.address);
    switch (f.kind) {
    case FIELD_COUNTER:
        return where + ", counter from " + std::to_string(f.start) + " step " + std::to_string(f.step) +
               (f.last ? " to " + std::to_string(*f.last) : "") + "; next " + next;
    case FIELD_LIST: return where + ", list " + f.list + "; next " + next;
    default: return where + ", value " + next;
    }
}

std::string describe(const station_job& job, const flash_options& o, const watch_options& w,
                     const std::vector<std::string>& ports, const image& img)
{
    std::string text = "job     " + job.name + "\n";
    text += "image   " + img.name + " (" + std::string(image_format_name(img.format)) + "), " +
            counted(img.bytes.size(), "byte", "bytes") + " at " + hex32(img.addr) + "\n";
    text += "        SHA-256 " + (img.file_sha256.empty() ? std::string("(embedded)") : img.file_sha256) +
            (job.image.sha256.value ? ", as pinned" : ", not pinned") + "\n";
    text += "link    " + std::to_string(o.baud) + " baud, " + counted(o.retries, "attempt", "attempts") +
            " per command, erase wait " + fixed(o.erase_timeout, 1) + " s\n";
    if (!ports.empty())
        for (const std::string& p : ports)
            text += "write   " + p + "\n";
    text += "watch   " + (w.glob.empty() ? std::string("serial ports") : w.glob) + ", " +
            std::to_string(w.jobs) + " at once" + (w.log.empty() ? "" : "; log " + w.log) + "\n";
    for (const auto& [name, value] : job.labels)
        text += "label   " + name + " = " + value + "\n";
    return text;
}

}  // namespace

int job_check_run(const std::string& path)
{
    std::unique_ptr<display> d = display_for(false, false, stdout, stderr);
    station_job job;
    std::string error;
    CLI::App none;  // nothing given on the command line: every setting is the file's
    flash_options o;
    watch_options w;
    std::vector<std::string> ports;
    station_setup setup;
    image img;
    if (!job_file_read(path, &job, &error) || !job_options_apply(none, &job, &o, &w, nullptr, &setup, &error) ||
        !options_load_image(o, &img, &error) || !(error = station_check(counted_only(setup), img)).empty()) {
        d->problem(error);
        return 2;
    }
    ports = job.station.ports.value.value_or(std::vector<std::string>{});
    std::vector<field_value> next;
    station_setup counted = counted_only(setup);
    bool counted_fields = !counted.fields.empty();
    if (counted_fields && !next_values(counted, &next, &error)) {
        d->problem(error);
        return 2;
    }
    std::string text = describe(job, o, w, ports, img);
    if (counted_fields)
        text += "state   " + setup.state_path + (setup.policy == FAILED_REUSE ? " (failed boards' values reused)\n" : " (failed boards' values burned)\n");
    for (size_t i = 0; i < counted.fields.size(); ++i)
        text += "field   " + counted.fields[i].name + ": " +
                field_line(counted.fields[i], i < next.size() ? next[i].text : "?") + "\n";
    for (const field_spec& f : setup.fields)
        if (f.kind == FIELD_VALUE)
            text += "field   " + f.name + ": " + field_line(f, "given with --set " + f.name + "=VALUE") + "\n";
    return d->document(text) ? 0 : 1;
}
