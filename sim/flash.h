// NOR flash model of the simulated device: 2 MiB in 4 KiB sectors. Erasing
// sets whole sectors to 0xFF; programming can only clear bits, so a byte
// becomes old AND new, exactly as on the real part. Ranges are half-open,
// [start, end), and anything reaching past the flash is refused untouched.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

enum flash_geometry : uint32_t {
    FLASH_SIZE = 2u * 1024u * 1024u,  // bytes
    FLASH_SECTOR = 4096u,             // smallest erasable unit
    FLASH_ERASED = 0xFFu,             // value of every byte after an erase
};

struct flash {
    std::vector<uint8_t> bytes;  // FLASH_SIZE bytes, starts erased
};

void flash_init(flash* t);

// Sectors an erase of [start, end) touches; 0 for an empty range. The range
// must lie within the flash (see flash_range_ok).
uint32_t flash_sectors_touched(uint32_t start, uint32_t end);

// True when start <= end <= FLASH_SIZE.
bool flash_range_ok(uint32_t start, uint32_t end);

// Erases every sector that [start, end) touches. Returns the number of sectors
// erased, or -1 (nothing changed) when the range is not within the flash.
int32_t flash_erase(flash* t, uint32_t start, uint32_t end);

// ANDs data into the flash from addr on. Returns false (nothing changed) when
// [addr, addr + data.size()) is not within the flash.
bool flash_program(flash* t, uint32_t addr, std::span<const uint8_t> data);

// True when the flash from addr holds exactly the bytes of image.
bool flash_matches(const flash* t, uint32_t addr, std::span<const uint8_t> image);
