#include "station/job_options.h"

#include <algorithm>
#include <map>

bool job_options_watchable(const station_job& job, const watch_options& w, std::string* error)
{
    const setting_marks& j = job.given;
    if (w.mode == "fixture" || !j.given[SETTING_PORTS] || j.given[SETTING_GLOB] || j.given[SETTING_MATCH] || !w.glob.empty() ||
        !w.match.empty())
        return true;
    *error = job_file_where(job, j.line[SETTING_PORTS]) +
             ": [station] names ports but no glob or match: it is a job for zelflash write; give watch --glob or "
             "--match, or add glob or match to [station]";
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

bool job_options_apply(const station_job* job, const setting_marks& command_line, bool wants_ports,
                       setting_values* values, station_setup* setup, std::string* error)
{
    const station_options& s = values->flash.station;
    if (job != nullptr) {
        settings_merge(job->values, job->given, values, command_line);
        setup->labels = job->labels;
        setup->pin_origin = job_file_where(*job, job->given.line[SETTING_SHA256]) + ": [image] sha256";
    }
    setup->image_sha256 = s.sha256;
    setup->state_path = s.state;
    setup->log_path = s.log;
    setup->new_state = s.new_state;
    setup->policy = s.on_failure == "reuse" ? FAILED_REUSE : FAILED_BURN;
    if (job != nullptr && job->lot)
        setup->lot = lot_source_config{job->lot->database, job->lot->name, lot_station_name(job->lot->station),
                                       job->lot->lease, s.state};
    if (wants_ports && values->ports.empty()) {
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
    setting_marks none;  // nothing given on the command line: every setting is the file's
    return job_file_read(path, &out->job, error) &&
           job_options_apply(&out->job, none, false, &out->values, &out->setup, error);
}
