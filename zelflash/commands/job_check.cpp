#include "commands/job_check.h"

#include <memory>

#include "outputs/display_factory.h"
#include "lot/lot_conninfo.h"
#include "platform/file_lock.h"
#include "station/job_options.h"
#include "commands/options.h"
#include "station/station.h"
#include "base/texts.h"

namespace {

std::string field_line(const field_spec& f, const std::string& next)
{
    std::string where = field_format_name(f.encoding, f.width) + " at " + hex32(f.address);
    switch (f.kind) {
    case FIELD_COUNTER:
        return where + ", counter from " + std::to_string(f.start) + " step " + std::to_string(f.step) +
               (f.last ? " to " + std::to_string(*f.last) : "") + "; next " + next;
    case FIELD_LIST: return where + ", list " + f.list + "; next " + next;
    default: return where + ", value needed with every run: --set " + f.name + "=VALUE";
    }
}

// A station of a port per board: write's ports, and what watch watches.
std::string ports_text(const station_job& job, const watch_options& w, const std::string& log)
{
    std::string text;
    for (const std::string& p : job.values.ports)
        text += "write   " + p + "\n";
    return text + "watch   " + (w.glob.empty() ? std::string("serial ports") : w.glob) + ", " +
           std::to_string(w.jobs) + " at once" + log + "\n";
}

// A fixture's slots, and how a board is known to be in one.
std::string fixture_text(const station_job& job, const watch_options& w, const std::string& log)
{
    std::string text;
    for (size_t i = 0; i < job.values.ports.size(); ++i)
        text += "slot " + align_left(std::to_string(i + 1), 3) + job.values.ports[i] + "\n";
    if (job.values.ports.empty())
        text += "slots   the ports " + (w.glob.empty() ? "--match finds" : w.glob + " matches") + " at start\n";
    std::string present = w.present == "probe" ? "probed every " + std::to_string(w.probe_ms) + " ms"
                          : w.present == "enter" ? "started by Enter"
                                                 : "seated when " + w.present + " is on";
    return text + "fixture " + present + "; a board has left after " + std::to_string(w.leave_ms) + " ms unheard; " +
           std::to_string(w.jobs) + " at once" + log + "\n";
}

std::string describe(const station_job& job, const setting_values& v, const station_setup& setup, const image& img)
{
    const flash_options& o = v.flash;
    const watch_options& w = v.watch;
    std::string text = "job     " + job.name + "\n";
    text += "image   " + img.name + " (" + std::string(image_format_name(img.format)) + "), " +
            counted(img.bytes.size(), "byte", "bytes") + " at " + hex32(img.addr) + "\n";
    text += "        SHA-256 " + (img.file_sha256.empty() ? std::string("(embedded)") : img.file_sha256) +
            (job.given.given[SETTING_SHA256] ? ", as pinned" : ", not pinned") + "\n";
    text += "link    " + std::to_string(o.baud) + " baud, " + counted(o.retries, "attempt", "attempts") +
            " per command, erase wait " + fixed(o.erase_timeout, 1) + " s\n";
    std::string log = setup.log_path.empty() ? "" : "; log " + setup.log_path;
    text += w.mode == "fixture" ? fixture_text(job, w, log) : ports_text(job, w, log);
    if (job.lot)
        text += "lot     " + job.lot->name + " in " + lot_redact(job.lot->database) + ", station " +
                (job.lot->station.empty() ? std::string("named for the host") : job.lot->station) + ", lease " +
                std::to_string(job.lot->lease) + "\n";
    for (const auto& [name, value] : job.labels)
        text += "label   " + name + " = " + value + "\n";
    return text;
}

// What a run will write to: the state file and the board log, each where
// it can be appended to (or, for the log, made).
std::string unwritable(const station_setup& setup, bool counted)
{
    std::string why;
    if (counted && !file_lock_writable(setup.state_path, &why))
        return "the state file cannot be written: " + why + "; a run would refuse every board";
    if (!setup.log_path.empty() && !file_lock_writable(setup.log_path, &why))
        return "the board log cannot be written: " + why + "; a run would stop at its first board";
    return "";
}

// The fields and their next values, read from the state file as it is:
// nothing copied, locked or written, so it may run beside a station.
bool fields_text(const station_setup& setup, std::string* text, std::string* error)
{
    std::vector<field_spec> counted = station_counted(setup);
    std::vector<field_value> next;
    std::unique_ptr<value_source> source = station_source(setup);
    if (!counted.empty() && source == nullptr) {
        *error = "[lot]: this build of zelflash has no lot database client";
        return false;
    }
    if (!counted.empty() && (!source->look(counted, setup.policy, error) || (!setup.lot && !source->peek(&next, error))))
        return false;
    std::string policy = setup.policy == FAILED_REUSE ? " (failed boards' values reused)\n"
                                                      : " (failed boards' values burned)\n";
    if (!counted.empty())
        *text += "state   " + setup.state_path +
                 (setup.lot ? ", the journal of station " + setup.lot->station + " of the lot" : "") + policy;
    for (size_t i = 0; i < counted.size(); ++i)
        *text += "field   " + counted[i].name + ": " +
                 field_line(counted[i], setup.lot ? "from the lot" : next[i].text) + "\n";
    for (const field_spec& f : setup.fields)
        if (f.kind == FIELD_VALUE)
            *text += "field   " + f.name + ": " + field_line(f, "") + "\n";
    return true;
}

}  // namespace

int job_check_run(const std::string& path)
{
    std::unique_ptr<display> d = display_for(false, false, stdout, stderr);
    job_alone j;
    image img;
    std::string error, fields;
    bool ok = job_options_of_file(path, &j, &error) && options_load_image(j.values.flash, &img, &error);
    ok = ok && (error = station_check(j.setup, img)).empty() && fields_text(j.setup, &fields, &error);
    ok = ok && (error = unwritable(j.setup, !station_counted(j.setup).empty())).empty();
    if (!ok) {
        d->problem(error);
        return 2;
    }
    return d->document(describe(j.job, j.values, j.setup, img) + fields) ? 0 : 1;
}

int job_init_run(const std::string& path)
{
    std::unique_ptr<display> d = display_for(false, false, stdout, stderr);
    job_alone j;
    std::string error;
    if (job_options_of_file(path, &j, &error) && j.setup.lot)
        error = path + ": [lot]: a lot's station makes its journal at its first start, and the lot is made with "
                       "zelflash lot create JOB; there is nothing for job init to make";
    if (!error.empty() ||
        !serial_state_create(j.setup.state_path, station_counted(j.setup), j.setup.log_path, &error)) {
        d->problem(error);
        return 2;
    }
    return d->document(j.setup.state_path + "\n") ? 0 : 1;
}
