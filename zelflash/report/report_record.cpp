#include "report/report_record.h"

#include <charconv>
#include <cmath>

#include <nlohmann/json.hpp>

using nlohmann::json;

// ---- the JSON parser's reading -------------------------------------------

namespace {

// The member `key` of a record; null with the reason in *why when it is missing.
const json* member(const json& j, const char* key, std::string* why)
{
    auto it = j.find(key);
    if (it != j.end())
        return &*it;
    *why = std::string("key \"") + key + "\" missing";
    return nullptr;
}

// A key of a record, checked for its type; why holds the reason when not.
bool string_key(const json& j, const char* key, std::string* out, std::string* why, bool nullable = false)
{
    const json* it = member(j, key, why);
    if (it == nullptr)
        return false;
    if (it->is_string()) {
        *out = it->get<std::string>();
        return true;
    }
    if (nullable && it->is_null()) {
        out->clear();
        return true;
    }
    *why = std::string("key \"") + key + "\" is not a string" + (nullable ? " or null" : "");
    return false;
}

bool seconds_key(const json& j, double* out, std::string* why)
{
    const json* it = member(j, "seconds", why);
    if (it == nullptr)
        return false;
    if (!it->is_number() || !std::isfinite(it->get<double>()) || it->get<double>() < 0) {
        *why = "key \"seconds\" is not a number of seconds (0 or more)";
        return false;
    }
    *out = it->get<double>();
    return true;
}

bool link_key(const json& j, report_link* out, std::string* why)
{
    const json* it = member(j, "link", why);
    if (it == nullptr)
        return false;
    *out = report_link{};
    if (it->is_null())
        return true;
    const std::pair<const char*, uint64_t*> figures[] = {
        {"frames", &out->frames},           {"resends", &out->resends},         {"late_replies", &out->late_replies},
        {"bad_frames", &out->bad_frames},   {"quiet_waits", &out->quiet_waits}, {"unasked_acks", &out->unasked_acks},
    };
    for (const auto& [name, figure] : figures) {
        auto f = it->is_object() ? it->find(name) : it->end();
        if (!it->is_object() || f == it->end() || !f->is_number_unsigned()) {
            *why = std::string("key \"link\" is not null or an object with a count \"") + name + "\"";
            return false;
        }
        *figure = f->get<uint64_t>();
    }
    return true;
}

// A key that older records lack: absent, or a string.
bool later_string_key(const json& j, const char* key, std::string* out, std::string* why)
{
    out->clear();
    return j.find(key) == j.end() || string_key(j, key, out, why);
}

// labels and values: absent, or an object of strings; kept in *out unless
// it is null.
bool texts_key(const json& j, const char* key, std::map<std::string, std::string>* out, std::string* why)
{
    auto it = j.find(key);
    if (it == j.end())
        return true;
    bool good = it->is_object();
    for (auto m = good ? it->begin() : it->end(); good && m != it->end(); ++m) {
        good = m->is_string();
        if (good && out != nullptr)
            (*out)[m.key()] = m->get<std::string>();
    }
    if (!good)
        *why = std::string("key \"") + key + "\" is not an object of strings";
    return good;
}

// values: as texts_key, of which only the one named `name` is kept, in
// *out (empty when there is none).
bool values_key(const json& j, std::string_view name, std::string* out, std::string* why)
{
    out->clear();
    if (!texts_key(j, "values", nullptr, why))
        return false;
    auto it = j.find("values");
    if (name.empty() || it == j.end())
        return true;
    auto value = it->find(std::string(name));
    if (value != it->end())
        *out = value->get<std::string>();
    return true;
}

// slot: absent (a station without a fixture), or an unsigned integer.
bool slot_key(const json& j, std::optional<uint64_t>* out, std::string* why)
{
    out->reset();
    auto it = j.find("slot");
    if (it == j.end())
        return true;
    if (!it->is_number_unsigned()) {
        *why = "key \"slot\" is not a slot number (an unsigned integer)";
        return false;
    }
    *out = it->get<uint64_t>();
    return true;
}

// A note's kind: its key "note", a string.
bool note_kind(const json& note, std::optional<std::string>* kind, std::string* why)
{
    if (!note.is_string()) {
        *why = "key \"note\" is not a string";
        return false;
    }
    *kind = note.get<std::string>();
    return true;
}

bool record_keys(const json& j, report_record* r, std::string* why, std::string_view value_name)
{
    r->note.reset();
    return string_key(j, "start", &r->start, why) && string_key(j, "port", &r->port, why) &&
           string_key(j, "serial", &r->serial, why, true) && string_key(j, "image", &r->image, why) &&
           string_key(j, "image_sha256", &r->image_sha256, why) &&
           string_key(j, "file_sha256", &r->file_sha256, why, true) && seconds_key(j, &r->seconds, why) &&
           string_key(j, "outcome", &r->outcome, why) && later_string_key(j, "outcome_key", &r->outcome_key, why) &&
           link_key(j, &r->link, why) && slot_key(j, &r->slot, why) && texts_key(j, "labels", &r->labels, why) &&
           values_key(j, value_name, &r->board_value, why);
}

}  // namespace

bool report_record_parse_json(std::string_view line, report_record* r, std::string* why, std::string_view value_name)
{
    json j;
    try {
        j = json::parse(line);
    } catch (const json::parse_error& e) {
        *why = "not JSON (at byte " + std::to_string(e.byte) + ")";
        return false;
    } catch (const json::out_of_range&) {
        *why = "not JSON (a number too large)";  // the parser's one other complaint
        return false;
    }
    if (!j.is_object()) {
        *why = "not a JSON object";
        return false;
    }
    // A note is an object with a key "note" and none "outcome": with one it
    // is a board's record, whatever else it holds.
    auto note = j.find("note");
    if (note != j.end() && j.find("outcome") == j.end())
        return note_kind(*note, &r->note, why);
    return record_keys(j, r, why, value_name);
}

// ---- the quick scan --------------------------------------------------------

namespace {

enum scan_limits : int32_t {
    SCAN_MAX_DEPTH = 8,  // nesting of the values skipped; deeper goes to the parser
};

// The rest of the line. Each step takes what it expects or returns false,
// and the line then goes to the JSON parser.
struct scan {
    const char* at;
    const char* end;
};

void skip_blank(scan* s)
{
    while (s->at < s->end && (*s->at == ' ' || *s->at == '\t' || *s->at == '\n' || *s->at == '\r'))
        ++s->at;
}

bool eat(scan* s, char c)
{
    skip_blank(s);
    if (s->at == s->end || *s->at != c)
        return false;
    ++s->at;
    return true;
}

bool word(scan* s, std::string_view w)
{
    skip_blank(s);
    if (static_cast<size_t>(s->end - s->at) < w.size() || std::string_view(s->at, w.size()) != w)
        return false;
    s->at += w.size();
    return true;
}

// A string of printable ASCII and spaces without escapes, its quotes off.
bool plain_string(scan* s, std::string_view* out)
{
    if (!eat(s, '"'))
        return false;
    const char* first = s->at;
    for (; s->at < s->end; ++s->at) {
        auto c = static_cast<unsigned char>(*s->at);
        if (c == '"') {
            *out = std::string_view(first, static_cast<size_t>(s->at++ - first));
            return true;
        }
        if (c < 0x20 || c >= 0x80 || c == '\\')
            return false;
    }
    return false;
}

bool digit(const scan* s, const char* p)
{
    return p < s->end && *p >= '0' && *p <= '9';
}

// A number's text as JSON writes it: -? (0 | [1-9][0-9]*) (.[0-9]+)? ([eE][+-]?[0-9]+)?
bool number(scan* s, std::string_view* out)
{
    skip_blank(s);
    const char* p = s->at;
    p += p < s->end && *p == '-' ? 1 : 0;
    if (!digit(s, p))
        return false;
    if (*p++ != '0')
        while (digit(s, p))
            ++p;
    if (p < s->end && *p == '.' && digit(s, ++p))
        while (digit(s, p))
            ++p;
    else if (p[-1] == '.')
        return false;
    if (p < s->end && (*p == 'e' || *p == 'E')) {
        ++p;
        p += p < s->end && (*p == '+' || *p == '-') ? 1 : 0;
        if (!digit(s, p))
            return false;
        while (digit(s, p))
            ++p;
    }
    *out = std::string_view(s->at, static_cast<size_t>(p - s->at));
    // Past a double's range (4e9152, a 400-digit integer) the parser
    // refuses the line, also where the number's key is not read.
    double value = 0;
    if (std::from_chars(out->data(), out->data() + out->size(), value).ec != std::errc())
        return false;
    s->at = p;
    return true;
}

// A count the parser holds as unsigned: digits alone, within 64 bits.
bool count(scan* s, uint64_t* out)
{
    std::string_view text;
    if (!number(s, &text) || text.find_first_not_of("0123456789") != std::string_view::npos)
        return false;
    auto [end, fault] = std::from_chars(text.data(), text.data() + text.size(), *out);
    return fault == std::errc() && end == text.data() + text.size();
}

bool skip_value(scan* s, int depth);

// The members of an object after its "{", each handed to take(key): up to
// and with its "}".
template <class Take>
bool members(scan* s, Take take)
{
    if (eat(s, '}'))
        return true;
    do {
        std::string_view key;
        if (!plain_string(s, &key) || !eat(s, ':') || !take(key))
            return false;
    } while (eat(s, ','));
    return eat(s, '}');
}

bool skip_array(scan* s, int depth)
{
    if (eat(s, ']'))
        return true;
    do {
        if (!skip_value(s, depth))
            return false;
    } while (eat(s, ','));
    return eat(s, ']');
}

bool skip_value(scan* s, int depth)
{
    skip_blank(s);
    if (s->at == s->end || depth > SCAN_MAX_DEPTH)
        return false;
    std::string_view ignored;
    switch (*s->at) {
    case '"':
        return plain_string(s, &ignored);
    case '{':
        ++s->at;
        return members(s, [&](std::string_view) { return skip_value(s, depth + 1); });
    case '[':
        ++s->at;
        return skip_array(s, depth + 1);
    case 't':
        return word(s, "true");
    case 'f':
        return word(s, "false");
    case 'n':
        return word(s, "null");
    default:
        return number(s, &ignored);
    }
}

bool string_value(scan* s, std::string* out)
{
    std::string_view text;
    if (!plain_string(s, &text))
        return false;
    out->assign(text);
    return true;
}

bool string_or_null(scan* s, std::string* out)
{
    if (word(s, "null")) {
        out->clear();
        return true;
    }
    return string_value(s, out);
}

// Seconds the parser reads alike: no sign (it holds -0 as the integer 0),
// within a double's range.
bool seconds_value(scan* s, double* out)
{
    std::string_view text;
    if (!number(s, &text) || text.front() == '-')
        return false;
    auto [end, fault] = std::from_chars(text.data(), text.data() + text.size(), *out);
    return fault == std::errc() && end == text.data() + text.size() && std::isfinite(*out);
}

// null, or an object with the six counts (each once) among other keys.
bool link_value(scan* s, report_link* out)
{
    *out = report_link{};
    if (word(s, "null"))
        return true;
    const std::pair<std::string_view, uint64_t*> figures[] = {
        {"frames", &out->frames},           {"resends", &out->resends},         {"late_replies", &out->late_replies},
        {"bad_frames", &out->bad_frames},   {"quiet_waits", &out->quiet_waits}, {"unasked_acks", &out->unasked_acks},
    };
    unsigned seen = 0;
    auto take = [&](std::string_view key) {
        for (unsigned i = 0; i < std::size(figures); ++i) {
            if (figures[i].first == key) {
                bool again = (seen & (1u << i)) != 0;
                seen |= 1u << i;
                return !again && count(s, figures[i].second);
            }
        }
        return skip_value(s, 2);
    };
    return eat(s, '{') && members(s, take) && seen == (1u << std::size(figures)) - 1;
}

// The labels, an object of strings, kept in *out; a key twice keeps its
// last value, as the parser does.
bool texts_value(scan* s, std::map<std::string, std::string>* out)
{
    auto take = [&](std::string_view key) {
        std::string_view text;
        if (!plain_string(s, &text))
            return false;
        (*out)[std::string(key)] = std::string(text);
        return true;
    };
    return eat(s, '{') && members(s, take);
}

// The values, an object of strings; the one named `name` (unless it is
// empty) kept in *out, its last value when the key is there twice, as the
// parser does.
bool values_value(scan* s, std::string_view name, std::string* out)
{
    auto take = [&](std::string_view key) {
        std::string_view text;
        if (!plain_string(s, &text))
            return false;
        if (!name.empty() && key == name)
            out->assign(text);
        return true;
    };
    out->clear();
    return eat(s, '{') && members(s, take);
}

bool slot_value(scan* s, std::optional<uint64_t>* out)
{
    uint64_t slot = 0;
    if (!count(s, &slot))
        return false;
    *out = slot;
    return true;
}

enum scan_key : uint32_t {
    KEY_START, KEY_PORT, KEY_SERIAL, KEY_IMAGE, KEY_IMAGE_SHA256, KEY_FILE_SHA256, KEY_SECONDS, KEY_OUTCOME,
    KEY_LINK, KEY_LABELS, KEY_VALUES, KEY_OUTCOME_KEY, KEY_SLOT, KEY_OTHER,
};
constexpr std::string_view scan_key_names[] = {"start",   "port",    "serial", "image",  "image_sha256",
                                               "file_sha256", "seconds", "outcome", "link", "labels",
                                               "values",  "outcome_key", "slot"};
constexpr uint32_t SCAN_REQUIRED = (1u << KEY_LABELS) - 1;  // every key before labels

uint32_t key_of(std::string_view key)
{
    for (uint32_t k = 0; k < KEY_OTHER; ++k)
        if (scan_key_names[k] == key)
            return k;
    return KEY_OTHER;
}

bool member(scan* s, uint32_t key, report_record* r, std::string_view value_name)
{
    switch (key) {
    case KEY_START: return string_value(s, &r->start);
    case KEY_PORT: return string_value(s, &r->port);
    case KEY_SERIAL: return string_or_null(s, &r->serial);
    case KEY_IMAGE: return string_value(s, &r->image);
    case KEY_IMAGE_SHA256: return string_value(s, &r->image_sha256);
    case KEY_FILE_SHA256: return string_or_null(s, &r->file_sha256);
    case KEY_SECONDS: return seconds_value(s, &r->seconds);
    case KEY_OUTCOME: return string_value(s, &r->outcome);
    case KEY_LINK: return link_value(s, &r->link);
    case KEY_LABELS: return texts_value(s, &r->labels);
    case KEY_VALUES: return values_value(s, value_name, &r->board_value);
    case KEY_OUTCOME_KEY: return string_value(s, &r->outcome_key);
    case KEY_SLOT: return slot_value(s, &r->slot);
    default: return skip_value(s, 1);
    }
}

}  // namespace

// The record as the parser would read it, or false: the line is then the
// parser's to read, whether it holds a record or not.
bool report_record_scan(std::string_view line, report_record* r, std::string_view value_name)
{
    scan s{line.data(), line.data() + line.size()};
    uint32_t seen = 0;
    auto take = [&](std::string_view name) {
        uint32_t key = key_of(name);
        bool again = key != KEY_OTHER && (seen & (1u << key)) != 0;
        seen |= key == KEY_OTHER ? 0 : 1u << key;
        return !again && member(&s, key, r, value_name);
    };
    r->note.reset();
    r->labels.clear();
    r->outcome_key.clear();
    r->slot.reset();
    r->board_value.clear();
    if (!eat(&s, '{') || !members(&s, take))
        return false;
    skip_blank(&s);
    return s.at == s.end && (seen & SCAN_REQUIRED) == SCAN_REQUIRED;
}

bool report_record_parse(std::string_view line, report_record* r, std::string* why, std::string_view value_name)
{
    if (report_record_scan(line, r, value_name))
        return true;
    *r = report_record{};
    return report_record_parse_json(line, r, why, value_name);
}
