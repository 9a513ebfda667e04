// Numbers as text, counts with their nouns, and JSON that any name can go into.
#include "base/texts.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace {

TEST(texts, numbers_in_hex_and_decimal_are_zero_padded_to_their_width)
{
    struct row {
        std::string text;
        const char* expected;
    };
    const uint8_t digest[] = {0xC0, 0xDB, 0x00, 0x0A};
    const row rows[] = {
        {hex32(0x1FF000), "0x001ff000"},
        {hex32(0xFFFFFFFF), "0xffffffff"},
        {hex_digits(0x403, 4), "0403"},
        {hex_digits(0x12345, 4), "12345"},  // wider than asked: whole
        {hex_digits(UINT64_MAX, 1), "ffffffffffffffff"},
        {hex_bytes(digest, sizeof digest), "c0db000a"},
        {decimal(5, 3), "005"},
        {decimal(UINT64_MAX), "18446744073709551615"},
    };
    for (const row& r : rows)
        EXPECT_EQ(r.text, r.expected);
}

// As printf rounds: to the nearest, an exact half to even.
TEST(texts, fixed_point_figures_round_to_the_nearest)
{
    struct row {
        double v;
        int decimals;
        const char* expected;
    };
    const row rows[] = {
        {9.765625, 1, "9.8"}, {0.0, 1, "0.0"},  {2.5, 0, "2"},      {3.5, 0, "4"},
        {1.005, 2, "1.00"},   {6.5, 2, "6.50"}, {123456.0, 0, "123456"}, {0.049, 1, "0.0"},
    };
    for (const row& r : rows)
        EXPECT_EQ(fixed(r.v, r.decimals), r.expected) << r.v;
}

TEST(texts, columns_pad_on_their_side_and_never_cut)
{
    EXPECT_EQ(align_right("7", 3), "  7");
    EXPECT_EQ(align_left("port", 6), "port  ");
    EXPECT_EQ(align_left("/dev/ttyUSB10", 4), "/dev/ttyUSB10");
    EXPECT_EQ(align_right("", 2), "  ");
}

TEST(texts, counts_take_the_noun_in_their_number)
{
    struct row {
        uint64_t n;
        const char* text;
    };
    const row rows[] = {{0, "0 boards"}, {1, "1 board"}, {2, "2 boards"}, {1000000, "1000000 boards"}};
    for (const row& r : rows)
        EXPECT_EQ(counted(r.n, "board", "boards"), r.text);
}

// Port and file names are bytes, not UTF-8: a symlink named "dev\xff" must
// not make a JSON writer throw.
TEST(texts, names_that_are_not_utf8_are_written_with_a_replacement_character)
{
    struct row {
        std::string name;
        std::string written;  // as it reads back
    };
    const row rows[] = {
        {"/dev/ttyUSB0", "/dev/ttyUSB0"},
        {"/tmp/dev\xff", "/tmp/dev\xEF\xBF\xBD"},              // a byte no UTF-8 has
        {"/tmp/\xC3(x", "/tmp/\xEF\xBF\xBD(x"},                 // a sequence cut short
        {"/tmp/caf\xC3\xA9", "/tmp/caf\xC3\xA9"},               // UTF-8 stays as it is
    };
    for (const row& r : rows) {
        std::string text;
        ASSERT_NO_THROW(text = json_text(nlohmann::json{{"port", r.name}})) << r.name;
        nlohmann::json back = nlohmann::json::parse(text, nullptr, false);
        ASSERT_TRUE(back.is_object()) << text;
        EXPECT_EQ(back["port"], r.written);
        EXPECT_THAT(text, testing::Not(testing::HasSubstr("\n"))) << "one line";
    }
}

TEST(texts, bytes_that_are_not_printable_ascii_are_escaped)
{
    EXPECT_EQ(escaped("A1 ~"), "A1 ~");
    EXPECT_EQ(escaped(std::string("\xEF\xBB\xBF" "02\t\x7F\n\0", 9)), "\\xEF\\xBB\\xBF02\\x09\\x7F\\x0A\\x00");
}

TEST(texts, indented_json_for_the_port_list)
{
    EXPECT_EQ(json_text(nlohmann::json::array({"a"}), 2), "[\n  \"a\"\n]");
}

}  // namespace
