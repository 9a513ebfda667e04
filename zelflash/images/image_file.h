// Image files: the device image a user gives zelflash, read from a raw binary,
// an Intel HEX (image_ihex.h) or a Motorola S-record (image_srec.h) file, or
// the image embedded in the program, and placed at its device address.
//
// A raw image is placed by the caller (--address) or by the dialog program's
// rule: 0, or ZEL_SMALL_IMAGE_ADDR for an image of at most ZEL_SMALL_IMAGE
// bytes. HEX and S-record files place their own data, as one block from the
// lowest address written to the highest, the gaps filled with 0xFF
// (image_records.h).
//
// Every image must lie in the device's flash, [0, flash_size). A raw file
// larger than the flash is refused from its size alone; HEX and S-record
// text is read up to IMAGE_MAX_TEXT_SIZE, and its records are refused as
// soon as their data outgrows the flash (image_records.h).
//
// Error texts are one line and start with the name, then the line number
// when a line is at fault:
//   "image.hex line 7: checksum is 0x3A, the record says 0x3B"
//   "image.hex: no data records, so there is nothing to write"
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "images/image.h"

// Loads the file at path (format IMAGE_AUTO: by extension), or the embedded
// image when path is empty, and places it: `address` is only allowed for raw
// images; a raw image without one goes to 0, or to 0x1FF000 when it holds at
// most 255 bytes. A raw image whose format was not given (IMAGE_AUTO) is
// refused when its bytes are Intel HEX or S-record text. false with *error on
// any bad input, an image outside [0, rules.flash_size) included; *out is
// then unchanged.
bool image_load(const std::string& path, image_format format, std::optional<uint32_t> address,
                const uint8_t* embedded, uint32_t embedded_size, const image_rules& rules, image* out,
                std::string* error);
