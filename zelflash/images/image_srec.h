// Motorola S-record files: the data of their records as one image
// (image_records.h tells how records make an image). A line is 'S', a type
// digit, then hex pairs:
//
//   | count | address BE | data | checksum |
//
// the count covering address, data and checksum, the checksum the ones'
// complement of the low byte of the sum of count, address and data. S1, S2
// and S3 carry data at 16-, 24- and 32-bit addresses; S0 (a header) is
// left aside; S5 and S6 count the data records before them, and must be
// right; an S7, S8 or S9 record (a start address, left aside) must end the
// file, followed by blank lines only. S4 is no record.
#pragma once

#include <string>
#include <string_view>

#include "images/image.h"

// The image of the S-record text; `name` only labels the error texts. Of
// the rules it applies fill_gaps, and flash_size only with IMAGE_IN_FLASH.
// On failure false with one line of text in *error; *out is then unchanged.
bool image_parse_srec(std::string_view text, std::string_view name, const image_rules& rules, image* out,
                      std::string* error, image_placement placement = IMAGE_ANYWHERE);
