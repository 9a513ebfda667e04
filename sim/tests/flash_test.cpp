#include "flash.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct FlashTest : ::testing::Test {
    flash f;
    void SetUp() override { flash_init(&f); }
    void fill_zero(uint32_t from, uint32_t to)
    {
        std::vector<uint8_t> zeros(to - from, 0x00);
        ASSERT_TRUE(flash_program(&f, from, zeros));
    }
};

TEST_F(FlashTest, StartsErasedAndSized)
{
    ASSERT_EQ(f.bytes.size(), 2u * 1024u * 1024u);
    for (size_t i = 0; i < f.bytes.size(); i += 4093)
        ASSERT_EQ(f.bytes[i], 0xFF) << i;
    EXPECT_EQ(f.bytes.back(), 0xFF);
}

struct sectors_case {
    uint32_t start;
    uint32_t end;
    uint32_t sectors;
};

class SectorsTouched : public ::testing::TestWithParam<sectors_case> {};

TEST_P(SectorsTouched, CountsWholeSectors)
{
    const sectors_case& c = GetParam();
    EXPECT_EQ(flash_sectors_touched(c.start, c.end), c.sectors);
}

INSTANTIATE_TEST_SUITE_P(Ranges, SectorsTouched,
                         ::testing::Values(sectors_case{0, 0, 0}, sectors_case{100, 100, 0},
                                           sectors_case{0, 1, 1}, sectors_case{0, 4096, 1},
                                           sectors_case{0, 4097, 2}, sectors_case{4095, 4097, 2},
                                           sectors_case{4096, 8192, 1}, sectors_case{4095, 4096, 1},
                                           sectors_case{0, 1000, 1}, sectors_case{0, 2097152, 512},
                                           sectors_case{2097151, 2097152, 1}));

TEST_F(FlashTest, EraseClearsEveryTouchedSectorAndNothingElse)
{
    fill_zero(0, 3 * 4096);
    EXPECT_EQ(flash_erase(&f, 4095, 4097), 2);
    EXPECT_EQ(f.bytes[0], 0xFF);
    EXPECT_EQ(f.bytes[4095], 0xFF);
    EXPECT_EQ(f.bytes[8191], 0xFF);
    EXPECT_EQ(f.bytes[8192], 0x00);  // third sector untouched
    EXPECT_EQ(f.bytes[3 * 4096 - 1], 0x00);
}

TEST_F(FlashTest, EmptyEraseChangesNothing)
{
    fill_zero(0, 4096);
    EXPECT_EQ(flash_erase(&f, 10, 10), 0);
    EXPECT_EQ(f.bytes[10], 0x00);
}

TEST_F(FlashTest, EraseOfTheLastSectorAndTheWholeFlash)
{
    fill_zero(FLASH_SIZE - 4096 - 1, FLASH_SIZE);
    EXPECT_EQ(flash_erase(&f, FLASH_SIZE - 1, FLASH_SIZE), 1);
    EXPECT_EQ(f.bytes[FLASH_SIZE - 4096], 0xFF);
    EXPECT_EQ(f.bytes[FLASH_SIZE - 4097], 0x00);
    EXPECT_EQ(flash_erase(&f, 0, FLASH_SIZE), 512);
    EXPECT_EQ(f.bytes[FLASH_SIZE - 4097], 0xFF);
}

struct bad_range {
    uint32_t start;
    uint32_t end;
};

class EraseRefused : public ::testing::TestWithParam<bad_range> {};

TEST_P(EraseRefused, LeavesFlashAlone)
{
    flash f;
    flash_init(&f);
    std::vector<uint8_t> zeros(4096, 0);
    ASSERT_TRUE(flash_program(&f, 0, zeros));
    ASSERT_TRUE(flash_program(&f, FLASH_SIZE - 4096, zeros));
    EXPECT_EQ(flash_erase(&f, GetParam().start, GetParam().end), -1);
    EXPECT_EQ(f.bytes[0], 0x00);
    EXPECT_EQ(f.bytes[FLASH_SIZE - 1], 0x00);
}

INSTANTIATE_TEST_SUITE_P(OutsideOrReversed, EraseRefused,
                         ::testing::Values(bad_range{0, FLASH_SIZE + 1}, bad_range{FLASH_SIZE - 1, FLASH_SIZE + 1},
                                           bad_range{4096, 0}, bad_range{10, 9},
                                           bad_range{0xFFFFFFF0u, 0xFFFFFFFFu}));

struct program_case {
    uint8_t old_value;
    uint8_t data;
    uint8_t result;
};

class ProgramClearsBitsOnly : public ::testing::TestWithParam<program_case> {};

TEST_P(ProgramClearsBitsOnly, ResultIsOldAndData)
{
    flash f;
    flash_init(&f);
    const program_case& c = GetParam();
    uint8_t old_value = c.old_value;
    ASSERT_TRUE(flash_program(&f, 500, std::span<const uint8_t>(&old_value, 1)));
    uint8_t data = c.data;
    ASSERT_TRUE(flash_program(&f, 500, std::span<const uint8_t>(&data, 1)));
    EXPECT_EQ(f.bytes[500], c.result);
    EXPECT_EQ(f.bytes[499], 0xFF);
    EXPECT_EQ(f.bytes[501], 0xFF);
}

INSTANTIATE_TEST_SUITE_P(Bits, ProgramClearsBitsOnly,
                         ::testing::Values(program_case{0xFF, 0x5A, 0x5A}, program_case{0xF0, 0x3C, 0x30},
                                           program_case{0x00, 0xFF, 0x00}, program_case{0x0F, 0xF0, 0x00},
                                           program_case{0xA5, 0xFF, 0xA5}, program_case{0xC0, 0xDB, 0xC0}));

TEST_F(FlashTest, ProgramUpToTheEndFitsOnePastDoesNot)
{
    std::vector<uint8_t> four = {1, 2, 3, 4};
    EXPECT_TRUE(flash_program(&f, FLASH_SIZE - 4, four));
    EXPECT_EQ(f.bytes[FLASH_SIZE - 1], 4);
    std::vector<uint8_t> five = {0, 0, 0, 0, 0};
    EXPECT_FALSE(flash_program(&f, FLASH_SIZE - 4, five));
    EXPECT_EQ(f.bytes[FLASH_SIZE - 4], 1);  // untouched
    EXPECT_FALSE(flash_program(&f, FLASH_SIZE, std::span<const uint8_t>(five.data(), 1)));
    EXPECT_TRUE(flash_program(&f, FLASH_SIZE, std::span<const uint8_t>()));
}

TEST_F(FlashTest, ProgramNearTheTopOfTheAddressSpaceDoesNotWrap)
{
    std::vector<uint8_t> two = {0, 0};
    EXPECT_FALSE(flash_program(&f, 0xFFFFFFFFu, two));
    EXPECT_EQ(f.bytes[0], 0xFF);
}

TEST_F(FlashTest, MatchesComparesAtTheAddress)
{
    std::vector<uint8_t> image = {0xC0, 0xDB, 0x00, 0x7F};
    ASSERT_TRUE(flash_program(&f, 0x1000, image));
    EXPECT_TRUE(flash_matches(&f, 0x1000, image));
    EXPECT_FALSE(flash_matches(&f, 0x0FFF, image));
    EXPECT_FALSE(flash_matches(&f, FLASH_SIZE - 2, image));  // runs past the end
    std::vector<uint8_t> changed = image;
    changed[3] = 0x7E;
    EXPECT_FALSE(flash_matches(&f, 0x1000, changed));
}

}  // namespace
