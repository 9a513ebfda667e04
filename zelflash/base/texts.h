// Texts every part of zelflash writes the same way: numbers in decimal and
// hex, columns, counts with their noun in the right number, and JSON as it
// leaves the program. The one place where numbers become text: nothing else
// in zelflash formats them by hand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

// "0x0001f000": a device address or 32-bit value, eight lower-case hex digits.
std::string hex32(uint32_t v);
// `v` in lower-case hex, at least `digits` digits, zero-padded ("0403").
std::string hex_digits(uint64_t v, int digits);
// Two lower-case hex digits per byte ("c0db").
std::string hex_bytes(const uint8_t* bytes, size_t size);
// `v` in decimal, at least `digits` digits, zero-padded ("005").
std::string decimal(uint64_t v, int digits = 1);
// `v` with `decimals` digits after the point, correctly rounded ("9.8"; "3"
// with none).
std::string fixed(double v, int decimals);
// `text` in a column `width` wide, padded with spaces on the left (numbers)
// or the right (names); a longer text is left whole.
std::string align_right(std::string_view text, size_t width);
std::string align_left(std::string_view text, size_t width);

// `text` with every byte that is not printable ASCII shown as an escape
// ("\xEF"), for messages that quote what a file or a user gave.
std::string escaped(std::string_view text);

// "1 board", "3 boards", "0 boards".
std::string counted(uint64_t n, std::string_view one, std::string_view many);

// The one way JSON leaves zelflash (events, the board log, the port list).
// Names come from the file system and the system's port list, where any
// byte may appear; bytes that are not UTF-8 become U+FFFD instead of
// making the writer throw. One line unless `indent` is given.
std::string json_text(const nlohmann::json& value, int indent = -1);
