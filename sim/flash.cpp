#include "flash.h"

#include <algorithm>

void flash_init(flash* t)
{
    t->bytes.assign(FLASH_SIZE, static_cast<uint8_t>(FLASH_ERASED));
}

bool flash_range_ok(uint32_t start, uint32_t end)
{
    return start <= end && end <= FLASH_SIZE;
}

uint32_t flash_sectors_touched(uint32_t start, uint32_t end)
{
    if (end <= start)
        return 0;
    uint32_t first = start / FLASH_SECTOR;
    uint32_t last = (end - 1) / FLASH_SECTOR;
    return last - first + 1;
}

int32_t flash_erase(flash* t, uint32_t start, uint32_t end)
{
    if (!flash_range_ok(start, end))
        return -1;
    uint32_t sectors = flash_sectors_touched(start, end);
    if (sectors == 0)
        return 0;
    uint32_t from = start / FLASH_SECTOR * FLASH_SECTOR;
    uint32_t to = from + sectors * FLASH_SECTOR;
    std::fill(t->bytes.begin() + from, t->bytes.begin() + to, static_cast<uint8_t>(FLASH_ERASED));
    return static_cast<int32_t>(sectors);
}

bool flash_program(flash* t, uint32_t addr, std::span<const uint8_t> data)
{
    // Written as a subtraction so that no address near 2^32 wraps round.
    if (data.size() > FLASH_SIZE || addr > FLASH_SIZE - data.size())
        return false;
    for (size_t i = 0; i < data.size(); ++i)
        t->bytes[addr + i] &= data[i];
    return true;
}

bool flash_matches(const flash* t, uint32_t addr, std::span<const uint8_t> image)
{
    if (addr > FLASH_SIZE || image.size() > FLASH_SIZE - addr)
        return false;
    return std::equal(image.begin(), image.end(), t->bytes.begin() + addr);
}
