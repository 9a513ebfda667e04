// How a board ended, as zelflash records and shows it: the outcome of its
// run, or one of zelflash's own ends for a board whose run never came or
// broke. Each end has a key, written in the board log and the JSON events
// and read back by later versions, so never changed, and a text for people.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "run.h"

// One of the run's outcomes, wrapped with the same value (board_end_of), or
// one of zelflash's own, numbered clear of them: the board's port did not
// open, it waited and never got its turn, or its thread failed.
enum class board_end : int32_t { not_opened = 100, not_started = 101, internal_error = 102 };

struct board_end_name {
    board_end end;
    const char* key;   // stable: written in records
    const char* text;  // for people
};

// zelflash's own ends; the run's are in run_outcome_names.
inline constexpr board_end_name board_end_names[] = {
    {board_end::not_opened, "not_opened", "not opened"},
    {board_end::not_started, "not_started", "not started"},
    {board_end::internal_error, "internal_error", "internal error"},
};

constexpr board_end board_end_of(run_outcome outcome)
{
    return static_cast<board_end>(outcome);
}
// The run's outcome that `end` wraps; none for zelflash's own ends.
std::optional<run_outcome> board_end_run(board_end end);
// "programmed", ... (run_outcome_text), "not opened", "not started", "internal error".
const char* board_end_text(board_end end);
// "programmed", ... (run_outcome_key), "not_opened", "not_started", "internal_error".
const char* board_end_key(board_end end);
// Programmed, whether or not the restart was confirmed.
bool board_programmed(board_end end);
// The end whose key is `key`; none for a key this version does not know.
std::optional<board_end> board_end_from_key(std::string_view key);
