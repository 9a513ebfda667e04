// Intel HEX files: the data of their records as one image (image_records.h
// tells how records make an image). A line is ':' and hex pairs:
//
//   | count | offset BE (2) | type | data (count bytes) | checksum |
//
// the checksum making the sum of all the record's bytes 0 (mod 256). Data
// records (00) lie at base + offset, the base set by the last extended
// segment (02: value * 16) or extended linear (04: value << 16) address
// record; start addresses (03, 05) are read and left aside; the
// end-of-file record (01, ":00000001FF") must end the file, followed by
// blank lines only.
#pragma once

#include <string>
#include <string_view>

#include "images/image.h"

// The image of the HEX text; `name` only labels the error texts. Of the
// rules it applies fill_gaps, and flash_size only with IMAGE_IN_FLASH.
// On failure false with one line of text in *error; *out is then unchanged.
bool image_parse_ihex(std::string_view text, std::string_view name, const image_rules& rules, image* out,
                      std::string* error, image_placement placement = IMAGE_ANYWHERE);
