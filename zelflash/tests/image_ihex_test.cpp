#include "images/image_ihex.h"

#include <gtest/gtest.h>

namespace {

using bytes = std::vector<uint8_t>;

// The zel device: 2 MiB of flash, gaps of at most a sector.
const image_rules zel_device;

struct good_file {
    const char* label;
    const char* text;
    uint32_t addr;
    bytes expected;
};

class good_files : public testing::TestWithParam<good_file> {};

TEST_P(good_files, give_exact_bytes_at_lowest_address)
{
    const good_file& c = GetParam();
    image out;
    std::string error;
    ASSERT_TRUE(image_parse_ihex(c.text, "t", zel_device, &out, &error)) << error;
    EXPECT_EQ(out.addr, c.addr);
    EXPECT_EQ(out.bytes, c.expected);
    EXPECT_EQ(out.format, IMAGE_IHEX);
}

INSTANTIATE_TEST_SUITE_P(vectors, good_files, testing::Values(
    // 04 sets the upper half to 0x0800; offsets 0 and 8 leave a 4-byte gap.
    good_file{"ihex_linear",
              ":020000040800F2\n:0400000001020304F2\n:02000800AABB91\n:00000001FF\n", 0x08000000,
              {0x01, 0x02, 0x03, 0x04, 0xFF, 0xFF, 0xFF, 0xFF, 0xAA, 0xBB}},
    // Segment 0x1000 is 0x10000; CRLF, blank lines, lower case, a start
    // record, records out of order and blank lines after the end-of-file record.
    good_file{"ihex_segment",
              ":020000021000EC\r\n\r\n:03000400c0dbee70\r\n:04000005DEADBEEFBF\r\n:02000000C0DB63\r\n"
              ":00000001FF\r\n\r\n",
              0x10000, {0xC0, 0xDB, 0xFF, 0xFF, 0xC0, 0xDB, 0xEE}},
    good_file{"ihex_last_byte_at_top", ":02000004FFFFFC\n:04FFFC0001020304F7\n:00000001FF", 0xFFFFFFFC,
              {0x01, 0x02, 0x03, 0x04}}),
    [](const auto& info) { return std::string(info.param.label); });

struct bad_file {
    const char* text;
    const char* error;
};

void PrintTo(const bad_file& c, std::ostream* os)
{
    *os << testing::PrintToString(std::string(c.text));
}

class bad_files : public testing::TestWithParam<bad_file> {};

TEST_P(bad_files, are_refused_with_line_and_reason)
{
    const bad_file& c = GetParam();
    image out;
    out.addr = 0x1234;
    std::string error;
    EXPECT_FALSE(image_parse_ihex(c.text, "t", zel_device, &out, &error));
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(out.addr, 0x1234u);
}

INSTANTIATE_TEST_SUITE_P(ihex, bad_files, testing::Values(
    bad_file{":020000040800F2\n:0400000001020304F3\n",
             "t line 2: checksum is 0xF2, the record says 0xF3"},
    bad_file{":0500000001020304F2", "t line 1: the byte count says 5 data bytes, the line holds 4"},
    bad_file{":04000000010G0304F2", "t line 1: 'G' at column 13 is not a hex digit"},
    bad_file{":0400000001020304F", "t line 1: odd number of hex digits (17)"},
    bad_file{":0000",
             "t line 1: a record holds at least 5 bytes (count, address, type, checksum), this one 2"},
    bad_file{"\n\x7F" "ELF", "t line 2: a record starts with ':', this line starts with byte 0x7F "
                              "(for a raw binary file give --format bin)"},
    bad_file{":02000000C0DB63\n020000040800F2", "t line 2: a record starts with ':', this line starts with '0'"},
    bad_file{":00000001FF\n\n:0400000001020304F2\n",
             "t line 3: a record after the end of the file (line 1); only blank lines may follow it"},
    bad_file{":00000006FA", "t line 1: unknown record type 0x06"},
    bad_file{":03000004000000F9",
             "t line 1: an extended linear address record (0x04) holds 2 data bytes, this one 3"},
    bad_file{":0400000001020304F2\n:020000040000FA\n:02000200AABB97\n:00000001FF\n",
             "t line 3: overlaps line 1: both write 0x00000002"},
    bad_file{":02000004FFFFFC\n:04FFFE0001020304F5\n",
             "t line 2: 4 bytes at 0xFFFFFFFE run past the 32-bit address space, which ends at 0xFFFFFFFF"},
    bad_file{":00000001FF\n", "t: no data records, so there is nothing to write"},
    bad_file{":01000000AA55\n:020000041000EA\n:01000000AA55\n:00000001FF\n",
             "t: the data spans 0x00000000 to 0x10000000 (268435457 bytes); at most 256 MiB is loaded, "
             "since the gaps between records are filled with 0xFF in memory"},
    // Cut short: the records read well, the end-of-file record is missing.
    bad_file{":0400000001020304F2\n",
             "t: no end record; the file may be cut short (it should end with :00000001FF); get the whole file again"},
    bad_file{":020000040800F2\r\n:0400000001020304F2\r\n:04000005DEADBEEFBF\r\n\r\n",
             "t: no end record; the file may be cut short (it should end with :00000001FF); get the whole file again"},
    bad_file{":020000040800F2\n", "t: no end record; the file may be cut short (it should end with "
                                  ":00000001FF); get the whole file again"}));

}  // namespace
