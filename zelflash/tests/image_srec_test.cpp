#include "images/image_srec.h"

#include <gtest/gtest.h>

namespace {

using bytes = std::vector<uint8_t>;

// Two records with a 2-byte gap between them, as most files below hold.
const bytes gapped{0x01, 0x02, 0xFF, 0xFF, 0xAA, 0xBB, 0xCC};

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
    ASSERT_TRUE(image_parse_srec(c.text, "t", zel_device, &out, &error)) << error;
    EXPECT_EQ(out.addr, c.addr);
    EXPECT_EQ(out.bytes, c.expected);
    EXPECT_EQ(out.format, IMAGE_SREC);
}

INSTANTIATE_TEST_SUITE_P(vectors, good_files, testing::Values(
    good_file{"s19", "S008000068656C6C6FE3\nS10510000102E7\nS1061004AABBCCB4\nS5030002FA\nS9031000EC\n",
              0x1000, gapped},
    good_file{"s28", "S2061234000102B0\nS207123404AABBCC7D\nS804123400B5", 0x123400, gapped},
    good_file{"s37", "S30712345600010259\r\nS30812345604AABBCC26\r\nS705123456005E\r\n", 0x12345600, gapped},
    good_file{"s37_last_byte_at_top", "S309FFFFFFFC01020304F3\nS70500000000FA\n", 0xFFFFFFFC,
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
    EXPECT_FALSE(image_parse_srec(c.text, "t", zel_device, &out, &error));
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(out.addr, 0x1234u);
}

INSTANTIATE_TEST_SUITE_P(srec, bad_files, testing::Values(
    bad_file{"S008000068656C6C6FE3\nS10510000102E8", "t line 2: checksum is 0xE7, the record says 0xE8"},
    bad_file{"S10610000102E7", "t line 1: the byte count says 6 bytes follow it, the line holds 5"},
    bad_file{"S105100001Z2E7", "t line 1: 'Z' at column 11 is not a hex digit"},
    bad_file{"S4030000FC", "t line 1: unknown record type S4"},
    // A control character is named, not copied: a CR would end the line of text.
    bad_file{"S\r030000FC\n", "t line 1: unknown record type: byte 0x0D after 'S'"},
    bad_file{"S1020000", "t line 1: an S1 record holds at least 3 bytes (address, checksum), this one 2"},
    bad_file{"S10510000102E7\nS5030002FA\n",
             "t line 2: the count record says 2 data records, the file has 1 before it"},
    bad_file{"S9031000EC\nS10510000102E7\n",
             "t line 2: a record after the end of the file (line 1); only blank lines may follow it"},
    bad_file{"S10510000102E7\nS1041001EEFC\nS9030000FC\n", "t line 2: overlaps line 1: both write 0x00001001"},
    bad_file{"S309FFFFFFFE01020304F1",
             "t line 1: 4 bytes at 0xFFFFFFFE run past the 32-bit address space, which ends at 0xFFFFFFFF"},
    bad_file{"S008000068656C6C6FE3\nS9031000EC\n", "t: no data records, so there is nothing to write"},
    bad_file{"", "t: no data records, so there is nothing to write"},
    bad_file{"S008000068656C6C6FE3\nS10510000102E7\nS1061004AABBCCB4\n",
             "t: no end record; the file may be cut short (it should end with an S7, S8 or S9 record); "
             "get the whole file again"},
    bad_file{"S10510000102E7\nS1061004AABBCCB4\nS5030002FA\n",
             "t: no end record; the file may be cut short (it should end with an S7, S8 or S9 record); "
             "get the whole file again"},
    bad_file{"S008000068656C6C6FE3\n",
             "t: no end record; the file may be cut short (it should end with an S7, S8 or S9 record); "
             "get the whole file again"}));

}  // namespace
