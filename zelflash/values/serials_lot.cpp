#include "values/serials_lot.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "platform/sha256.h"
#include "values/witness.h"

bool serial_read_file(const std::string& path, std::string* bytes)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    *bytes = all.str();
    return static_cast<bool>(in);
}

namespace {

// A list file's lines, a UTF-8 byte-order mark before the first (as
// Notepad writes one) left out.
bool read_list(value_field* f, std::string* error)
{
    std::string bytes;
    if (!serial_read_file(f->def.list, &bytes)) {
        *error = f->def.list + ": cannot read the list of field '" + f->def.name + "' (does it exist?)";
        return false;
    }
    f->list_bytes = bytes;
    std::istringstream in(bytes.starts_with("\xEF\xBB\xBF") ? bytes.substr(3) : bytes);
    std::map<std::string, uint64_t> seen;  // bytes -> line
    std::string raw;
    for (uint64_t number = 1; std::getline(in, raw); number++) {
        std::string text(serial_trim(raw));
        if (text.empty() || text[0] == '#')
            continue;
        std::vector<uint8_t> bytes;
        std::string why;
        if (!field_encode(f->def, text, &bytes, &why)) {
            *error = serial_line_error(f->def.list, number, why);
            return false;
        }
        std::string key(bytes.begin(), bytes.end());
        if (!seen.emplace(key, number).second) {
            *error = serial_line_error(f->def.list, number,
                                "'" + text + "' is the value of line " + std::to_string(seen[key]) +
                                    " again; each value may appear once");
            return false;
        }
        f->lines.push_back(std::move(text));
    }
    return true;
}

}  // namespace

bool serial_lot_read_fields(const std::vector<field_spec>& given, std::vector<value_field>* out, std::string* error)
{
    std::vector<value_field> fields;
    for (const field_spec& def : given) {
        std::string fault = field_check(def);
        if (!fault.empty()) {
            *error = fault;
            return false;
        }
        value_field f;
        f.def = def;
        if (def.kind == FIELD_LIST && !read_list(&f, error))
            return false;
        fields.push_back(std::move(f));
    }
    *out = std::move(fields);
    return true;
}

namespace {

serial_lot_field lot_field_of(const value_field& f)
{
    serial_lot_field out;
    out.def = f.def;
    out.def.list.clear();
    out.def.value.clear();
    if (f.def.kind == FIELD_LIST) {  // known by its file, as the record reads back
        out.def.start = field_spec{}.start, out.def.step = field_spec{}.step, out.def.last.reset();
        out.list_sha256 = sha256_hex(std::vector<uint8_t>(f.list_bytes.begin(), f.list_bytes.end()));
        out.list_bytes = f.list_bytes.size();
    }
    return out;
}

}  // namespace

std::vector<serial_lot_field> serial_lot_of(const std::vector<value_field>& fields)
{
    std::vector<serial_lot_field> lot;
    for (const value_field& f : fields)
        if (f.def.kind != FIELD_VALUE)
            lot.push_back(lot_field_of(f));
    return lot;
}

namespace {

const char* const other_lot = "; a lot's fields stay as the lot was made: run this job with its own lot's state "
                              "file, or start a new lot with zelflash job init";

std::string last_text(const std::optional<uint64_t>& last)
{
    return last ? std::to_string(*last) : "none";
}

// A list that only grew: the lines the lot was made with, unchanged, then new ones.
bool list_grew(const value_field& f, const serial_lot_field& was)
{
    const std::string& now = f.list_bytes;
    if (now.size() <= was.list_bytes)
        return false;
    std::string_view before(now.data(), was.list_bytes);
    bool whole_line = before.empty() || before.back() == '\n' || now[before.size()] == '\n' ||
                      now[before.size()] == '\r';
    return whole_line && sha256_hex(std::vector<uint8_t>(before.begin(), before.end())) == was.list_sha256;
}

// One field of the job against the file's record of it: a difference
// refuses; a counter's last raised or a list grown is a change to record.
bool field_agrees(const value_field& job, const serial_lot_field& was, const std::string& path, bool* changed,
                  std::vector<std::string>* notes, std::string* error)
{
    serial_lot_field now = lot_field_of(job);
    const field_spec& a = now.def;
    const field_spec& b = was.def;
    std::string field = "field '" + a.name + "'", differs;
    auto named = [](const char* what, const std::string& x, const std::string& y) {
        return std::string(what) + " " + x + " in the job, " + y + " in the state file";
    };
    if (a.kind != b.kind)
        differs = named("kind", a.kind == FIELD_LIST ? "list" : "counter", b.kind == FIELD_LIST ? "list" : "counter");
    else if (a.encoding != b.encoding || a.width != b.width)
        differs = named("format", field_format_name(a.encoding, a.width), field_format_name(b.encoding, b.width));
    else if (a.address != b.address)
        differs = named("address", std::to_string(a.address), std::to_string(b.address));
    else if (a.start != b.start || a.step != b.step)
        differs = named("start/step", std::to_string(a.start) + "/" + std::to_string(a.step),
                        std::to_string(b.start) + "/" + std::to_string(b.step));
    else if (a.kind == FIELD_COUNTER && a.last != b.last) {
        bool raised = !a.last || (b.last && *a.last > *b.last);
        if (!raised)
            differs = named("last", last_text(a.last), last_text(b.last)) + " (a last value may only be raised)";
        else
            notes->push_back(path + ": " + field + ": last raised from " + last_text(b.last) + " to " +
                             last_text(a.last) + "; recorded");
        *changed |= raised;
    } else if (a.kind == FIELD_LIST && !(now == was)) {
        bool grew = list_grew(job, was);
        if (!grew)
            differs = "the list " + job.def.list + " is not the one the lot was made with (SHA-256 " +
                      now.list_sha256 + ", " + std::to_string(now.list_bytes) + " bytes; the state file records " +
                      was.list_sha256 + ", " + std::to_string(was.list_bytes) +
                      " bytes); a list may only grow by lines added at its end";
        else
            notes->push_back(path + ": " + field + ": " + std::to_string(now.list_bytes - was.list_bytes) +
                             " bytes of new lines at the end of " + job.def.list + "; recorded");
        *changed |= grew;
    }
    if (!differs.empty())
        *error = path + ": " + field + ": " + differs + other_lot;
    return differs.empty();
}

std::string names_of(const std::vector<serial_lot_field>& lot)
{
    std::string all;
    for (const serial_lot_field& f : lot)
        all += (all.empty() ? "" : ", ") + f.def.name;
    return all;
}

}  // namespace

// A format 1 file binds to the job's fields at its first open.
bool serial_lot_agrees(const std::vector<value_field>& job, const std::vector<serial_lot_field>& recorded,
                       const std::string& path, bool* changed, std::vector<std::string>* notes, std::string* error)
{
    *changed = recorded.empty();
    if (recorded.empty()) {
        notes->push_back(path + ": an older state file, now bound to the job's fields (" + names_of(serial_lot_of(job)) +
                         "); an older zelflash can no longer open it");
        return true;
    }
    for (const value_field& f : job) {
        if (f.def.kind == FIELD_VALUE)
            continue;
        auto was = std::find_if(recorded.begin(), recorded.end(),
                                [&](const serial_lot_field& l) { return l.def.name == f.def.name; });
        if (was == recorded.end()) {
            *error = path + ": the job's field '" + f.def.name + "' is not one this state file hands out (it has " +
                     names_of(recorded) + ")" + other_lot;
            return false;
        }
        if (!field_agrees(f, *was, path, changed, notes, error))
            return false;
    }
    for (const serial_lot_field& l : recorded)
        if (std::none_of(job.begin(), job.end(), [&](const value_field& f) { return f.def.name == l.def.name; })) {
            *error = path + ": the state file hands out field '" + l.def.name + "', which the job does not have" +
                     other_lot;
            return false;
        }
    return true;
}

// The board log as witness: every value of the lot that it shows on a
// board must be one the file handed out. `fresh`: the file is being made,
// so it has handed out nothing.
bool serial_lot_witnessed(const std::vector<value_field>& fields, const value_pool& pool, const value_states& values,
                          const std::string& log, const std::string& path, bool fresh, std::string* error)
{
    std::map<std::string, std::set<std::string>> known;  // by field: the bytes of every value the file knows
    for (const value_field& f : fields)
        if (auto it = values.find(f.def.name); it != values.end())
            for (const auto& [text, state] : it->second)
                known[f.def.name].insert(value_key(f.def, text));
    std::string shown;
    uint64_t at = 0;
    auto check = [&](uint64_t line, const std::string& name, const std::string& text) {
        auto f = std::find_if(fields.begin(), fields.end(), [&](const value_field& g) {
            return g.def.name == name && g.def.kind != FIELD_VALUE;
        });
        if (f == fields.end() || !pool.could_hand(name, text) || known[name].count(value_key(f->def, text)))
            return true;
        shown = name + " " + text, at = line;
        return false;
    };
    if (log.empty() || !witness_read(log, check, error))
        return log.empty();
    if (at == 0)
        return true;
    std::string where = log + ":" + std::to_string(at) + " shows " + shown + " on a board";
    *error = fresh ? where + ", so this lot's values have been handed out already, by another state file: use that "
                             "one (or give this job a board log of its own if that log belongs to another lot)"
                   : where + ", but " + path + " never handed it out: it is not the lot's state file (replaced, "
                             "restored from an older copy, or made anew). Put back the state file that handed it "
                             "out; if the log belongs to another lot, give this job a log of its own";
    return false;
}
