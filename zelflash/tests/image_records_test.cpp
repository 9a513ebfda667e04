#include "image_records.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "image_ihex.h"
#include "image_srec.h"

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

}  // namespace
