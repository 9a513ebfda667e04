#include "images/image_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <fstream>
#include <system_error>

#include "images/image_ihex.h"
#include "images/image_srec.h"
#include "record_writer.h"
#include "platform/sha256.h"

// The largest block asked of operator new, for the tests of what a file
// costs to read: an image is built in a std::vector. Every form of new and
// delete the library uses is replaced, so that they all pair: malloc and
// free underneath, which the compiler, seeing free given what operator new
// returned, would otherwise warn of.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
std::atomic<size_t> largest_new{0};

void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    size_t seen = largest_new.load();
    while (size > seen && !largest_new.compare_exchange_weak(seen, size)) {
    }
    return std::malloc(size == 0 ? 1 : size);
}

void* operator new(std::size_t size)
{
    if (void* p = operator new(size, std::nothrow))
        return p;
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept
{
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}

void operator delete(void* p, const std::nothrow_t&) noexcept
{
    std::free(p);
}

namespace {

using bytes = std::vector<uint8_t>;

// The zel device: 2 MiB of flash, gaps of at most a sector.
const image_rules zel_device;

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
    ASSERT_TRUE(image_load("", IMAGE_AUTO, c.address, embedded.data(), c.size, zel_device, &out, &error)) << error;
    EXPECT_EQ(out.addr, c.addr);
    EXPECT_EQ(out.bytes, embedded);
    EXPECT_EQ(out.name, "embedded image");
}

INSTANTIATE_TEST_SUITE_P(sizes, raw_placement, testing::Values(
    placement{1, std::nullopt, 0x1FF000}, placement{255, std::nullopt, 0x1FF000},
    placement{256, std::nullopt, 0}, placement{255, 0x10, 0x10}, placement{256, 0x2000, 0x2000},
    placement{16, 0x1FFFF0, 0x1FFFF0}));

TEST(raw_image, refused_when_empty_past_the_address_space_or_given_a_text_format)
{
    const uint8_t data[17] = {};
    image out;
    std::string error;
    EXPECT_FALSE(image_load("", IMAGE_AUTO, 0xFFFFFFF0, data, 17, zel_device, &out, &error));
    EXPECT_EQ(error, "embedded image: 17 bytes at 0xFFFFFFF0 run past the 32-bit address space "
                     "(the last would be at 0x100000000); give a lower --address");
    EXPECT_FALSE(image_load("", IMAGE_AUTO, std::nullopt, nullptr, 0, zel_device, &out, &error));
    EXPECT_EQ(error, "embedded image: the image is empty (0 bytes), so there is nothing to write");
    EXPECT_FALSE(image_load("", IMAGE_IHEX, std::nullopt, data, 17, zel_device, &out, &error));
    EXPECT_EQ(error, "--format ihex needs an IMAGE file; the embedded image is raw binary");
}

// ---- The device's flash: the image must lie in [0, flash size) ----

struct flash_case {
    uint32_t size;
    std::optional<uint32_t> address;
    uint32_t flash_size;
    const char* error;  // "" when the image fits
};

void PrintTo(const flash_case& c, std::ostream* os)
{
    *os << c.size << " bytes in " << c.flash_size;
}

class flash_fit : public testing::TestWithParam<flash_case> {};

TEST_P(flash_fit, images_past_the_flash_are_refused_with_both_ranges)
{
    const flash_case& c = GetParam();
    bytes embedded(c.size, 0x5A);
    image_rules rules;
    rules.flash_size = c.flash_size;
    image out;
    std::string error;
    bool fits = *c.error == '\0';
    EXPECT_EQ(image_load("", IMAGE_AUTO, c.address, embedded.data(), c.size, rules, &out, &error), fits) << error;
    EXPECT_EQ(error, fits ? "" : std::string("embedded image: the image lies at ") + c.error);
    EXPECT_EQ(out.bytes.size(), fits ? c.size : 0u);
}

INSTANTIATE_TEST_SUITE_P(sizes, flash_fit, testing::Values(
    flash_case{16, 0x1FFFF0, 0x200000, ""},
    flash_case{0x1000, std::nullopt, 0x1000, ""},
    flash_case{17, 0x1FFFF0, 0x200000,
               "0x001FFFF0 to 0x00200000, beyond the device's flash (0x00000000 to 0x001FFFFF, 2097152 bytes); "
               "give a lower --address, or --flash-size if the device has more flash"},
    flash_case{16, 0xFFFFFFF0, 0x200000,
               "0xFFFFFFF0 to 0xFFFFFFFF, beyond the device's flash (0x00000000 to 0x001FFFFF, 2097152 bytes); "
               "give a lower --address, or --flash-size if the device has more flash"},
    // A small image goes to the last sector of the zel device, which a
    // smaller flash lacks.
    flash_case{100, std::nullopt, 0x100000,
               "0x001FF000 to 0x001FF063, beyond the device's flash (0x00000000 to 0x000FFFFF, 1048576 bytes); "
               "give a lower --address, or --flash-size if the device has more flash"},
    flash_case{0x1001, std::nullopt, 0x1000,
               "0x00000000 to 0x00001000, beyond the device's flash (0x00000000 to 0x00000FFF, 4096 bytes); "
               "give --flash-size if the device has more flash"}));

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
    ASSERT_TRUE(image_load(path, IMAGE_AUTO, std::nullopt, nullptr, 0, zel_device, &out, &error)) << error;
    EXPECT_EQ(out.bytes, bytes(300, 0xC0));
    EXPECT_EQ(out.addr, 0u);
    EXPECT_EQ(out.name, path);

    path = write("fw.HEX", ":02000000C0DB63\n:00000001FF\n");
    ASSERT_TRUE(image_load(path, IMAGE_AUTO, std::nullopt, nullptr, 0, zel_device, &out, &error)) << error;
    EXPECT_EQ(out.bytes, (bytes{0xC0, 0xDB}));
    EXPECT_EQ(out.addr, 0u);
    EXPECT_EQ(out.format, IMAGE_IHEX);

    path = write("fw.dat", "S10510000102E7\nS9030000FC\n");
    ASSERT_TRUE(image_load(path, IMAGE_SREC, std::nullopt, nullptr, 0, zel_device, &out, &error)) << error;
    EXPECT_EQ(out.addr, 0x1000u);
    EXPECT_EQ(out.name, path);
}

// The board log names both digests: `sha256sum fw.hex` gives the file's,
// and the bytes placed from its records have another.
TEST_F(files, keep_the_digest_of_the_file_as_read_beside_the_bytes_placed)
{
    const std::string text = ":02000000C0DB63\n:00000001FF\n";
    std::string path = write("fw.hex", text);
    ASSERT_TRUE(image_load(path, IMAGE_AUTO, std::nullopt, nullptr, 0, zel_device, &out, &error)) << error;
    EXPECT_EQ(out.file_sha256, sha256_hex(bytes(text.begin(), text.end())));
    EXPECT_NE(out.file_sha256, sha256_hex(out.bytes));

    path = write("fw.bin", "\x01\x02");
    ASSERT_TRUE(image_load(path, IMAGE_AUTO, 0u, nullptr, 0, zel_device, &out, &error)) << error;
    EXPECT_EQ(out.file_sha256, sha256_hex(out.bytes)) << "a raw file is its bytes";

    const uint8_t embedded[] = {1, 2, 3};
    ASSERT_TRUE(image_load("", IMAGE_AUTO, 0u, embedded, 3, zel_device, &out, &error)) << error;
    EXPECT_EQ(out.file_sha256, "") << "no file, no file digest";
}

TEST_F(files, that_are_missing_empty_or_addressed_text_are_refused_by_name)
{
    std::string path = (dir / "none.bin").string();
    EXPECT_FALSE(image_load(path, IMAGE_AUTO, std::nullopt, nullptr, 0, zel_device, &out, &error));
    EXPECT_EQ(error, path + ": cannot open: " + std::generic_category().message(ENOENT));

    path = write("empty.bin", "");
    EXPECT_FALSE(image_load(path, IMAGE_AUTO, std::nullopt, nullptr, 0, zel_device, &out, &error));
    EXPECT_EQ(error, path + ": the image is empty (0 bytes), so there is nothing to write");

    path = write("fw.hex", ":02000000C0DB63\n");
    EXPECT_FALSE(image_load(path, IMAGE_AUTO, 0x1000, nullptr, 0, zel_device, &out, &error));
    EXPECT_EQ(error, path + " is an Intel HEX file, which places its own data; --address is only for raw binary images");

    path = write("bad.s19", "S10510000102E8\n");
    EXPECT_FALSE(image_load(path, IMAGE_AUTO, std::nullopt, nullptr, 0, zel_device, &out, &error));
    EXPECT_EQ(error, path + " line 1: checksum is 0xE7, the record says 0xE8");
}

TEST_F(files, with_their_records_past_the_flash_are_refused_unless_the_flash_is_larger)
{
    std::string path = write("stm32.hex", ":020000040801F1\n:0400000001020304F2\n:00000001FF\n");
    EXPECT_FALSE(image_load(path, IMAGE_AUTO, std::nullopt, nullptr, 0, zel_device, &out, &error));
    EXPECT_EQ(error, path + ": the image lies at 0x08010000 to 0x08010003, beyond the device's flash (0x00000000 "
                            "to 0x001FFFFF, 2097152 bytes); give --flash-size if the device has more flash");
    image_rules rules;
    rules.flash_size = 0x08010004;
    ASSERT_TRUE(image_load(path, IMAGE_AUTO, std::nullopt, nullptr, 0, rules, &out, &error)) << error;
    EXPECT_EQ(out.addr, 0x08010000u);
}

// With --fill-gaps, two records 256 MiB apart in a file of a few lines make
// an image of 256 MiB; outside the flash it is refused before it is built.
TEST_F(files, with_records_far_apart_outside_the_flash_are_refused_before_the_gaps_are_filled)
{
    std::string path = write("far.hex", ":0100000011EE\n:020000040FFFEC\n:0100000022DD\n:00000001FF\n");
    image_rules rules;
    rules.fill_gaps = true;
    largest_new = 0;
    EXPECT_FALSE(image_load(path, IMAGE_AUTO, std::nullopt, nullptr, 0, rules, &out, &error));
    EXPECT_EQ(error, path + ": the image lies at 0x00000000 to 0x0FFF0000, beyond the device's flash (0x00000000 "
                            "to 0x001FFFFF, 2097152 bytes); give --flash-size if the device has more flash");
    EXPECT_LT(largest_new.load(), 1u << 20) << "bytes asked for at once";

    path = write("far.s37", "S3060000000011E8\nS3060FFF000022C9\nS70500000000FA\n");
    largest_new = 0;
    EXPECT_FALSE(image_load(path, IMAGE_AUTO, std::nullopt, nullptr, 0, rules, &out, &error));
    EXPECT_THAT(error, testing::HasSubstr("the image lies at 0x00000000 to 0x0FFF0000, beyond the device's flash"));
    EXPECT_LT(largest_new.load(), 1u << 20) << "bytes asked for at once";
}

// Raw files larger than the flash are refused from their size: the files
// here are sparse, and the 300 MiB one would be refused with another text
// (the 256 MiB most loaded) had it been read. Text has no such bound: it is
// read, and its zeros are no records.
struct size_case {
    const char* name;
    uint64_t size;
    uint32_t flash_size;
    const char* error;  // after the path
};

class file_size : public files, public testing::WithParamInterface<size_case> {};

TEST_P(file_size, beyond_what_the_flash_can_need_is_refused_unread)
{
    const size_case& c = GetParam();
    std::string path = write(c.name, "");
    std::filesystem::resize_file(path, c.size);
    image_rules rules;
    rules.flash_size = c.flash_size;
    EXPECT_FALSE(image_load(path, IMAGE_AUTO, std::nullopt, nullptr, 0, rules, &out, &error));
    EXPECT_EQ(error, path + c.error);
}

INSTANTIATE_TEST_SUITE_P(sparse, file_size, testing::Values(
    size_case{"big.bin", 0x1001, 0x1000,
              ": 4097 bytes, more than the device's flash holds (flash of 4096 bytes); give --flash-size if the "
              "device has more flash"},
    size_case{"huge.bin", 300u << 20, 0x200000,
              ": 314572800 bytes, more than the device's flash holds (flash of 2097152 bytes); give --flash-size if "
              "the device has more flash"},
    size_case{"big.hex", 32 * 0x1000 + 1, 0x1000,
              " line 1: a record starts with ':', this line starts with byte 0x00 (for a raw binary file give "
              "--format bin)"},
    size_case{"at_limit.hex", 16 * 0x1000, 0x1000,
              " line 1: a record starts with ':', this line starts with byte 0x00 (for a raw binary file give "
              "--format bin)"}),
    [](const auto& info) {
        std::string name = info.param.name;
        return name.substr(0, name.find('.')) + "_" + name.substr(name.find('.') + 1);
    });

// One-byte S3 records with CR LF: 18 bytes of text for each byte placed,
// the most text any data record takes. The flash, not the length of the
// text, bounds what they may carry.
std::string one_byte_s3_records(uint32_t count)
{
    auto crlf = [](std::string line) { return line.insert(line.size() - 1, "\r"); };
    std::string text;
    for (uint32_t addr = 0; addr < count; ++addr) {
        const uint8_t data[] = {static_cast<uint8_t>(addr * 7)};
        text += crlf(record_writer_detail::srec_record('3', addr, 4, data));
    }
    return text + crlf(record_writer_detail::srec_record('7', 0, 4, {}));
}

struct s3_case {
    uint32_t flash_size;
    uint32_t records;  // one byte each, at 0, 1, 2...
    const char* error; // after the path; "" when it loads
};

class one_byte_records : public files, public testing::WithParamInterface<s3_case> {};

TEST_P(one_byte_records, load_while_their_data_fits_the_flash_whatever_the_length_of_the_text)
{
    const s3_case& c = GetParam();
    std::string path = write("fw.s37", one_byte_s3_records(c.records));
    ASSERT_GT(std::filesystem::file_size(path), 17u * c.flash_size) << "more than 16 bytes of text per flash byte";
    image_rules rules;
    rules.flash_size = c.flash_size;
    bool loads = *c.error == '\0';
    ASSERT_EQ(image_load(path, IMAGE_AUTO, std::nullopt, nullptr, 0, rules, &out, &error), loads) << error;
    if (!loads) {
        EXPECT_EQ(error, path + c.error);
        return;
    }
    ASSERT_EQ(out.bytes.size(), c.records);
    EXPECT_EQ(out.addr, 0u);
    for (uint32_t addr = 0; addr < c.records; ++addr)
        ASSERT_EQ(out.bytes[addr], static_cast<uint8_t>(addr * 7)) << addr;
}

INSTANTIATE_TEST_SUITE_P(files, one_byte_records, testing::Values(
    s3_case{0x1000, 0x1000, ""},
    s3_case{0x10000, 0x10000, ""},
    s3_case{0x1000, 0x1001,
            " line 4097: the data records up to here carry 4097 bytes, more than an image may hold (4096 bytes), so "
            "some overlap or lie outside the flash; give --flash-size if the device has more flash"}));

// The readers called directly, where the image may lie anywhere: with
// fill_gaps the span is still no wider than the flash, and a wider one is
// refused before a byte of it is filled.
struct span_case {
    const char* label;
    uint32_t first;
    uint32_t last;   // the address of the second record's byte
    const char* error;  // after "t: "; "" when it is built
};

class direct_span : public testing::TestWithParam<span_case> {};

TEST_P(direct_span, of_images_read_anywhere_is_no_wider_than_the_flash)
{
    const span_case& c = GetParam();
    image_rules rules;
    rules.fill_gaps = true;
    for (bool hex : {true, false}) {
        bytes two(uint64_t{c.last} - c.first + 1, 0xFF);
        two.front() = 0x11;
        two.back() = 0x22;
        record_writing how{16, true};
        std::string text = hex ? ihex_text_of(two, c.first, how) : srec_text_of(two, c.first, how);
        image out;
        std::string error;
        largest_new = 0;
        bool built = hex ? image_parse_ihex(text, "t", rules, &out, &error) : image_parse_srec(text, "t", rules, &out, &error);
        ASSERT_EQ(built, *c.error == '\0') << error;
        EXPECT_EQ(error, *c.error == '\0' ? "" : std::string("t: ") + c.error);
        EXPECT_EQ(out.bytes.size(), built ? two.size() : 0u);
        EXPECT_EQ(out.addr, built ? c.first : 0u);
        if (!built) {
            EXPECT_LT(largest_new.load(), 1u << 16) << "bytes asked for at once";
        }
    }
}

// Two one-byte records 256 MiB apart, the widest span loaded: refused by
// the readers themselves, before the gap is filled.
TEST(direct_span, of_records_far_apart_is_refused_before_the_gaps_are_filled)
{
    image_rules rules;
    rules.fill_gaps = true;
    const char* const texts[] = {":0100000011EE\n:020000040FFFEC\n:0100000022DD\n:00000001FF\n",
                                 "S3060000000011E8\nS3060FFF000022C9\nS70500000000FA\n"};
    for (const char* text : texts) {
        image out;
        std::string error;
        largest_new = 0;
        bool hex = text[0] == ':';
        EXPECT_FALSE(hex ? image_parse_ihex(text, "t", rules, &out, &error)
                         : image_parse_srec(text, "t", rules, &out, &error));
        EXPECT_EQ(error, "t: the data spans 0x00000000 to 0x0FFF0000 (268369921 bytes), wider than the device's "
                         "flash (2097152 bytes); give --flash-size if the device has more flash");
        EXPECT_LT(largest_new.load(), 1u << 16) << "bytes asked for at once";
    }
}

INSTANTIATE_TEST_SUITE_P(records, direct_span, testing::Values(
    span_case{"the_flash_exactly", 0, 0x1FFFFF, ""},
    span_case{"the_flash_exactly_high_up", 0x08000000, 0x081FFFFF, ""},
    span_case{"one_byte_wider", 0, 0x200000,
              "the data spans 0x00000000 to 0x00200000 (2097153 bytes), wider than the device's flash (2097152 "
              "bytes); give --flash-size if the device has more flash"}),
    [](const auto& info) { return std::string(info.param.label); });

// HEX or S-record text under a name that does not say so: refused as a raw
// image unless --format bin says raw is meant.
struct text_case {
    const char* label;
    const char* name;
    std::string content;
    image_format format;   // as given
    image_format read_as;  // IMAGE_AUTO: refused
    const char* error;     // after "DIR/name: " when refused
};

class raw_text : public files, public testing::WithParamInterface<text_case> {};

TEST_P(raw_text, is_refused_with_the_format_to_give)
{
    const text_case& c = GetParam();
    std::string path = write(c.name, c.content);
    bool read = c.read_as != IMAGE_AUTO;
    EXPECT_EQ(image_load(path, c.format, std::nullopt, nullptr, 0, zel_device, &out, &error), read) << error;
    if (!read) {
        EXPECT_EQ(error, path + ": " + c.error);
        return;
    }
    EXPECT_EQ(out.format, c.read_as);
    if (c.read_as == IMAGE_BIN)
        EXPECT_EQ(out.bytes, bytes(c.content.begin(), c.content.end()));
    else
        EXPECT_EQ(out.bytes, (bytes{0x01, 0x02, 0x03, 0x04}));
}

const char hex_text[] = ":0400000001020304F2\n:00000001FF\n";
const char refused_hex[] = "this is an Intel HEX file, not raw bytes; give --format ihex to write the data of its "
                           "records, or --format bin to write the text itself";
const char refused_srec[] = "this is an S-record file, not raw bytes; give --format srec to write the data of its "
                            "records, or --format bin to write the text itself";

INSTANTIATE_TEST_SUITE_P(files, raw_text, testing::Values(
    text_case{"hex_as_bin", "fw.bin", hex_text, IMAGE_AUTO, IMAGE_AUTO, refused_hex},
    text_case{"hex_given_format_bin", "fw.bin", hex_text, IMAGE_BIN, IMAGE_BIN, ""},
    text_case{"hex_no_extension", "firmware", "\xEF\xBB\xBF:0400000001020304f2\r\n\r\n:00000001FF\r\n",
              IMAGE_AUTO, IMAGE_AUTO, refused_hex},
    text_case{"srec_as_dat", "fw.dat", "S008000068656C6C6FE3\nS107000001020304EE\nS9030000FC\n", IMAGE_AUTO,
              IMAGE_AUTO, refused_srec},
    text_case{"mixed_first_names_format", "fw.dat", "S107000001020304EE\n:00000001FF\n", IMAGE_AUTO, IMAGE_AUTO,
              refused_srec},
    text_case{"ihx", "fw.ihx", hex_text, IMAGE_AUTO, IMAGE_IHEX, ""},
    text_case{"ihx_upper_case", "FW.IHX", hex_text, IMAGE_AUTO, IMAGE_IHEX, ""},
    text_case{"srec_upper_case", "fw.SREC", "S107000001020304EE\nS9030000FC\n", IMAGE_AUTO, IMAGE_SREC, ""},
    // Anything else about it is not record text: raw bytes.
    text_case{"one_line_of_prose", "notes.bin", std::string(hex_text) + "see above\n", IMAGE_AUTO, IMAGE_BIN, ""},
    text_case{"short_line", "fw.bin", ":0000\n", IMAGE_AUTO, IMAGE_BIN, ""},
    text_case{"lower_case_s", "fw.bin", "s107000001020304EE\n", IMAGE_AUTO, IMAGE_BIN, ""},
    text_case{"blank_only", "fw.bin", "\n\r\n\n", IMAGE_AUTO, IMAGE_BIN, ""},
    text_case{"binary", "fw.bin", std::string("\0\x3A\xC0\xDB", 4), IMAGE_AUTO, IMAGE_BIN, ""}),
    [](const auto& info) { return std::string(info.param.label); });

// ---- Names and numbers from the command line ----

TEST(image_format_of, goes_by_the_last_extension_in_any_case)
{
    const std::pair<const char*, image_format> cases[] = {
        {"a.hex", IMAGE_IHEX}, {"A.HEX", IMAGE_IHEX}, {"dir/fw.iHex", IMAGE_IHEX}, {"x.srec", IMAGE_SREC},
        {"a.ihx", IMAGE_IHEX}, {"A.IHX", IMAGE_IHEX}, {"x.SREC", IMAGE_SREC}, {"x.MOT", IMAGE_SREC},
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
