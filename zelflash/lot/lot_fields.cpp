#include "lot/lot_fields.h"

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "platform/sha256.h"

using json = nlohmann::json;

namespace {

enum : int { RECORD_VERSION = 1 };

lot_field field_of(const value_field& f)
{
    lot_field out;
    out.name = f.def.name;
    out.kind = f.def.kind;
    out.format = field_format_name(f.def.encoding, f.def.width);
    out.address = f.def.address;
    if (f.def.kind == FIELD_COUNTER) {
        out.start = f.def.start, out.step = f.def.step, out.last = f.def.last;
        return out;
    }
    out.list_file = std::filesystem::path(f.def.list).filename().string();
    out.list_sha256 = sha256_hex(std::vector<uint8_t>(f.list_bytes.begin(), f.list_bytes.end()));
    out.line_count = f.lines.size();
    out.lines = f.lines;
    return out;
}

json record_of(const lot_field& f)
{
    json j = {{"name", f.name}, {"kind", f.kind == FIELD_LIST ? "list" : "counter"}, {"format", f.format},
              {"address", f.address}};
    if (f.kind == FIELD_LIST) {
        j["list"] = f.list_file, j["list_sha256"] = f.list_sha256, j["lines"] = f.line_count;
        return j;
    }
    j["start"] = f.start, j["step"] = f.step;
    j["last"] = f.last ? json(*f.last) : json(nullptr);
    return j;
}

void read_field(const json& j, lot_field* f)
{
    f->name = j.at("name").get<std::string>();
    f->kind = j.at("kind").get<std::string>() == "list" ? FIELD_LIST : FIELD_COUNTER;
    f->format = j.at("format").get<std::string>();
    f->address = j.at("address").get<uint32_t>();
    if (f->kind == FIELD_LIST) {
        f->list_file = j.at("list").get<std::string>();
        f->list_sha256 = j.at("list_sha256").get<std::string>();
        f->line_count = j.at("lines").get<uint64_t>();
        return;
    }
    f->start = j.at("start").get<uint64_t>();
    f->step = j.at("step").get<uint64_t>();
    if (!j.at("last").is_null())
        f->last = j.at("last").get<uint64_t>();
}

}  // namespace

std::vector<lot_field> lot_fields_of(const std::vector<value_field>& fields)
{
    std::vector<lot_field> out;
    for (const value_field& f : fields)
        if (f.def.kind != FIELD_VALUE)
            out.push_back(field_of(f));
    return out;
}

std::string lot_fields_record(const std::vector<lot_field>& fields)
{
    json list = json::array();
    for (const lot_field& f : fields)
        list.push_back(record_of(f));
    return json{{"version", RECORD_VERSION}, {"fields", list}}.dump();
}

bool lot_fields_read(const std::string& record, std::vector<lot_field>* out, std::string* error)
{
    json j = json::parse(record, nullptr, false);
    int version = j.is_object() && j.contains("version") && j["version"].is_number_integer() ? j["version"].get<int>()
                                                                                               : 0;
    if (version > RECORD_VERSION) {
        *error = "the lot's fields are recorded in version " + std::to_string(version) +
                 ", newer than this zelflash reads: use a newer zelflash";
        return false;
    }
    try {
        std::vector<lot_field> fields;
        for (const json& f : j.at("fields"))
            read_field(f, &fields.emplace_back());
        *out = std::move(fields);
        return true;
    } catch (const json::exception& e) {
        *error = std::string("the lot's fields cannot be read (") + e.what() + "); was the lot changed by hand?";
        return false;
    }
}

namespace {

std::string number(uint64_t n)
{
    return std::to_string(n);
}

std::string last_text(const std::optional<uint64_t>& last)
{
    return last ? number(*last) : "none";
}

std::string hex(uint32_t n)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", n);
    return text;
}

// "step 2 in the lot, 1 in the job"
std::string both(const char* what, const std::string& lot, const std::string& job)
{
    return std::string(what) + " " + lot + " in the lot, " + job + " in the job";
}

// The first value where the job's list leaves the lot's; empty when the
// job's list starts with all the lot's values.
std::string list_departs(const lot_field& lot, const lot_field& job)
{
    for (size_t i = 0; i < lot.lines.size(); ++i) {
        if (i >= job.lines.size())
            return "the list has " + number(job.lines.size()) + " values in the job, " + number(lot.lines.size()) +
                   " in the lot";
        if (job.lines[i] != lot.lines[i])
            return "value " + number(i + 1) + " of the list is '" + lot.lines[i] + "' in the lot, '" + job.lines[i] +
                   "' in the job";
    }
    return "";
}

// What may grow, when it may: a counter's last, a list's end.
std::string growth_of(const lot_field& lot, const lot_field& job, std::vector<lot_growth>* growth)
{
    lot_growth g;
    g.field = job.name;
    if (job.kind == FIELD_COUNTER && lot.last != job.last) {
        if (!growth || (job.last && (!lot.last || *job.last < *lot.last)))
            return both("last", last_text(lot.last), last_text(job.last)) +
                   (growth ? " (a lot's last is only ever raised)" : "");
        g.raises_last = true, g.last = job.last;
    }
    if (job.kind == FIELD_LIST && (lot.list_sha256 != job.list_sha256 || lot.line_count != job.line_count)) {
        std::string departs = growth ? list_departs(lot, job) : "";
        if (!growth || !departs.empty())
            return departs.empty() ? both("list SHA-256", lot.list_sha256, job.list_sha256)
                                   : departs + " (a lot's list only grows by values added at its end)";
        g.adds_lines = true, g.first_new = lot.lines.size();
    }
    if (growth && (g.raises_last || g.adds_lines))
        growth->push_back(g);
    return "";
}

std::string field_differs(const lot_field& lot, const lot_field& job, std::vector<lot_growth>* growth)
{
    auto kind = [](const lot_field& f) { return std::string(f.kind == FIELD_LIST ? "list" : "counter"); };
    if (lot.kind != job.kind)
        return both("kind", kind(lot), kind(job));
    if (lot.format != job.format)
        return both("format", lot.format, job.format);
    if (lot.address != job.address)
        return both("address", hex(lot.address), hex(job.address));
    if (lot.kind == FIELD_COUNTER && lot.start != job.start)
        return both("start", number(lot.start), number(job.start));
    if (lot.kind == FIELD_COUNTER && lot.step != job.step)
        return both("step", number(lot.step), number(job.step));
    return growth_of(lot, job, growth);
}

const lot_field* named(const std::vector<lot_field>& fields, const std::string& name)
{
    auto it = std::find_if(fields.begin(), fields.end(), [&](const lot_field& f) { return f.name == name; });
    return it == fields.end() ? nullptr : &*it;
}

}  // namespace

std::string lot_fields_differ(const std::vector<lot_field>& lot, const std::vector<lot_field>& job,
                              std::vector<lot_growth>* growth)
{
    for (const lot_field& l : lot) {
        const lot_field* j = named(job, l.name);
        std::string differs = j ? field_differs(l, *j, growth) : "in the lot, not in the job";
        if (!differs.empty())
            return "field " + l.name + ": " + differs;
    }
    for (const lot_field& j : job)
        if (!named(lot, j.name))
            return "field " + j.name + ": in the job, not in the lot";
    return "";
}
