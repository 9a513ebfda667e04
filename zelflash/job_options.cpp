#include "job_options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <map>

#include "texts.h"

namespace {

// Takes the file's value of a setting the command line did not give.
template <typename T, typename U>
void take(const CLI::App& command, const char* option, const job_setting<T>& from, U* to)
{
    const CLI::Option* given = command.get_option_no_throw(option);
    if (from.value && (given == nullptr || given->count() == 0))
        *to = *from.value;
}

void apply_image(const CLI::App& c, const job_image& j, flash_options* o)
{
    take(c, "IMAGE", j.path, &o->image_path);
    std::string format, address;
    take(c, "--format", j.format, &format);
    if (j.format.value && !format.empty())
        o->format = std::string(image_format_name(*j.format.value));
    if (j.address.value)
        take(c, "--address", job_setting<std::string>{hex32(*j.address.value), j.address.line}, &o->address);
    take(c, "--fill-gaps", j.fill_gaps, &o->fill_gaps);
    take(c, "--flash-size", j.flash_size, &o->flash_size);
}

void apply_link(const CLI::App& c, const job_link& j, flash_options* o)
{
    take(c, "--baud", j.baud, &o->baud);
    take(c, "--retries", j.retries, &o->retries);
    take(c, "--erase-timeout", j.erase_timeout, &o->erase_timeout);
}

void apply_station(const CLI::App& c, const job_station& j, flash_options* o, watch_options* w,
                   std::vector<std::string>* ports)
{
    take(c, "--log", j.log, &o->station.log);
    if (ports != nullptr)
        take(c, "--port", j.ports, ports);
    if (w == nullptr)
        return;
    take(c, "--glob", j.glob, &w->glob);
    take(c, "--match", j.match, &w->match);
    take(c, "--jobs", j.jobs, &w->jobs);
    take(c, "--include-present", j.include_present, &w->include_present);
}

}  // namespace

bool job_options_watchable(const station_job& job, const watch_options& w, std::string* error)
{
    const job_station& j = job.station;
    if (!j.ports.value || j.glob.value || j.match.value || !w.glob.empty() || !w.match.empty())
        return true;
    *error = job_file_where(job, j.ports.line) + ": [station] names ports but no glob or match: it is a job for "
             "zelflash write; give watch --glob or --match, or add glob or match to [station]";
    return false;
}

namespace {

// The --set values on the value fields: each field once, and only a value
// field (a counter's or a list's values come from the state file).
bool set_values(const std::vector<std::string>& given, station_setup* setup, std::string* error)
{
    std::map<std::string, std::string> seen;  // name -> the --set that gave it
    for (const std::string& text : given) {
        std::string name, value;
        if (!field_parse_set(text, &name, &value, error))
            return false;
        auto f = std::find_if(setup->fields.begin(), setup->fields.end(),
                              [&](const field_spec& s) { return s.name == name; });
        if (f == setup->fields.end()) {
            *error = "--set " + text + ": the job has no field named '" + name + "'";
            return false;
        }
        if (f->kind != FIELD_VALUE) {
            *error = "--set " + text + ": field '" + name + "' is a " +
                     (f->kind == FIELD_LIST ? "list" : "counter") +
                     ": its values come from the state file, one per board, not from --set";
            return false;
        }
        if (!seen.emplace(name, text).second) {
            *error = "--set " + text + ": field '" + name + "' is already given by --set " + seen[name] +
                     "; give each value once";
            return false;
        }
        f->value = value;
    }
    return true;
}

// The job's fields, then --serial beside them (never in place of one of
// them), then the --set values on the value fields.
bool gather_fields(const station_job* job, const station_options& s, station_setup* setup, std::string* error)
{
    if (job != nullptr)
        for (const job_field& f : job->fields) {
            setup->fields.push_back(f.field);
            setup->field_origins.push_back(job_file_where(*job, f.line));
        }
    if (!s.serial.empty()) {
        field_spec serial;
        if (!field_parse_serial(s.serial, &serial, error))
            return false;
        for (size_t i = 0; i < setup->fields.size(); ++i)
            if (setup->fields[i].name == serial.name) {
                *error = "--serial " + s.serial + " names field '" + serial.name + "', which the job already " +
                         "defines (" + setup->field_origins[i] + "); change it in the job file, or leave out --serial";
                return false;
            }
        setup->fields.push_back(serial);
        setup->field_origins.push_back("--serial");
    }
    return set_values(s.set, setup, error);
}

}  // namespace

bool job_options_apply(const CLI::App& command, const station_job* job, flash_options* o, watch_options* w,
                       std::vector<std::string>* ports, station_setup* setup, std::string* error)
{
    const station_options& s = o->station;
    if (job != nullptr) {
        apply_image(command, job->image, o);
        apply_link(command, job->link, o);
        apply_station(command, job->station, o, w, ports);
        setup->labels = job->labels;
        setup->image_sha256 = job->image.sha256.value.value_or("");
        setup->pin_origin = job_file_where(*job, job->image.sha256.line) + ": [image] sha256";
        setup->state_path = job->station.state.value.value_or("");
        setup->policy = job->station.on_failure.value.value_or(FAILED_BURN);
    }
    if (!s.state.empty())
        setup->state_path = s.state;
    setup->log_path = s.log;
    setup->new_state = s.new_state;
    if (!s.on_failure.empty())
        setup->policy = s.on_failure == "reuse" ? FAILED_REUSE : FAILED_BURN;
    if (ports != nullptr && ports->empty()) {
        *error = "no port to program: give -p PORT, or ports in the job file's [station]";
        return false;
    }
    return gather_fields(job, s, setup, error);
}

bool job_options_values_given(const station_setup& setup, std::string* error)
{
    for (const field_spec& f : setup.fields)
        if (f.kind == FIELD_VALUE && f.value.empty()) {
            *error = "field '" + f.name + "' takes its value from the command line: give --set " + f.name + "=VALUE";
            return false;
        }
    return true;
}

bool job_options_of_file(const std::string& path, job_alone* out, std::string* error)
{
    CLI::App none;  // nothing given on the command line: every setting is the file's
    return job_file_read(path, &out->job, error) &&
           job_options_apply(none, &out->job, &out->o, &out->w, nullptr, &out->setup, error);
}
