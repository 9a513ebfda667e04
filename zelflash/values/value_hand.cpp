#include "values/value_hand.h"

#include <algorithm>

#include "zassert.h"

value_hand::value_hand(const std::vector<field_spec>& fields) : fields_(fields)
{
    for (const field_spec& f : fields_)
        if (f.kind != FIELD_VALUE)
            hand_[f.name];
}

void value_hand::add(const value_lists& leased)
{
    for (const auto& [field, values] : leased) {
        auto it = hand_.find(field);
        ZEL_ASSERT(it != hand_.end());
        it->second.insert(it->second.end(), values.begin(), values.end());
    }
}

size_t value_hand::boards() const
{
    size_t fewest = SIZE_MAX;
    for (const auto& [field, values] : hand_)
        fewest = std::min(fewest, values.size());
    return hand_.empty() ? SIZE_MAX : fewest;
}

std::map<std::string, size_t> value_hand::counts() const
{
    std::map<std::string, size_t> counts;
    for (const auto& [field, values] : hand_)
        counts[field] = values.size();
    return counts;
}

bool value_hand::next(std::vector<field_value>* values) const
{
    values->clear();
    for (const field_spec& f : fields_) {
        if (f.kind == FIELD_VALUE) {
            values->push_back({f.name, f.value});
            continue;
        }
        const std::deque<std::string>& in_hand = hand_.at(f.name);
        if (in_hand.empty())
            return false;
        values->push_back({f.name, in_hand.front()});
    }
    return true;
}

void value_hand::take(uint64_t ticket, const std::vector<field_value>& values)
{
    std::vector<field_value> expected;
    ZEL_ASSERT(next(&expected) && expected.size() == values.size() && !holds(ticket));
    for (size_t i = 0; i < fields_.size(); ++i) {
        ZEL_ASSERT(values[i].name == expected[i].name && values[i].text == expected[i].text);
        if (fields_[i].kind != FIELD_VALUE)
            hand_[fields_[i].name].pop_front();
    }
    live_[ticket] = values;
}

std::vector<field_value> value_hand::values_of(uint64_t ticket) const
{
    std::vector<field_value> counted;
    const std::vector<field_value>& all = live_.at(ticket);
    for (size_t i = 0; i < fields_.size(); ++i)
        if (fields_[i].kind != FIELD_VALUE)
            counted.push_back(all[i]);
    return counted;
}

void value_hand::finish(uint64_t ticket, value_end end)
{
    auto it = live_.find(ticket);
    ZEL_ASSERT(it != live_.end());
    for (size_t i = 0; i < fields_.size() && end == END_REUSE; ++i)
        if (fields_[i].kind != FIELD_VALUE)
            hand_[fields_[i].name].push_front(it->second[i].text);
    live_.erase(it);
}

value_lists value_hand::take_all()
{
    value_lists all;
    for (auto& [field, values] : hand_) {
        if (!values.empty())
            all[field].assign(values.begin(), values.end());
        values.clear();
    }
    return all;
}
