#include "web/web_values.h"

#include <algorithm>

#include "values/fields.h"

static const field_value* next_of(const std::vector<field_value>& next, const std::string& name)
{
    auto it = std::find_if(next.begin(), next.end(), [&](const field_value& v) { return v.name == name; });
    return it == next.end() ? nullptr : &*it;
}

static std::optional<uint64_t> counter_left(const field_spec& def, const std::string& text)
{
    std::optional<uint64_t> n = field_parse_number(text);
    if (!def.last || !n || def.step == 0)
        return std::nullopt;
    if (*n > *def.last)
        return 0;
    return (*def.last - *n) / def.step + 1;
}

static uint64_t list_left(const value_field& f, const std::string& text)
{
    auto it = std::find(f.lines.begin(), f.lines.end(), text);
    return static_cast<uint64_t>(f.lines.end() - it);
}

std::vector<web_field_left> web_values_left(const std::vector<value_field>& fields,
                                            const std::vector<field_value>& next)
{
    std::vector<web_field_left> all;
    for (const value_field& f : fields) {
        if (f.def.kind == FIELD_VALUE)
            continue;
        const field_value* v = next_of(next, f.def.name);
        web_field_left left{f.def.name, uint64_t{0}};
        if (v != nullptr)
            left.left = f.def.kind == FIELD_COUNTER ? counter_left(f.def, v->text) : list_left(f, v->text);
        all.push_back(left);
    }
    return all;
}
