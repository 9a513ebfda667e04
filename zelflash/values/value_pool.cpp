#include "values/value_pool.h"

#include <algorithm>

#include "zassert.h"

namespace {

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
bool reusable(const field_spec& def, const std::string& text)
{
    if (def.kind == FIELD_LIST)
        return !value_key(def, text).empty();
    std::optional<uint64_t> n = field_parse_number(text);
    return n && *n <= field_counter_limit(def);
}

}  // namespace

std::string value_key(const field_spec& def, const std::string& text)
{
    std::vector<uint8_t> bytes;
    std::string ignored;
    if (!field_encode(def, text, &bytes, &ignored))
        return "";
    return std::string(bytes.begin(), bytes.end());
}

std::string value_run_out(const field_spec& def, size_t list_size)
{
    if (def.kind == FIELD_LIST)
        return "field '" + def.name + "' has run out: all " + std::to_string(list_size) + " values of " + def.list +
               " are handed out; add new ones to the list";
    uint64_t limit = field_counter_limit(def);
    uint64_t last = def.start + (limit - def.start) / def.step * def.step;
    std::string held = def.last && *def.last <= limit
                           ? ""
                           : " (the most " + field_format_name(def.encoding, def.width) + " holds)";
    return "field '" + def.name + "' has run out: its last value " + std::to_string(last) + held +
           " is handed out; give it a new range";
}

value_end value_end_of(failed_policy policy, bool programmed, bool may_hold)
{
    if (programmed)
        return END_USED;
    if (policy != FAILED_REUSE)
        return END_BURN;
    return may_hold ? END_BURN_HELD : END_REUSE;
}

value_pool::value_pool(const std::vector<value_field>& fields, const value_states& seen, failed_policy policy)
{
    for (const value_field& f : fields)
        fields_.push_back(count(f, seen, policy));
}

value_pool::counted value_pool::count(const value_field& field, const value_states& seen, failed_policy policy)
{
    counted f;
    f.def = field.def;
    if (f.def.kind == FIELD_VALUE)
        return f;  // given anew each run, not counted
    if (f.def.kind == FIELD_LIST)
        for (const std::string& line : field.lines) {
            f.list.push_back(line);
            f.list_keys.push_back(value_key(f.def, line));
        }
    std::optional<uint64_t> highest;
    if (auto it = seen.find(f.def.name); it != seen.end())
        for (const auto& [text, state] : it->second) {
            std::optional<uint64_t> n = field_parse_number(text);
            if (n && (!highest || *n > *highest))
                highest = n;
            std::string key = f.def.kind == FIELD_LIST ? value_key(f.def, text) : "";
            if (!key.empty())
                f.handed_keys.insert(key);
            if (state == VALUE_FAILED_REUSE && policy == FAILED_REUSE && reusable(f.def, text))
                f.reuse.push_back(text);
        }
    if (f.def.kind == FIELD_COUNTER) {
        f.next_number = number_above(f.def, highest);
        std::sort(f.reuse.begin(), f.reuse.end(), [](const std::string& a, const std::string& b) {
            return field_parse_number(a) < field_parse_number(b);
        });
    }
    skip_handed(&f);
    return f;
}

void value_pool::skip_handed(counted* f)
{
    while (f->list_next < f->list.size() && f->handed_keys.count(f->list_keys[f->list_next]))
        f->list_next++;
}

// The value `f` hands out next; false when it has none left.
bool value_pool::next_of(const counted& f, std::string* text)
{
    if (f.def.kind == FIELD_VALUE) {
        *text = f.def.value;
        return true;
    }
    if (!f.reuse.empty()) {
        *text = f.reuse.front();
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

bool value_pool::next(std::vector<field_value>* values, std::string* error) const
{
    values->clear();
    for (const counted& f : fields_) {
        std::string text;
        if (!next_of(f, &text)) {
            *error = value_run_out(f.def, f.list.size());
            return false;
        }
        values->push_back({f.def.name, text});
    }
    return true;
}

void value_pool::hand_out(counted* f, const std::string& text)
{
    std::string expected;
    ZEL_ASSERT(next_of(*f, &expected) && expected == text);
    if (f->def.kind == FIELD_VALUE)
        return;
    if (!f->reuse.empty())
        f->reuse.erase(f->reuse.begin());
    else if (f->def.kind == FIELD_COUNTER)
        f->next_number = checked_add(*f->next_number, f->def.step);
    if (f->def.kind == FIELD_LIST) {
        f->handed_keys.insert(value_key(f->def, text));
        skip_handed(f);
    }
}

void value_pool::take(uint64_t ticket, const std::vector<field_value>& values)
{
    ZEL_ASSERT(values.size() == fields_.size() && !holds(ticket));
    for (size_t i = 0; i < fields_.size(); i++)
        hand_out(&fields_[i], values[i].text);
    live_[ticket] = values;
}

void value_pool::finish(uint64_t ticket, value_end end)
{
    auto it = live_.find(ticket);
    ZEL_ASSERT(it != live_.end());
    for (size_t i = 0; i < fields_.size() && end == END_REUSE; i++)
        if (fields_[i].def.kind != FIELD_VALUE)
            fields_[i].reuse.push_back(it->second[i].text);
    live_.erase(it);
}

bool value_pool::could_hand(const std::string& name, const std::string& text) const
{
    auto f = std::find_if(fields_.begin(), fields_.end(),
                          [&](const counted& g) { return g.def.name == name && g.def.kind != FIELD_VALUE; });
    if (f == fields_.end())
        return false;
    if (f->def.kind == FIELD_LIST)
        return std::find(f->list_keys.begin(), f->list_keys.end(), value_key(f->def, text)) != f->list_keys.end();
    std::optional<uint64_t> n = field_parse_number(text);
    return n && !value_key(f->def, text).empty() && *n >= f->def.start && (*n - f->def.start) % f->def.step == 0 &&
           *n <= field_counter_limit(f->def);
}
