#include "values/serials_journal.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <optional>

#include <nlohmann/json.hpp>

namespace {

using json = nlohmann::json;

// The first line of a state file of format 1, which recorded no fields. A
// file that holds a prefix of it and nothing more was cut short while an
// older zelflash made it: nothing was handed out from it yet, and appending
// the rest completes it. Files of format 2 are made whole or not at all.
constexpr std::string_view HEADER_1 = "{\"zelflash_serials\":1}\n";
constexpr int FORMAT = 2;      // the format of a station's own state file
constexpr int FORMAT_LOT = 3;  // a lot station's journal: format 2's records, and its hand
// Board names are cut to this, so that a record stays a short line: its
// values are at most 64 bytes each.
constexpr size_t MAX_BOARD_NAME = 1024;

const char* const damaged = "; the file has been edited or damaged, so no value is handed out from it";

}  // namespace

std::string_view serial_trim(std::string_view text)
{
    size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::string serial_line_error(const std::string& name, uint64_t line, const std::string& what)
{
    return name + ":" + std::to_string(line) + ": " + what;
}

// ---- The lot's fields as the file records them ----

namespace {

nlohmann::ordered_json lot_json(const std::vector<serial_lot_field>& lot)
{
    nlohmann::ordered_json all = nlohmann::ordered_json::array();
    for (const serial_lot_field& f : lot) {
        const field_spec& d = f.def;
        nlohmann::ordered_json one = {{"name", d.name},
                                      {"kind", d.kind == FIELD_LIST ? "list" : "counter"},
                                      {"format", field_format_name(d.encoding, d.width)},
                                      {"address", d.address}};
        if (d.kind == FIELD_COUNTER) {
            one["start"] = d.start;
            one["step"] = d.step;
            if (d.last)
                one["last"] = *d.last;
        } else {
            one["sha256"] = f.list_sha256;
            one["bytes"] = f.list_bytes;
        }
        all.push_back(one);
    }
    return all;
}

bool number_of(const json& j, const char* key, uint64_t* out)
{
    auto it = j.find(key);
    if (it == j.end() || !it->is_number_unsigned())
        return false;
    *out = it->get<uint64_t>();
    return true;
}

bool lot_field_read(const json& j, serial_lot_field* out)
{
    serial_lot_field f;
    field_spec& d = f.def;
    std::string ignored;
    uint64_t address = 0, last = 0;
    if (!j.is_object() || !j.value("name", json()).is_string() || !j.value("format", json()).is_string() ||
        !field_format_parse(j["format"].get<std::string>(), &d.encoding, &d.width, &ignored) ||
        !number_of(j, "address", &address) || address > UINT32_MAX)
        return false;
    d.name = j["name"].get<std::string>();
    d.address = static_cast<uint32_t>(address);
    json kind = j.value("kind", json());
    if (kind == "counter") {
        d.kind = FIELD_COUNTER;
        if (!number_of(j, "start", &d.start) || !number_of(j, "step", &d.step))
            return false;
        if (j.contains("last") && !number_of(j, "last", &last))
            return false;
        if (j.contains("last"))
            d.last = last;
    } else if (kind == "list") {
        d.kind = FIELD_LIST;
        if (!j.value("sha256", json()).is_string() || !number_of(j, "bytes", &f.list_bytes))
            return false;
        f.list_sha256 = j["sha256"].get<std::string>();
    } else {
        return false;
    }
    *out = std::move(f);
    return true;
}

// The "fields" of a header or record; false when they cannot be read.
bool lot_read(const json& holder, std::vector<serial_lot_field>* out)
{
    if (!holder.is_object() || !holder.value("fields", json()).is_array())
        return false;
    std::vector<serial_lot_field> lot;
    for (const json& j : holder["fields"]) {
        serial_lot_field f;
        if (!lot_field_read(j, &f))
            return false;
        lot.push_back(std::move(f));
    }
    *out = std::move(lot);
    return true;
}

}  // namespace

bool serial_lot_field::operator==(const serial_lot_field& o) const
{
    const field_spec& a = def;
    const field_spec& b = o.def;
    return a.name == b.name && a.kind == b.kind && a.encoding == b.encoding && a.width == b.width &&
           a.address == b.address && a.start == b.start && a.step == b.step && a.last == b.last &&
           list_sha256 == o.list_sha256 && list_bytes == o.list_bytes;
}

// ---- Reading a state file ----

namespace {

// One line of the file, read as far as it goes. A line cut short keeps
// every complete string of its top-level "values" object: what the tear cut
// off is lost, and that is all, for a value that cannot be read was never
// whole on the disk.
struct line_record {
    bool whole = false;  // one complete JSON object, its members of the types below
    std::string rec, then, board;
    std::optional<uint64_t> ticket, pid;
    bool has_values = false;
    std::vector<field_value> values;
};

// Reads a line into a line_record as the parser goes, without building
// the whole document.
class line_reader : public nlohmann::json_sax<json> {
public:
    explicit line_reader(line_record* out) : out_(out) {}

    bool null() override { return scalar(nullptr, nullptr); }
    bool boolean(bool) override { return scalar(nullptr, nullptr); }
    bool number_integer(number_integer_t) override { return scalar(nullptr, nullptr); }
    bool number_unsigned(number_unsigned_t n) override
    {
        uint64_t number = n;
        return scalar(nullptr, &number);
    }
    bool number_float(number_float_t, const string_t&) override { return scalar(nullptr, nullptr); }
    bool binary(binary_t&) override { return scalar(nullptr, nullptr); }
    bool string(string_t& text) override { return scalar(&text, nullptr); }
    bool start_object(std::size_t) override { return enter(false); }
    bool start_array(std::size_t) override { return enter(true); }
    bool key(string_t& name) override
    {
        path_.back().key = name;
        return true;
    }
    bool end_object() override { return leave(); }
    bool end_array() override { return leave(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

    bool wrong = false;  // not a record's shape, whether or not the line is whole

private:
    struct level {
        bool array;
        std::string key;  // of the member being read, in an object
    };
    std::vector<level> path_;  // the objects and arrays open, outermost first
    line_record* out_;

    bool in_values() const { return path_.size() == 2 && path_[0].key == "values" && !path_[1].array; }
    bool enter(bool array)
    {
        bool values = path_.size() == 1 && path_[0].key == "values";
        if ((path_.empty() || values) && array)
            wrong = true;
        if (values)
            out_->has_values = true;
        if (path_.size() == 2 && path_[0].key == "values")
            wrong = true;
        path_.push_back({array, ""});
        return true;
    }
    bool leave()
    {
        path_.pop_back();
        return true;
    }
    bool scalar(const std::string* text, const uint64_t* number)
    {
        if (in_values() && text)
            out_->values.push_back({path_[1].key, *text});
        else if (path_.empty() || in_values())
            wrong = true;
        else if (path_.size() == 1)
            member(path_[0].key, text, number);
        return true;
    }
    void member(const std::string& key, const std::string* text, const uint64_t* number)
    {
        std::string* texts[] = {&out_->rec, &out_->then, &out_->board};
        const char* text_keys[] = {"rec", "then", "board"};
        for (int i = 0; i < 3; i++)
            if (key == text_keys[i])
                text ? void(*texts[i] = *text) : void(wrong = true);
        if (key == "ticket" || key == "pid")
            number ? void((key == "ticket" ? out_->ticket : out_->pid) = *number) : void(wrong = true);
        if (key == "values")
            wrong = true;
    }
};

line_record read_line(std::string_view text)
{
    line_record r;
    line_reader reader(&r);
    bool parsed = json::sax_parse(text, &reader, nlohmann::detail::input_format_t::json, true);
    r.whole = parsed && !reader.wrong;
    return r;
}

enum record_verdict { RECORD_READ, RECORD_UNREADABLE, RECORD_WRONG };

class journal_reader {
public:
    journal_reader(const std::string& name, serial_journal* out, uint64_t top_ticket)
        : name_(name), out_(out), top_ticket_(top_ticket)
    {
    }
    bool line(std::string_view text, uint64_t number, std::string* error);
    bool finish(std::string* error);

private:
    record_verdict record(const line_record& r, std::string_view text, uint64_t number, std::string* error);
    record_verdict reserved(const line_record& r, uint64_t number, std::string* error);
    record_verdict ended(const line_record& r, uint64_t number, std::string* error);
    bool hand(bool lease, const json& j);
    void board_record(uint64_t ticket, const json& j);
    void mark(const std::vector<field_value>& values, serial_value_state state);

    const std::string& name_;
    serial_journal* out_;
    std::map<uint64_t, serial_reservation> live_;  // reserved and not ended, by ticket
    // Lines since the last record that could not be read: where they start,
    // and the values still readable in them.
    uint64_t unreadable_first_ = 0;
    std::vector<field_value> unreadable_values_;
    uint64_t top_ticket_ = 0;
};

void journal_reader::mark(const std::vector<field_value>& values, serial_value_state state)
{
    for (const field_value& v : values) {
        out_->values[v.name][v.text] = state;
        auto in_hand = out_->hand.find(v.name);  // a lot station's hand holds values not yet on a board
        if (in_hand != out_->hand.end())
            std::erase(in_hand->second, v.text);
    }
}

bool journal_reader::line(std::string_view text, uint64_t number, std::string* error)
{
    if (serial_trim(text).empty())
        return true;
    line_record r = read_line(text);
    record_verdict verdict = r.whole ? record(r, text, number, error) : RECORD_UNREADABLE;
    if (verdict == RECORD_WRONG)
        return false;
    if (verdict == RECORD_UNREADABLE) {
        if (!unreadable_first_)
            unreadable_first_ = number;
        unreadable_values_.insert(unreadable_values_.end(), r.values.begin(), r.values.end());
        return true;
    }
    if (unreadable_first_) {
        if (r.rec != "torn") {
            *error = serial_line_error(name_, unreadable_first_, "this line cannot be read as a record") + damaged;
            return false;
        }
        // Set aside: what can be read there counts as burned, whatever else it was.
        mark(unreadable_values_, VALUE_BURNED);
        unreadable_values_.clear();
        unreadable_first_ = 0;
    }
    return true;
}

record_verdict journal_reader::record(const line_record& r, std::string_view text, uint64_t number,
                                      std::string* error)
{
    if (r.rec == "fields")
        return lot_read(json::parse(text, nullptr, false), &out_->lot) ? RECORD_READ : RECORD_UNREADABLE;
    if (r.rec == "open" || r.rec == "torn") {
        if (r.rec == "open" && !r.pid)
            return RECORD_UNREADABLE;
        if (r.rec == "open")
            out_->pid = *r.pid;
        mark(r.values, VALUE_BURNED);  // none are written there; any found count as burned
        return RECORD_READ;
    }
    if (r.rec == "lease" || r.rec == "returned")
        return out_->binding && hand(r.rec == "lease", json::parse(text, nullptr, false)) ? RECORD_READ
                                                                                         : RECORD_UNREADABLE;
    if ((r.rec != "reserved" && r.rec != "used" && r.rec != "failed" && r.rec != "burned") || !r.ticket)
        return RECORD_UNREADABLE;
    top_ticket_ = std::max(top_ticket_, *r.ticket);
    if (r.rec == "reserved")
        return reserved(r, number, error);
    record_verdict verdict = ended(r, number, error);
    if (verdict == RECORD_READ && out_->binding && text.find("\"record\"") != std::string_view::npos)
        board_record(*r.ticket, json::parse(text, nullptr, false));
    return verdict;
}

// A lease adds its values to the hand; values given back leave it.
bool journal_reader::hand(bool lease, const json& j)
{
    json held = j.is_object() ? j.value("held", json()) : json();
    auto texts = [](const json& values) {
        return values.is_array() &&
               std::all_of(values.begin(), values.end(), [](const json& v) { return v.is_string(); });
    };
    if (!held.is_object() || !std::all_of(held.begin(), held.end(), texts))
        return false;  // read whole before any of it counts
    for (const auto& [field, values] : held.items()) {
        std::vector<std::string>& in_hand = out_->hand[field];
        for (const json& v : values) {
            const std::string& text = v.get_ref<const std::string&>();
            auto it = std::find(in_hand.begin(), in_hand.end(), text);
            if (lease) {
                if (it == in_hand.end())
                    in_hand.push_back(text);
                continue;
            }
            if (it != in_hand.end())
                in_hand.erase(it);
            auto seen = out_->values.find(field);
            if (seen != out_->values.end() && seen->second.count(text) &&
                seen->second[text] == VALUE_FAILED_REUSE)
                seen->second.erase(text);  // a failed board's value, back in the lot
        }
    }
    return true;
}

void journal_reader::board_record(uint64_t ticket, const json& j)
{
    json record = j.is_object() ? j.value("record", json()) : json();
    if (record.is_object())
        out_->boards.push_back({ticket, record.dump(-1, ' ', false, json::error_handler_t::replace)});
}

record_verdict journal_reader::reserved(const line_record& r, uint64_t number, std::string* error)
{
    if (!r.has_values)
        return RECORD_UNREADABLE;
    uint64_t ticket = *r.ticket;
    auto held = live_.find(ticket);
    if (held != live_.end()) {
        *error = serial_line_error(name_, number,
                            "ticket " + std::to_string(ticket) + " is reserved again while line " +
                                std::to_string(held->second.line) + " still holds it") +
                 damaged;
        return RECORD_WRONG;
    }
    mark(r.values, VALUE_RESERVED);
    live_[ticket] = {ticket, number, r.board, r.values};
    return RECORD_READ;
}

record_verdict journal_reader::ended(const line_record& r, uint64_t number, std::string* error)
{
    auto it = live_.find(*r.ticket);
    if (it == live_.end()) {
        *error = serial_line_error(name_, number, "the board of ticket " + std::to_string(*r.ticket) + " is recorded " +
                                               r.rec + ", but no reservation before it holds that ticket") +
                 damaged;
        return RECORD_WRONG;
    }
    serial_value_state state = VALUE_BURNED;
    if (r.rec == "used")
        state = VALUE_USED;
    else if (r.rec == "failed")
        state = r.then == "reuse" ? VALUE_FAILED_REUSE : VALUE_FAILED;
    mark(it->second.values, state);
    mark(r.values, state);
    live_.erase(it);
    return RECORD_READ;
}

bool journal_reader::finish(std::string* error)
{
    if (unreadable_first_) {
        out_->torn_first = unreadable_first_;
        out_->torn_last = out_->lines;
        out_->torn_values = std::move(unreadable_values_);
        mark(out_->torn_values, VALUE_BURNED);
    }
    for (auto& [ticket, reservation] : live_)
        out_->unfinished.push_back(std::move(reservation));
    std::sort(out_->unfinished.begin(), out_->unfinished.end(),
              [](const serial_reservation& a, const serial_reservation& b) { return a.line < b.line; });
    if (top_ticket_ == UINT64_MAX) {
        *error = name_ + ": its tickets have reached the highest number" + damaged;
        return false;
    }
    out_->next_ticket = top_ticket_ + 1;
    return true;
}

bool binding_read(const json& j, std::optional<serial_journal_binding>* out)
{
    const char* keys[] = {"name", "created", "station", "key"};
    if (!j.is_object() || std::any_of(std::begin(keys), std::end(keys),
                                      [&](const char* k) { return !j.value(k, json()).is_string(); }))
        return false;
    json first = j.value("first_ticket", json(1));
    if (!first.is_number_unsigned() || first.get<uint64_t>() == 0)
        return false;
    *out = serial_journal_binding{j["name"], j["created"], j["station"], j["key"], first.get<uint64_t>()};
    return true;
}

// The first line: the header, whole or cut short (format 1 only); false
// with *error when the file is something else.
bool read_header(std::string_view text, const std::string& name, serial_journal* out, std::string* error)
{
    if (!text.empty() && text.size() < HEADER_1.size() && HEADER_1.substr(0, text.size()) == text) {
        out->format = 1;
        out->header_rest = std::string(HEADER_1.substr(text.size()));
        return true;
    }
    std::string_view first = text.substr(0, text.find('\n'));
    json header = json::parse(first, nullptr, false);
    json format = header.is_object() ? header.value("zelflash_serials", json()) : json();
    if (format == 1 && header.size() == 1) {
        out->format = 1;
        return true;
    }
    if (format == FORMAT && lot_read(header, &out->lot) && !out->lot.empty())
        return true;
    if (format == FORMAT_LOT && lot_read(header, &out->lot) && !out->lot.empty() &&
        binding_read(header.value("lot", json()), &out->binding)) {
        out->format = FORMAT_LOT;
        return true;
    }
    if (format.is_number_unsigned() && format.get<uint64_t>() > FORMAT_LOT)
        *error = name + " is in format " + format.dump() +
                 ", which this zelflash does not know; use the zelflash that wrote it or a newer one";
    else if (format == FORMAT || format == FORMAT_LOT)
        *error = name + ":1: the header's fields cannot be read" + damaged;
    else if (text.empty())
        *error = name + " is empty, so it is no state file; a lot's state file is made by zelflash job init "
                        "(or --new-state), never by hand";
    else
        *error = name + " is not a zelflash state file (its first line is not a zelflash_serials header); "
                        "check the path";
    return false;
}

}  // namespace

bool serial_journal_read(std::string_view text, const std::string& name, serial_journal* out, std::string* error)
{
    serial_journal journal;
    if (!read_header(text, name, &journal, error))
        return false;
    journal.ends_mid_line = !text.empty() && text.back() != '\n';
    journal_reader reader(name, &journal, journal.binding ? journal.binding->first_ticket - 1 : 0);
    if (journal.header_rest.empty()) {
        size_t from = text.find('\n') + 1;
        journal.lines = 1;
        while (from < text.size()) {
            size_t end = std::min(text.find('\n', from), text.size());
            if (!reader.line(text.substr(from, end - from), ++journal.lines, error))
                return false;
            from = end + 1;
        }
    }
    if (!reader.finish(error))
        return false;
    *out = std::move(journal);
    return true;
}


// ---- Records a run appends ----

namespace {

std::string utc_now()
{
    using namespace std::chrono;
    auto now = floor<seconds>(system_clock::now());
    auto day = floor<days>(now);
    year_month_day date{day};
    hh_mm_ss<seconds> time{now - day};
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
    return text;
}

std::string line_of(const nlohmann::ordered_json& record)
{
    // Board names come from the system and may be any bytes; values are
    // ASCII, checked against their encoding before they get here.
    return record.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

nlohmann::ordered_json values_json(const std::vector<field_value>& values)
{
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    for (const field_value& v : values)
        object[v.name] = v.text;
    return object;
}

// "serial 1017, 1018; mac 02:00:00:00:00:11", fields in the order first met.
std::string values_text(const std::vector<field_value>& values)
{
    std::vector<std::pair<std::string, std::string>> by_field;
    for (const field_value& v : values) {
        auto it = std::find_if(by_field.begin(), by_field.end(), [&](const auto& f) { return f.first == v.name; });
        if (it == by_field.end())
            by_field.push_back({v.name, v.name + " " + v.text});
        else
            it->second += ", " + v.text;
    }
    std::string text;
    for (const auto& f : by_field)
        text += (text.empty() ? "" : "; ") + f.second;
    return text;
}

std::string torn_notice(const serial_journal& journal, const std::string& path)
{
    bool one = journal.torn_first == journal.torn_last;
    std::string lines = one ? "line " + std::to_string(journal.torn_first)
                            : "lines " + std::to_string(journal.torn_first) + " to " +
                                  std::to_string(journal.torn_last);
    std::string notice = path + ": " + lines + (one ? " was" : " were") +
                         " cut short when zelflash last stopped (a crash or a power loss); set aside";
    if (!journal.torn_values.empty())
        notice += ", and the values still readable there are burned: " + values_text(journal.torn_values);
    return notice;
}

std::string burned_notice(const std::vector<field_value>& burned, const std::string& path)
{
    return path + ": " + std::to_string(burned.size()) + (burned.size() == 1 ? " value was" : " values were") +
           " reserved when zelflash last stopped without finishing: " + values_text(burned) +
           (burned.size() == 1 ? "; it is" : "; they are") + " burned, not handed out again";
}

// The reservations left unfinished, each burned by a record.
std::vector<nlohmann::ordered_json> burn_unfinished(const serial_journal& journal,
                                                    const std::vector<std::string>& given, const std::string& path,
                                                    std::vector<std::string>* notices)
{
    std::vector<nlohmann::ordered_json> records;
    std::vector<field_value> burned;
    for (const serial_reservation& r : journal.unfinished) {
        records.push_back({{"rec", "burned"}, {"ticket", r.ticket}, {"values", values_json(r.values)}});
        for (const field_value& v : r.values)
            if (std::find(given.begin(), given.end(), v.name) == given.end())
                burned.push_back(v);
    }
    if (!burned.empty())
        notices->push_back(burned_notice(burned, path));
    return records;
}

}  // namespace

std::string serial_journal_header(const std::vector<serial_lot_field>& lot, const serial_journal_binding* binding)
{
    if (binding == nullptr)
        return line_of({{"zelflash_serials", FORMAT}, {"fields", lot_json(lot)}});
    nlohmann::ordered_json bound = {
        {"name", binding->lot},  {"created", binding->created},
        {"station", binding->station}, {"key", binding->key}, {"first_ticket", binding->first_ticket}};
    return line_of({{"zelflash_serials", FORMAT_LOT}, {"fields", lot_json(lot)}, {"lot", bound}});
}

std::string serial_journal_hand(const char* rec, const std::map<std::string, std::vector<std::string>>& values)
{
    nlohmann::ordered_json held = nlohmann::ordered_json::object();
    for (const auto& [field, texts] : values)
        held[field] = texts;
    return line_of({{"rec", rec}, {"held", held}, {"time", utc_now()}});
}

std::vector<std::string> serial_journal_recovery(const serial_journal& journal,
                                                 const std::vector<serial_lot_field>* lot,
                                                 const std::vector<std::string>& given, failed_policy policy,
                                                 uint64_t pid, const std::string& path,
                                                 std::vector<std::string>* notices)
{
    std::vector<nlohmann::ordered_json> records;
    if (journal.torn_first) {
        records.push_back({{"rec", "torn"}, {"lines", {journal.torn_first, journal.torn_last}}});
        notices->push_back(torn_notice(journal, path));
    }
    for (nlohmann::ordered_json& r : burn_unfinished(journal, given, path, notices))
        records.push_back(std::move(r));
    if (lot != nullptr)
        records.push_back({{"rec", "fields"}, {"fields", lot_json(*lot)}, {"time", utc_now()}});
    records.push_back(
        {{"rec", "open"}, {"pid", pid}, {"policy", policy == FAILED_REUSE ? "reuse" : "burn"}, {"time", utc_now()}});
    std::vector<std::string> lines;
    if (!journal.header_rest.empty())
        lines.push_back(journal.header_rest);
    bool start_line = journal.ends_mid_line && journal.header_rest.empty();
    for (const nlohmann::ordered_json& r : records) {
        lines.push_back((start_line ? "\n" : "") + line_of(r));
        start_line = false;
    }
    return lines;
}

std::string serial_journal_reserved(uint64_t ticket, const std::vector<field_value>& values,
                                    const std::string& board)
{
    return line_of({{"rec", "reserved"},
                    {"ticket", ticket},
                    {"values", values_json(values)},
                    {"board", board.substr(0, MAX_BOARD_NAME)},
                    {"time", utc_now()}});
}

std::string serial_journal_ended(uint64_t ticket, value_end end, const std::string& record)
{
    nlohmann::ordered_json r = {{"rec", end == END_USED ? "used" : "failed"}, {"ticket", ticket}};
    if (end != END_USED)
        r["then"] = end == END_REUSE ? "reuse" : "burn";
    if (end == END_BURN_HELD)
        r["why"] = "sent";  // a chunk holding the values may be in the board's flash
    if (!record.empty())
        r["record"] = nlohmann::ordered_json::parse(record, nullptr, false);
    return line_of(r);
}
