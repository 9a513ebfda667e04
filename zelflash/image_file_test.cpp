#include "image_file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace {

using bytes = std::vector<uint8_t>;

// Two records with a 2-byte gap between them, as most files below hold.
const bytes gapped{0x01, 0x02, 0xFF, 0xFF, 0xAA, 0xBB, 0xCC};

bool parse(image_format format, std::string_view text, image* out, std::string* error)
{
    return format == IMAGE_IHEX ? image_parse_ihex(text, "t", out, error)
                                : image_parse_srec(text, "t", out, error);
}

struct good_file {
    const char* label;
    image_format format;
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
    ASSERT_TRUE(parse(c.format, c.text, &out, &error)) << error;
    EXPECT_EQ(out.addr, c.addr);
    EXPECT_EQ(out.bytes, c.expected);
    EXPECT_EQ(out.format, c.format);
}

INSTANTIATE_TEST_SUITE_P(vectors, good_files, testing::Values(
    // 04 sets the upper half to 0x0800; offsets 0 and 8 leave a 4-byte gap.
    good_file{"ihex_linear", IMAGE_IHEX,
              ":020000040800F2\n:0400000001020304F2\n:02000800AABB91\n:00000001FF\n", 0x08000000,
              {0x01, 0x02, 0x03, 0x04, 0xFF, 0xFF, 0xFF, 0xFF, 0xAA, 0xBB}},
    // Segment 0x1000 is 0x10000; CRLF, blank lines, lower case, a start
    // record, records out of order and no end-of-file record.
    good_file{"ihex_segment", IMAGE_IHEX,
              ":020000021000EC\r\n\r\n:03000400c0dbee70\r\n:04000005DEADBEEFBF\r\n:02000000C0DB63\r\n",
              0x10000, {0xC0, 0xDB, 0xFF, 0xFF, 0xC0, 0xDB, 0xEE}},
    good_file{"s19", IMAGE_SREC,
              "S008000068656C6C6FE3\nS10510000102E7\nS1061004AABBCCB4\nS5030002FA\nS9031000EC\n",
              0x1000, gapped},
    good_file{"s28", IMAGE_SREC, "S2061234000102B0\nS207123404AABBCC7D\nS804123400B5", 0x123400, gapped},
    good_file{"s37", IMAGE_SREC, "S30712345600010259\r\nS30812345604AABBCC26\r\nS705123456005E\r\n",
              0x12345600, gapped},
    good_file{"ihex_last_byte_at_top", IMAGE_IHEX, ":02000004FFFFFC\n:04FFFC0001020304F7\n", 0xFFFFFFFC,
              {0x01, 0x02, 0x03, 0x04}},
    good_file{"s37_last_byte_at_top", IMAGE_SREC, "S309FFFFFFFC01020304F3\n", 0xFFFFFFFC,
              {0x01, 0x02, 0x03, 0x04}}),
    [](const auto& info) { return std::string(info.param.label); });

struct bad_file {
    image_format format;
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
    EXPECT_FALSE(parse(c.format, c.text, &out, &error));
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(out.addr, 0x1234u);
}

INSTANTIATE_TEST_SUITE_P(ihex, bad_files, testing::Values(
    bad_file{IMAGE_IHEX, ":020000040800F2\n:0400000001020304F3\n",
             "t line 2: checksum is 0xF2, the record says 0xF3"},
    bad_file{IMAGE_IHEX, ":0500000001020304F2", "t line 1: the byte count says 5 data bytes, the line holds 4"},
    bad_file{IMAGE_IHEX, ":04000000010G0304F2", "t line 1: 'G' at column 13 is not a hex digit"},
    bad_file{IMAGE_IHEX, ":0400000001020304F", "t line 1: odd number of hex digits (17)"},
    bad_file{IMAGE_IHEX, ":0000",
             "t line 1: a record holds at least 5 bytes (count, address, type, checksum), this one 2"},
    bad_file{IMAGE_IHEX, "\n\x7F" "ELF", "t line 2: a record starts with ':', this line starts with byte 0x7F "
                                          "(for a raw binary file give --format bin)"},
    bad_file{IMAGE_IHEX, ":02000000C0DB63\n020000040800F2", "t line 2: a record starts with ':', this line starts with '0'"},
    bad_file{IMAGE_IHEX, ":00000001FF\n\n:0400000001020304F2\n",
             "t line 3: a record after the end of the file (line 1); only blank lines may follow it"},
    bad_file{IMAGE_IHEX, ":00000006FA", "t line 1: unknown record type 0x06"},
    bad_file{IMAGE_IHEX, ":03000004000000F9",
             "t line 1: an extended linear address record (0x04) holds 2 data bytes, this one 3"},
    bad_file{IMAGE_IHEX, ":0400000001020304F2\n:020000040000FA\n:02000200AABB97\n",
             "t line 3: overlaps line 1: both write 0x00000002"},
    bad_file{IMAGE_IHEX, ":02000004FFFFFC\n:04FFFE0001020304F5\n",
             "t line 2: 4 bytes at 0xFFFFFFFE run past the 32-bit address space, which ends at 0xFFFFFFFF"},
    bad_file{IMAGE_IHEX, ":00000001FF\n", "t: no data records, so there is nothing to write"},
    bad_file{IMAGE_IHEX, ":01000000AA55\n:020000041000EA\n:01000000AA55\n",
             "t: the data spans 0x00000000 to 0x10000000 (268435457 bytes); at most 256 MiB is loaded, "
             "since the gaps between records are filled with 0xFF in memory"}));

INSTANTIATE_TEST_SUITE_P(srec, bad_files, testing::Values(
    bad_file{IMAGE_SREC, "S008000068656C6C6FE3\nS10510000102E8", "t line 2: checksum is 0xE7, the record says 0xE8"},
    bad_file{IMAGE_SREC, "S10610000102E7", "t line 1: the byte count says 6 bytes follow it, the line holds 5"},
    bad_file{IMAGE_SREC, "S105100001Z2E7", "t line 1: 'Z' at column 11 is not a hex digit"},
    bad_file{IMAGE_SREC, "S4030000FC", "t line 1: unknown record type S4"},
    bad_file{IMAGE_SREC, "S1020000",
             "t line 1: an S1 record holds at least 3 bytes (address, checksum), this one 2"},
    bad_file{IMAGE_SREC, "S10510000102E7\nS5030002FA\n",
             "t line 2: the count record says 2 data records, the file has 1 before it"},
    bad_file{IMAGE_SREC, "S9031000EC\nS10510000102E7\n",
             "t line 2: a record after the end of the file (line 1); only blank lines may follow it"},
    bad_file{IMAGE_SREC, "S10510000102E7\nS1041001EEFC\n", "t line 2: overlaps line 1: both write 0x00001001"},
    bad_file{IMAGE_SREC, "S309FFFFFFFE01020304F1",
             "t line 1: 4 bytes at 0xFFFFFFFE run past the 32-bit address space, which ends at 0xFFFFFFFF"},
    bad_file{IMAGE_SREC, "S008000068656C6C6FE3\nS9031000EC\n", "t: no data records, so there is nothing to write"},
    bad_file{IMAGE_SREC, "", "t: no data records, so there is nothing to write"}));

// ---- Raw images, placed by size or by --address ----

struct placement {
    uint32_t size;
    std::optional<uint32_t> address;
    uint32_t addr;
};

class raw_placement : public testing::TestWithParam<placement> {};

TEST_P(raw_placement, follows_size_rule_unless_address_given)
{
    const placement& c = GetParam();
    bytes embedded(c.size);
    for (size_t i = 0; i < embedded.size(); ++i)
        embedded[i] = static_cast<uint8_t>(i * 7);
    image out;
    std::string error;
    ASSERT_TRUE(image_load("", IMAGE_AUTO, c.address, embedded.data(), c.size, &out, &error)) << error;
    EXPECT_EQ(out.addr, c.addr);
    EXPECT_EQ(out.bytes, embedded);
    EXPECT_EQ(out.name, "embedded image");
}

INSTANTIATE_TEST_SUITE_P(sizes, raw_placement, testing::Values(
    placement{1, std::nullopt, 0x1FF000}, placement{255, std::nullopt, 0x1FF000},
    placement{256, std::nullopt, 0}, placement{255, 0x10, 0x10}, placement{256, 0x2000, 0x2000},
    placement{16, 0xFFFFFFF0, 0xFFFFFFF0}));

TEST(raw_image, refused_when_empty_past_the_address_space_or_given_a_text_format)
{
    const uint8_t data[17] = {};
    image out;
    std::string error;
    EXPECT_FALSE(image_load("", IMAGE_AUTO, 0xFFFFFFF0, data, 17, &out, &error));
    EXPECT_EQ(error, "embedded image: 17 bytes at 0xFFFFFFF0 run past the 32-bit address space "
                     "(the last would be at 0x100000000); give a lower --address");
    EXPECT_FALSE(image_load("", IMAGE_AUTO, std::nullopt, nullptr, 0, &out, &error));
    EXPECT_EQ(error, "embedded image: the image is empty (0 bytes), so there is nothing to write");
    EXPECT_FALSE(image_load("", IMAGE_IHEX, std::nullopt, data, 17, &out, &error));
    EXPECT_EQ(error, "--format ihex needs an IMAGE file; the embedded image is raw binary");
}

// ---- Files on disk ----

class files : public testing::Test {
protected:
    std::filesystem::path dir = std::filesystem::path(testing::TempDir()) /
                                ("zelflash-" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
    image out;
    std::string error;

    void SetUp() override { std::filesystem::create_directories(dir); }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::string write(const char* name, std::string_view content)
    {
        std::string path = (dir / name).string();
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }
};

TEST_F(files, are_read_in_the_format_their_extension_or_format_option_names)
{
    std::string raw(300, '\xC0');
    std::string path = write("fw.bin", raw);
    ASSERT_TRUE(image_load(path, IMAGE_AUTO, std::nullopt, nullptr, 0, &out, &error)) << error;
    EXPECT_EQ(out.bytes, bytes(300, 0xC0));
    EXPECT_EQ(out.addr, 0u);
    EXPECT_EQ(out.name, path);

    path = write("fw.HEX", ":02000000C0DB63\n:00000001FF\n");
    ASSERT_TRUE(image_load(path, IMAGE_AUTO, std::nullopt, nullptr, 0, &out, &error)) << error;
    EXPECT_EQ(out.bytes, (bytes{0xC0, 0xDB}));
    EXPECT_EQ(out.addr, 0u);
    EXPECT_EQ(out.format, IMAGE_IHEX);

    path = write("fw.dat", "S10510000102E7\n");
    ASSERT_TRUE(image_load(path, IMAGE_SREC, std::nullopt, nullptr, 0, &out, &error)) << error;
    EXPECT_EQ(out.addr, 0x1000u);
    EXPECT_EQ(out.name, path);
}

TEST_F(files, that_are_missing_empty_or_addressed_text_are_refused_by_name)
{
    std::string path = (dir / "none.bin").string();
    EXPECT_FALSE(image_load(path, IMAGE_AUTO, std::nullopt, nullptr, 0, &out, &error));
    EXPECT_EQ(error, path + ": cannot open: " + std::generic_category().message(ENOENT));

    path = write("empty.bin", "");
    EXPECT_FALSE(image_load(path, IMAGE_AUTO, std::nullopt, nullptr, 0, &out, &error));
    EXPECT_EQ(error, path + ": the image is empty (0 bytes), so there is nothing to write");

    path = write("fw.hex", ":02000000C0DB63\n");
    EXPECT_FALSE(image_load(path, IMAGE_AUTO, 0x1000, nullptr, 0, &out, &error));
    EXPECT_EQ(error, path + " is an Intel HEX file, which places its own data; --address is only for raw binary images");

    path = write("bad.s19", "S10510000102E8\n");
    EXPECT_FALSE(image_load(path, IMAGE_AUTO, std::nullopt, nullptr, 0, &out, &error));
    EXPECT_EQ(error, path + " line 1: checksum is 0xE7, the record says 0xE8");
}

// ---- Names and numbers from the command line ----

TEST(image_format_of, goes_by_the_last_extension_in_any_case)
{
    const std::pair<const char*, image_format> cases[] = {
        {"a.hex", IMAGE_IHEX}, {"A.HEX", IMAGE_IHEX}, {"dir/fw.iHex", IMAGE_IHEX}, {"x.srec", IMAGE_SREC},
        {"x.S19", IMAGE_SREC}, {"x.s28", IMAGE_SREC}, {"C:\\fw\\x.s37", IMAGE_SREC}, {"x.mot", IMAGE_SREC},
        {"x.bin", IMAGE_BIN}, {"x", IMAGE_BIN}, {"x.hex.bak", IMAGE_BIN}, {"fw.hex/image", IMAGE_BIN},
        {".hex", IMAGE_BIN}, {"x.hexx", IMAGE_BIN},
    };
    for (const auto& [path, format] : cases)
        EXPECT_EQ(image_format_of(path), format) << path;
    EXPECT_EQ(image_format_named("ihex"), IMAGE_IHEX);
    EXPECT_EQ(image_format_named("bin"), IMAGE_BIN);
    EXPECT_EQ(image_format_named("srec"), IMAGE_SREC);
    EXPECT_EQ(image_format_named("hex"), std::nullopt);
    EXPECT_EQ(image_format_named("auto"), std::nullopt);
}

TEST(image_parse_address, takes_decimal_and_hex_within_32_bits)
{
    const std::pair<const char*, std::optional<uint32_t>> cases[] = {
        {"0", 0u}, {"123", 123u}, {"0123", 123u}, {"0x1F000", 0x1F000u}, {"0X1f000", 0x1F000u},
        {"4294967295", 0xFFFFFFFFu}, {"0xFFFFFFFF", 0xFFFFFFFFu}, {"4294967296", std::nullopt},
        {"0x100000000", std::nullopt}, {"", std::nullopt}, {"0x", std::nullopt}, {"12a", std::nullopt},
        {"-1", std::nullopt}, {"+1", std::nullopt}, {" 1", std::nullopt}, {"0x-1", std::nullopt},
        {"1f", std::nullopt}, {"0x0x1", std::nullopt},
    };
    for (const auto& [text, value] : cases)
        EXPECT_EQ(image_parse_address(text), value) << text;
}

}  // namespace
