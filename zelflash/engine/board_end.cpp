#include "engine/board_end.h"

#include <iterator>

// zelflash's own end `end` is, or null when it wraps the run's outcome.
static const board_end_name* own_end(board_end end)
{
    for (const board_end_name& own : board_end_names)
        if (own.end == end)
            return &own;
    return nullptr;
}

std::optional<run_outcome> board_end_run(board_end end)
{
    if (own_end(end) != nullptr)
        return std::nullopt;
    return static_cast<run_outcome>(end);
}

const char* board_end_text(board_end end)
{
    const board_end_name* own = own_end(end);
    return own != nullptr ? own->text : run_outcome_text(static_cast<run_outcome>(end));
}

const char* board_end_key(board_end end)
{
    const board_end_name* own = own_end(end);
    return own != nullptr ? own->key : run_outcome_key(static_cast<run_outcome>(end));
}

bool board_programmed(board_end end)
{
    return end == board_end_of(run_outcome::programmed) || end == board_end_of(run_outcome::unconfirmed);
}

std::optional<board_end> board_end_from_key(std::string_view key)
{
    for (const board_end_name& own : board_end_names)
        if (own.key == key)
            return own.end;
    for (const run_outcome_name& run : run_outcome_names)
        if (run.key == key)
            return board_end_of(run.outcome);
    return std::nullopt;
}
