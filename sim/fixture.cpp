#include "fixture.h"

#include <algorithm>
#include <climits>
#include <cstdlib>

enum fixture_defaults : int64_t {
    DEFAULT_PRESENT_US = 5000000,       // long enough to program a board at 115200 baud
    DEFAULT_ABSENT_US = 1000000,        // an operator swapping boards
    DEFAULT_LOADER_RETURN_US = 100000,  // a watchdog or a failed start bringing the loader back
};

const char* fixture_after_reset_name(int32_t after_reset)
{
    return after_reset == FIXTURE_LOADER ? "loader" : "app";
}

int32_t fixture_after_reset_parse(const std::string& text)
{
    if (text == "app")
        return FIXTURE_APP;
    if (text == "loader")
        return FIXTURE_LOADER;
    return -1;
}

fixture_plan fixture_plan_defaults()
{
    return fixture_plan{DEFAULT_PRESENT_US, DEFAULT_ABSENT_US, 0, FIXTURE_APP, {}, DEFAULT_LOADER_RETURN_US};
}

static int64_t period_us(const fixture_plan* t)
{
    return t->present_us + t->absent_us;
}

// True when the board with this index (from 0) comes at all.
static bool comes(const fixture_plan* t, int64_t index)
{
    return t->boards == 0 || index < t->boards;
}

int32_t fixture_board_at(const fixture_plan* t, int64_t since_start_us)
{
    if (since_start_us < 0)
        return 0;
    int64_t index = since_start_us / period_us(t);
    int64_t within = since_start_us - index * period_us(t);
    if (within >= t->present_us || !comes(t, index) || index >= INT32_MAX)
        return 0;
    return static_cast<int32_t>(index + 1);
}

int64_t fixture_next_change(const fixture_plan* t, int64_t since_start_us)
{
    if (since_start_us < 0)
        return comes(t, 0) ? 0 : INT64_MAX;
    int64_t index = since_start_us / period_us(t);
    int64_t leaves = index * period_us(t) + t->present_us;
    if (leaves > since_start_us && comes(t, index))
        return leaves;
    if (comes(t, index + 1))
        return (index + 1) * period_us(t);
    return INT64_MAX;
}

int64_t fixture_last_leave_us(const fixture_plan* t)
{
    if (t->boards == 0)
        return INT64_MAX;
    return (t->boards - 1) * period_us(t) + t->present_us;
}

bool fixture_back_to_loader(const fixture_plan* t, int32_t board)
{
    if (t->after_reset == FIXTURE_LOADER)
        return true;
    return std::find(t->loader_boards.begin(), t->loader_boards.end(), board) != t->loader_boards.end();
}

bool fixture_parse_boards(const std::string& text, std::vector<int32_t>* out)
{
    out->clear();
    size_t at = 0;
    while (at <= text.size()) {
        size_t comma = std::min(text.find(',', at), text.size());
        std::string item = text.substr(at, comma - at);
        if (item.empty() || item.find_first_not_of("0123456789") != std::string::npos || item.size() > 9)
            return false;
        int32_t board = static_cast<int32_t>(std::strtol(item.c_str(), nullptr, 10));
        if (board == 0)
            return false;
        out->push_back(board);
        at = comma + 1;
    }
    return true;
}
