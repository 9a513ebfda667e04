#include "serials.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <set>

#include <nlohmann/json.hpp>

#include "file_lock.h"
#include "sha256.h"
#include "witness.h"

namespace {

using json = nlohmann::json;

// The first line of a state file of format 1, which recorded no fields. A
// file that holds a prefix of it and nothing more was cut short while an
// older zelflash made it: nothing was handed out from it yet, and appending
// the rest completes it. Files of format 2 are made whole or not at all.
constexpr std::string_view HEADER_1 = "{\"zelflash_serials\":1}\n";
constexpr int FORMAT = 2;  // the format this zelflash writes and reads
constexpr uint64_t MAX_FILE_SIZE = uint64_t{1} << 30;  // some million boards' records
// Board names are cut to this, so that a record stays a short line: its
// values are at most 64 bytes each.
constexpr size_t MAX_BOARD_NAME = 1024;

std::string_view trim(std::string_view text)
{
    size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::string line_error(const std::string& name, uint64_t line, const std::string& what)
{
    return name + ":" + std::to_string(line) + ": " + what;
}

// What a state file that failed a write means for the run, and what to do.
const std::string stopped_for_good = "no value is handed out from this run on: free space on its disk (or make "
                                     "the file writable again), then start zelflash again";

const char* const damaged = "; the file has been edited or damaged, so no value is handed out from it";

}  // namespace

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
    journal_reader(const std::string& name, serial_journal* out) : name_(name), out_(out) {}
    bool line(std::string_view text, uint64_t number, std::string* error);
    bool finish(std::string* error);

private:
    record_verdict record(const line_record& r, std::string_view text, uint64_t number, std::string* error);
    record_verdict reserved(const line_record& r, uint64_t number, std::string* error);
    record_verdict ended(const line_record& r, uint64_t number, std::string* error);
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
    for (const field_value& v : values)
        out_->values[v.name][v.text] = state;
}

bool journal_reader::line(std::string_view text, uint64_t number, std::string* error)
{
    if (trim(text).empty())
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
            *error = line_error(name_, unreadable_first_, "this line cannot be read as a record") + damaged;
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
    if ((r.rec != "reserved" && r.rec != "used" && r.rec != "failed" && r.rec != "burned") || !r.ticket)
        return RECORD_UNREADABLE;
    top_ticket_ = std::max(top_ticket_, *r.ticket);
    return r.rec == "reserved" ? reserved(r, number, error) : ended(r, number, error);
}

record_verdict journal_reader::reserved(const line_record& r, uint64_t number, std::string* error)
{
    if (!r.has_values)
        return RECORD_UNREADABLE;
    uint64_t ticket = *r.ticket;
    auto held = live_.find(ticket);
    if (held != live_.end()) {
        *error = line_error(name_, number,
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
        *error = line_error(name_, number, "the board of ticket " + std::to_string(*r.ticket) + " is recorded " +
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
    if (format.is_number_unsigned() && format.get<uint64_t>() > FORMAT)
        *error = name + " is in format " + format.dump() +
                 ", which this zelflash does not know; use the zelflash that wrote it or a newer one";
    else if (format == FORMAT)
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
    journal_reader reader(name, &journal);
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

// ---- Handing out values ----

// How one field's values are counted. A counter hands out next_number;
// a list the first of its lines not handed out; either takes from the
// pool first (failed values under FAILED_REUSE).
struct serial_field {
    field_spec def;
    std::optional<uint64_t> next_number;  // FIELD_COUNTER; nullopt past 64 bits
    std::vector<std::string> list;        // FIELD_LIST: its lines in order,
    std::vector<std::string> list_keys;   // their bytes as the field encodes them,
    std::set<std::string> handed_keys;    // the bytes of every value handed out,
    size_t list_next = 0;                 // and no line before this one is free
    std::vector<std::string> pool;        // failed values to hand out again, first first
    std::string list_bytes;               // FIELD_LIST: the list file as read
};

namespace {

std::string encoded_key(const field_spec& def, const std::string& text)
{
    std::vector<uint8_t> bytes;
    std::string ignored;
    if (!field_encode(def, text, &bytes, &ignored))
        return "";
    return std::string(bytes.begin(), bytes.end());
}

bool read_file(const std::string& path, std::string* bytes)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    *bytes = all.str();
    return static_cast<bool>(in);
}

// A list file's lines, a UTF-8 byte-order mark before the first (as
// Notepad writes one) left out.
bool read_list(serial_field* f, std::string* error)
{
    std::string bytes;
    if (!read_file(f->def.list, &bytes)) {
        *error = f->def.list + ": cannot read the list of field '" + f->def.name + "' (does it exist?)";
        return false;
    }
    f->list_bytes = bytes;
    std::istringstream in(bytes.starts_with("\xEF\xBB\xBF") ? bytes.substr(3) : bytes);
    std::map<std::string, uint64_t> seen;  // bytes -> line
    std::string raw;
    for (uint64_t number = 1; std::getline(in, raw); number++) {
        std::string text(trim(raw));
        if (text.empty() || text[0] == '#')
            continue;
        std::vector<uint8_t> bytes;
        std::string why;
        if (!field_encode(f->def, text, &bytes, &why)) {
            *error = line_error(f->def.list, number, why);
            return false;
        }
        std::string key(bytes.begin(), bytes.end());
        if (!seen.emplace(key, number).second) {
            *error = line_error(f->def.list, number,
                                "'" + text + "' is the value of line " + std::to_string(seen[key]) +
                                    " again; each value may appear once");
            return false;
        }
        f->list.push_back(std::move(text));
        f->list_keys.push_back(std::move(key));
    }
    return true;
}

std::optional<uint64_t> checked_add(uint64_t a, uint64_t b)
{
    return a > UINT64_MAX - b ? std::nullopt : std::optional<uint64_t>(a + b);
}

// The lowest start + k * step above `highest`.
std::optional<uint64_t> number_above(const field_spec& def, std::optional<uint64_t> highest)
{
    if (!highest || *highest < def.start)
        return def.start;
    uint64_t k = (*highest - def.start) / def.step + 1;
    if (k > UINT64_MAX / def.step)
        return std::nullopt;
    return checked_add(def.start, k * def.step);
}

// A failed value goes to another board only while the field still takes it.
bool reusable(const serial_field& f, const std::string& text)
{
    if (f.def.kind == FIELD_LIST)
        return !encoded_key(f.def, text).empty();
    std::optional<uint64_t> n = field_parse_number(text);
    return n && *n <= field_counter_limit(f.def);
}

void count_handed(serial_field* f, const serial_journal& journal, failed_policy policy)
{
    if (f->def.kind == FIELD_VALUE)
        return;  // given anew each run, not counted
    std::optional<uint64_t> highest;
    auto it = journal.values.find(f->def.name);
    if (it != journal.values.end()) {
        for (const auto& [text, state] : it->second) {
            std::optional<uint64_t> n = field_parse_number(text);
            if (n && (!highest || *n > *highest))
                highest = n;
            std::string key = f->def.kind == FIELD_LIST ? encoded_key(f->def, text) : "";
            if (!key.empty())
                f->handed_keys.insert(key);
            if (state == VALUE_FAILED_REUSE && policy == FAILED_REUSE && reusable(*f, text))
                f->pool.push_back(text);
        }
    }
    if (f->def.kind == FIELD_COUNTER) {
        f->next_number = number_above(f->def, highest);
        std::sort(f->pool.begin(), f->pool.end(), [](const std::string& a, const std::string& b) {
            return field_parse_number(a) < field_parse_number(b);
        });
    }
}

void advance_list(serial_field* f)
{
    while (f->list_next < f->list.size() && f->handed_keys.count(f->list_keys[f->list_next]))
        f->list_next++;
}

std::string run_out(const serial_field& f)
{
    const field_spec& def = f.def;
    if (def.kind == FIELD_LIST)
        return "field '" + def.name + "' has run out: all " + std::to_string(f.list.size()) + " values of " +
               def.list + " are handed out; add new ones to the list";
    uint64_t limit = field_counter_limit(def);
    uint64_t last = def.start + (limit - def.start) / def.step * def.step;
    std::string held = def.last && *def.last <= limit
                           ? ""
                           : " (the most " + field_format_name(def.encoding, def.width) + " holds)";
    return "field '" + def.name + "' has run out: its last value " + std::to_string(last) + held +
           " is handed out; give it a new range";
}

// The value `f` hands out next; false when it has none left.
bool next_of(const serial_field& f, std::string* text, bool* from_pool)
{
    *from_pool = false;
    if (f.def.kind == FIELD_VALUE) {
        *text = f.def.value;
        return true;
    }
    if (!f.pool.empty()) {
        *text = f.pool.front();
        *from_pool = true;
        return true;
    }
    if (f.def.kind == FIELD_COUNTER) {
        if (!f.next_number || *f.next_number > field_counter_limit(f.def))
            return false;
        *text = std::to_string(*f.next_number);
        return true;
    }
    if (f.list_next >= f.list.size())
        return false;
    *text = f.list[f.list_next];
    return true;
}

void hand_out(serial_field* f, const std::string& text, bool from_pool)
{
    if (from_pool)
        f->pool.erase(f->pool.begin());
    else if (f->def.kind == FIELD_COUNTER)
        f->next_number = checked_add(*f->next_number, f->def.step);
    if (f->def.kind == FIELD_LIST) {
        f->handed_keys.insert(encoded_key(f->def, text));
        advance_list(f);
    }
}

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

// The pid of the last run that opened the file, for the message that it is
// in use; 0 when it cannot be told.
uint64_t holder_pid(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::string line;
    uint64_t pid = 0;
    while (std::getline(in, line)) {
        if (line.find("\"open\"") == std::string::npos)
            continue;
        json r = json::parse(line, nullptr, false);
        if (r.is_object() && r.value("rec", json()) == "open" && r.value("pid", json()).is_number_unsigned())
            pid = r["pid"].get<uint64_t>();
    }
    return pid;
}

}  // namespace

serial_state::serial_state() = default;
serial_state::~serial_state() = default;

namespace {

std::string missing(const std::string& path)
{
    return path + ": there is no state file here. A lot's state file is made once, on purpose: with zelflash "
                  "job init JOB for a job (--state FILE --new-state without one). If the lot has one elsewhere, "
                  "give its path; never start a lot's values anew";
}

bool open_locked(file_lock* file, const std::string& path, std::string* error)
{
    std::string why;
    switch (file->open(path, &why)) {
    case FILE_LOCK_TAKEN: return true;
    case FILE_LOCK_BUSY: {
        uint64_t pid = holder_pid(path);
        *error = path + " is in use by another zelflash" + (pid ? " (pid " + std::to_string(pid) + ")" : "") +
                 "; one station, one state file";
        return false;
    }
    case FILE_LOCK_MISSING: *error = missing(path); return false;
    default: *error = path + ": cannot open the state file: " + why; return false;
    }
}

bool build_fields(const std::vector<field_spec>& specs, std::vector<serial_field>* out, std::string* error)
{
    std::vector<serial_field> fields;
    for (const field_spec& def : specs) {
        std::string fault = field_check(def);
        if (!fault.empty()) {
            *error = fault;
            return false;
        }
        serial_field f;
        f.def = def;
        if (def.kind == FIELD_LIST && !read_list(&f, error))
            return false;
        fields.push_back(std::move(f));
    }
    *out = std::move(fields);
    return true;
}

serial_lot_field lot_field_of(const serial_field& f)
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

std::vector<serial_lot_field> lot_of(const std::vector<serial_field>& fields)
{
    std::vector<serial_lot_field> lot;
    for (const serial_field& f : fields)
        if (f.def.kind != FIELD_VALUE)
            lot.push_back(lot_field_of(f));
    return lot;
}

const char* const other_lot = "; a lot's fields stay as the lot was made: run this job with its own lot's state "
                              "file, or start a new lot with zelflash job init";

std::string last_text(const std::optional<uint64_t>& last)
{
    return last ? std::to_string(*last) : "none";
}

// A list that only grew: the lines the lot was made with, unchanged, then new ones.
bool list_grew(const serial_field& f, const serial_lot_field& was)
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
bool field_agrees(const serial_field& job, const serial_lot_field& was, const std::string& path, bool* changed,
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

// The job's counted fields against the lot the file records. *changed
// when the file must record them anew before it hands anything out: a
// format 1 file binds to them at its first open.
bool lot_agrees(const std::vector<serial_field>& job, const serial_journal& journal, const std::string& path,
                bool* changed, std::vector<std::string>* notes, std::string* error)
{
    *changed = journal.lot.empty();
    if (journal.lot.empty()) {
        notes->push_back(path + ": an older state file, now bound to the job's fields (" + names_of(lot_of(job)) +
                         "); an older zelflash can no longer open it");
        return true;
    }
    for (const serial_field& f : job) {
        if (f.def.kind == FIELD_VALUE)
            continue;
        auto was = std::find_if(journal.lot.begin(), journal.lot.end(),
                                [&](const serial_lot_field& l) { return l.def.name == f.def.name; });
        if (was == journal.lot.end()) {
            *error = path + ": the job's field '" + f.def.name + "' is not one this state file hands out (it has " +
                     names_of(journal.lot) + ")" + other_lot;
            return false;
        }
        if (!field_agrees(f, *was, path, changed, notes, error))
            return false;
    }
    for (const serial_lot_field& l : journal.lot)
        if (std::none_of(job.begin(), job.end(), [&](const serial_field& f) { return f.def.name == l.def.name; })) {
            *error = path + ": the state file hands out field '" + l.def.name + "', which the job does not have" +
                     other_lot;
            return false;
        }
    return true;
}

// Whether `f` could ever hand out the value whose bytes are `key`.
bool could_hand(const serial_field& f, const std::string& text)
{
    if (f.def.kind == FIELD_LIST)
        return std::find(f.list_keys.begin(), f.list_keys.end(), encoded_key(f.def, text)) != f.list_keys.end();
    std::optional<uint64_t> n = field_parse_number(text);
    return n && !encoded_key(f.def, text).empty() && *n >= f.def.start && (*n - f.def.start) % f.def.step == 0 &&
           *n <= field_counter_limit(f.def);
}

// The board log as witness: every value of the lot that it shows on a
// board must be one the file handed out. `fresh`: the file is being made,
// so it has handed out nothing.
bool witnessed(const std::vector<serial_field>& fields, const serial_journal& journal, const std::string& log,
               const std::string& path, bool fresh, std::string* error)
{
    std::map<std::string, std::set<std::string>> known;  // by field: the bytes of every value the file knows
    for (const serial_field& f : fields)
        if (auto it = journal.values.find(f.def.name); it != journal.values.end())
            for (const auto& [text, state] : it->second)
                known[f.def.name].insert(encoded_key(f.def, text));
    std::string shown;
    uint64_t at = 0;
    auto check = [&](uint64_t line, const std::string& name, const std::string& text) {
        auto f = std::find_if(fields.begin(), fields.end(), [&](const serial_field& g) {
            return g.def.name == name && g.def.kind != FIELD_VALUE;
        });
        if (f == fields.end() || !could_hand(*f, text) || known[name].count(encoded_key(f->def, text)))
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

// What a file's text says of the job's fields, all checks made: the
// journal, the fields counted from it, and whether they must be recorded anew.
struct opened_file {
    serial_journal journal;
    std::vector<serial_field> fields;
    bool changed = false;
    std::vector<std::string> notes;
};

bool settle(std::string_view text, failed_policy policy, const std::string& path, const std::string& log,
            opened_file* out, std::string* error)
{
    if (!serial_journal_read(text, path, &out->journal, error) ||
        !lot_agrees(out->fields, out->journal, path, &out->changed, &out->notes, error) ||
        !witnessed(out->fields, out->journal, log, path, false, error))
        return false;
    for (serial_field& f : out->fields) {
        count_handed(&f, out->journal, policy);
        advance_list(&f);
    }
    return true;
}

bool next_values_of(const std::vector<serial_field>& fields, std::vector<field_value>* values,
                    std::vector<bool>* from_pool, std::string* error)
{
    values->clear();
    from_pool->clear();
    for (const serial_field& f : fields) {
        std::string text;
        bool pooled = false;
        if (!next_of(f, &text, &pooled)) {
            *error = run_out(f);
            return false;
        }
        values->push_back({f.def.name, text});
        from_pool->push_back(pooled);
    }
    return true;
}

}  // namespace

bool serial_state_create(const std::string& path, const std::vector<field_spec>& fields, const std::string& log,
                         std::string* error)
{
    std::vector<serial_field> built;
    if (!build_fields(fields, &built, error) || !witnessed(built, serial_journal{}, log, path, true, error))
        return false;
    std::vector<serial_lot_field> lot = lot_of(built);
    if (lot.empty()) {
        *error = "the job has no counter or list field, so it hands nothing out and needs no state file";
        return false;
    }
    nlohmann::ordered_json header = {{"zelflash_serials", FORMAT}, {"fields", lot_json(lot)}};
    std::string why;
    switch (file_lock_make(path, line_of(header), &why)) {
    case FILE_LOCK_MADE: return true;
    case FILE_LOCK_EXISTS:
        *error = path + " already exists: a lot's state file is made once. To go on with the lot, run the job; "
                        "to start another lot, give the job another state file";
        return false;
    default: *error = path + ": cannot make the state file: " + why; return false;
    }
}

bool serial_state_peek_file(const std::string& path, const std::vector<field_spec>& fields, failed_policy policy,
                            const std::string& log, std::vector<field_value>* values, std::string* error)
{
    std::error_code ec;
    std::string text;
    opened_file opened;
    if (!build_fields(fields, &opened.fields, error))
        return false;
    if (!std::filesystem::exists(path, ec)) {
        *error = ec ? path + ": " + ec.message() : missing(path);
        return false;
    }
    if (!read_file(path, &text)) {
        *error = path + ": cannot read the state file";
        return false;
    }
    std::vector<bool> from_pool;
    return settle(text, policy, path, log, &opened, error) &&
           next_values_of(opened.fields, values, &from_pool, error);
}

bool serial_state::open(const std::string& path, const std::vector<field_spec>& fields, failed_policy policy,
                        const std::string& log, std::string* error)
{
    std::lock_guard<std::mutex> hold(mutex_);
    auto file = std::make_unique<file_lock>();
    std::string text, why;
    opened_file opened;
    if (!build_fields(fields, &opened.fields, error) || !open_locked(file.get(), path, error))
        return false;
    if (!file->read_all(MAX_FILE_SIZE, &text, &why)) {
        *error = path + ": cannot read the state file: " + why;
        return false;
    }
    if (!settle(text, policy, path, log, &opened, error))
        return false;
    path_ = path;
    file_ = std::move(file);
    policy_ = policy;
    fields_ = std::move(opened.fields);
    live_.clear();
    next_ticket_ = opened.journal.next_ticket;
    broken_.clear();
    notices_ = std::move(opened.notes);
    // A file an older zelflash stopped making before its header was whole
    // may not be in its folder on the disk yet.
    bool fresh = !opened.journal.header_rest.empty();
    std::vector<serial_lot_field> lot = lot_of(fields_);
    bool ok = recover(opened.journal, opened.changed ? &lot : nullptr, error);
    if (ok && fresh && !file_lock_sync_directory(path, &why)) {
        *error = path + ": cannot sync its folder: " + why;
        ok = false;
    }
    if (!ok)
        file_.reset();
    return ok;
}

// Settles what the last run left: completes a header cut short, sets
// lines cut short aside, burns what was still reserved, and records this
// run; all synced before any value goes out.
bool serial_state::recover(const serial_journal& journal, const std::vector<serial_lot_field>* lot,
                           std::string* error)
{
    bool start_line = journal.ends_mid_line && journal.header_rest.empty();
    auto put = [&](const nlohmann::ordered_json& record) {
        std::string text = (start_line ? "\n" : "") + line_of(record);
        start_line = false;
        return this->record(text, error);
    };
    if (!journal.header_rest.empty() && !record(journal.header_rest, error))
        return false;
    if (journal.torn_first) {
        if (!put({{"rec", "torn"}, {"lines", {journal.torn_first, journal.torn_last}}}))
            return false;
        bool one = journal.torn_first == journal.torn_last;
        std::string lines = one ? "line " + std::to_string(journal.torn_first)
                                : "lines " + std::to_string(journal.torn_first) + " to " +
                                      std::to_string(journal.torn_last);
        std::string notice = path_ + ": " + lines + (one ? " was" : " were") +
                             " cut short when zelflash last stopped (a crash or a power loss); set aside";
        if (!journal.torn_values.empty())
            notice += ", and the values still readable there are burned: " + values_text(journal.torn_values);
        notices_.push_back(notice);
    }
    std::vector<field_value> burned;
    for (const serial_reservation& r : journal.unfinished) {
        if (!put({{"rec", "burned"}, {"ticket", r.ticket}, {"values", values_json(r.values)}}))
            return false;
        for (const field_value& v : r.values)
            if (std::none_of(fields_.begin(), fields_.end(),
                             [&](const serial_field& f) { return f.def.name == v.name && f.def.kind == FIELD_VALUE; }))
                burned.push_back(v);
    }
    if (!burned.empty())
        notices_.push_back(path_ + ": " + std::to_string(burned.size()) +
                           (burned.size() == 1 ? " value was" : " values were") +
                           " reserved when zelflash last stopped without finishing: " + values_text(burned) +
                           (burned.size() == 1 ? "; it is" : "; they are") + " burned, not handed out again");
    if (lot != nullptr && !put({{"rec", "fields"}, {"fields", lot_json(*lot)}, {"time", utc_now()}}))
        return false;
    return put({{"rec", "open"},
                {"pid", file_lock_process_id()},
                {"policy", policy_ == FAILED_REUSE ? "reuse" : "burn"},
                {"time", utc_now()}});
}

// Appends one record and syncs it; a record that could not be made stops
// the handing out for good.
bool serial_state::record(const std::string& line, std::string* error)
{
    std::string why;
    if (file_->append(line, &why) && file_->sync(&why))
        return true;
    broken_ = why;
    *error = path_ + ": cannot write a record: " + why + "; " + stopped_for_good;
    return false;
}

bool serial_state::check_writable(std::string* error) const
{
    if (!file_) {
        *error = "the state file is not open";
        return false;
    }
    if (broken_.empty())
        return true;
    *error = path_ + ": a record could not be written (" + broken_ +
             "); " + stopped_for_good;
    return false;
}

bool serial_state::next_values(std::vector<field_value>* values, std::vector<bool>* from_pool,
                               std::string* error) const
{
    return next_values_of(fields_, values, from_pool, error);
}

// Before each reservation: the path must still name the file held, or the
// values it hands out would be recorded where no later run finds them.
bool serial_state::check_in_place(std::string* error)
{
    std::string why;
    if (file_->still_at(path_, &why))
        return true;
    broken_ = path_ + " is no longer the file this station holds: " + why;
    *error = broken_ + "; no value is handed out from here on. What the station recorded is saved beside it "
                       "when it stops; check which file is the lot's, put it back at " + path_ +
             ", then start the station again";
    return false;
}

bool serial_state::reserve(const std::string& board, std::vector<field_value>* values, uint64_t* ticket,
                           std::string* error)
{
    std::lock_guard<std::mutex> hold(mutex_);
    std::vector<field_value> picked;
    std::vector<bool> from_pool;
    if (!check_writable(error) || !check_in_place(error) || !next_values(&picked, &from_pool, error))
        return false;
    if (next_ticket_ == UINT64_MAX) {  // the next open would take the file for damaged
        *error = path_ + ": its tickets have reached the highest number (has the file been edited?)";
        return false;
    }
    nlohmann::ordered_json r = {{"rec", "reserved"},
                                {"ticket", next_ticket_},
                                {"values", values_json(picked)},
                                {"board", board.substr(0, MAX_BOARD_NAME)},
                                {"time", utc_now()}};
    if (!record(line_of(r), error))
        return false;
    for (size_t i = 0; i < fields_.size(); i++)
        if (fields_[i].def.kind != FIELD_VALUE)
            hand_out(&fields_[i], picked[i].text, from_pool[i]);
    next_ticket_++;
    // Looked at again once the record is on the disk: a file replaced while
    // it was written may have been copied without it. The values then go
    // to no board, and stay reserved in the file held.
    if (!check_in_place(error))
        return false;
    *ticket = next_ticket_ - 1;
    live_[*ticket] = picked;
    *values = std::move(picked);
    return true;
}

bool serial_state::finish(uint64_t ticket, bool programmed, bool may_hold, std::string* error)
{
    std::lock_guard<std::mutex> hold(mutex_);
    if (!check_writable(error))
        return false;
    auto it = live_.find(ticket);
    if (it == live_.end()) {
        *error = path_ + ": no board holds ticket " + std::to_string(ticket);
        return false;
    }
    bool reuse = !programmed && policy_ == FAILED_REUSE && !may_hold;
    nlohmann::ordered_json r = {{"rec", programmed ? "used" : "failed"}, {"ticket", ticket}};
    if (!programmed)
        r["then"] = reuse ? "reuse" : "burn";
    if (!programmed && policy_ == FAILED_REUSE && may_hold)
        r["why"] = "sent";  // a chunk holding the values may be in the board's flash
    if (!record(line_of(r), error))
        return false;
    for (size_t i = 0; i < fields_.size() && reuse; i++)
        if (fields_[i].def.kind != FIELD_VALUE)
            fields_[i].pool.push_back(it->second[i].text);
    live_.erase(it);
    return true;
}

bool serial_state::peek(std::vector<field_value>* values, std::string* error) const
{
    std::lock_guard<std::mutex> hold(mutex_);
    std::vector<bool> from_pool;
    return next_values(values, &from_pool, error);
}

std::string serial_state::save_if_lost()
{
    std::lock_guard<std::mutex> hold(mutex_);
    std::string why, text;
    if (!file_ || file_->still_at(path_, &why))
        return "";
    std::string saved = path_ + ".saved-" + std::to_string(file_lock_process_id());
    std::string error;
    if (!file_->read_all(MAX_FILE_SIZE, &text, &error) || file_lock_make(saved, text, &error) != FILE_LOCK_MADE)
        return path_ + " is no longer the file this station held (" + why +
               "), and what it recorded could not be saved (" + (error.empty() ? "a file is in the way" : error) +
               "); its last records are in the board log";
    return path_ + " is no longer the file this station held (" + why + "); what it recorded is saved as " +
           saved + ": check which file is the lot's and put it back at " + path_ + " before the next start";
}
