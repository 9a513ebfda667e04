// The values a lot has left, per field, for the page and /metrics. Narrow on
// purpose: any store of values (the state file today, a lot database
// tomorrow) answers the same question through a web_values_source, called
// on the main thread after each board ends.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "values/value_pool.h"

struct web_field_left {
    std::string field;
    std::optional<uint64_t> left;  // none: not known (a counter with no last)
};

using web_values_source = std::function<std::vector<web_field_left>()>;

// What `fields` have left when `next` is what they would hand out next
// (value_source::peek); a field that peek could not give (it has run out)
// is absent from `next` and has 0 left. A counter has (last - next) / step
// + 1 left, a list the lines from its next one on; a value field, given
// per run, is not counted.
std::vector<web_field_left> web_values_left(const std::vector<value_field>& fields,
                                            const std::vector<field_value>& next);
