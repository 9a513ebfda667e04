#include "images/image_records.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "images/image_ihex.h"
#include "images/image_srec.h"
#include "record_writer.h"

namespace {

bool parse(image_format format, std::string_view text, image* out, std::string* error, const image_rules& rules)
{
    return format == IMAGE_IHEX ? image_parse_ihex(text, "t", rules, out, error)
                                : image_parse_srec(text, "t", rules, out, error);
}

// ---- Gaps between records: up to a sector filled, wider only when asked ----

struct gap_case {
    const char* label;
    image_format format;
    const char* text;
    bool fill_gaps;
    size_t size;        // of the image; 0: refused
    const char* error;  // when refused
};

class gaps : public testing::TestWithParam<gap_case> {};

TEST_P(gaps, wider_than_a_sector_are_refused_unless_filling_is_asked_for)
{
    const gap_case& c = GetParam();
    image_rules rules;
    rules.fill_gaps = c.fill_gaps;
    image out;
    std::string error;
    ASSERT_EQ(parse(c.format, c.text, &out, &error, rules), c.size != 0) << error;
    if (c.size == 0) {
        EXPECT_EQ(error, c.error);
        return;
    }
    ASSERT_EQ(out.bytes.size(), c.size);
    EXPECT_EQ(out.bytes.front(), 0x11);
    EXPECT_EQ(out.bytes.back(), 0x22);
    EXPECT_EQ(std::count(out.bytes.begin(), out.bytes.end(), 0xFF), static_cast<std::ptrdiff_t>(c.size - 2));
}

INSTANTIATE_TEST_SUITE_P(records, gaps, testing::Values(
    // 0x11 at 0, 0x22 at 0x1001 or 0x1002: gaps of 4096 and 4097 bytes.
    gap_case{"ihex_one_sector", IMAGE_IHEX, ":0100000011EE\n:0110010022CC\n:00000001FF\n", false, 0x1002, ""},
    gap_case{"ihex_one_byte_more", IMAGE_IHEX, ":0100000011EE\n:0110020022CB\n:00000001FF\n", false, 0,
             "t: 4097 bytes between line 1 and line 2 (0x00000001 to 0x00001001) hold no record, and writing the "
             "image would erase them and fill them with 0xFF; give --fill-gaps if that is meant"},
    gap_case{"ihex_filled_when_asked", IMAGE_IHEX, ":0100000011EE\n:0110020022CB\n:00000001FF\n", true, 0x1003,
             ""},
    // The records out of order: the gap lies between them by address.
    gap_case{"srec_out_of_order", IMAGE_SREC, "S104100222C7\nS104000011EA\nS9030000FC\n", false, 0,
             "t: 4097 bytes between line 2 and line 1 (0x00000001 to 0x00001001) hold no record, and writing the "
             "image would erase them and fill them with 0xFF; give --fill-gaps if that is meant"},
    gap_case{"srec_64k_filled_when_asked", IMAGE_SREC, "S104000011EA\nS20501000022D7\nS804000000FB\n", true,
             0x10001, ""}),
    [](const auto& info) { return std::string(info.param.label); });

// ---- Any image, written as records, reads back as itself ----

// Bytes with runs of 0xFF among them, which the writer may leave out as gaps.
std::vector<uint8_t> random_bytes(std::mt19937* random, size_t size)
{
    std::vector<uint8_t> out;
    while (out.size() < size) {
        size_t run = std::min<size_t>(size - out.size(), (*random)() % 300 + 1);
        bool erased = (*random)() % 3 == 0;
        for (size_t i = 0; i < run; ++i)
            out.push_back(erased ? 0xFF : static_cast<uint8_t>((*random)()));
    }
    return out;
}

// Where the records split: across a 64 KiB page, at the top of the address
// space, anywhere.
uint32_t random_address(std::mt19937* random, size_t size)
{
    uint64_t top = (uint64_t{1} << 32) - size;
    switch ((*random)() % 3) {
    case 0:
        return static_cast<uint32_t>(std::min<uint64_t>(((*random)() & 0xFFFF0000u) - (*random)() % 300, top));
    case 1:
        return static_cast<uint32_t>(top);
    default:
        return static_cast<uint32_t>(std::min<uint64_t>((*random)(), top));
    }
}

TEST(records, of_random_images_in_both_formats_read_back_as_the_same_image)
{
    image_rules rules;
    rules.fill_gaps = true;
    for (uint32_t seed = 1; seed <= 3000; ++seed) {
        std::mt19937 random(seed);
        std::vector<uint8_t> bytes = random_bytes(&random, random() % 700 + 1);
        uint32_t addr = random_address(&random, bytes.size());
        record_writing how{random() % 255 + 1, random() % 2 == 0};
        bool hex = seed % 2 == 0;
        std::string text = hex ? ihex_text_of(bytes, addr, how) : srec_text_of(bytes, addr, how);
        image out;
        std::string error;
        ASSERT_TRUE(parse(hex ? IMAGE_IHEX : IMAGE_SREC, text, &out, &error, rules))
            << "seed " << seed << ": " << error;
        ASSERT_EQ(out.addr, addr) << "seed " << seed;
        ASSERT_EQ(out.bytes, bytes) << "seed " << seed;
    }
}

}  // namespace
