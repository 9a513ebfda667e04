// Texts every part of zelflash writes the same way: counts with their noun
// in the right number, and JSON as it leaves the program.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

// "1 board", "3 boards", "0 boards".
std::string counted(uint64_t n, std::string_view one, std::string_view many);

// The one way JSON leaves zelflash (events, the board log, the port list).
// Names come from the file system and the system's port list, where any
// byte may appear; bytes that are not UTF-8 become U+FFFD instead of
// making the writer throw. One line unless `indent` is given.
std::string json_text(const nlohmann::json& value, int indent = -1);
