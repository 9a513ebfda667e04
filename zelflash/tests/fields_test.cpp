// Field values as bytes in the image, the checks of a job's fields, the
// patched copy, and the --serial and --set spellings.
#include "values/fields.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "images/image_file.h"

namespace {

using testing::ElementsAre;
using testing::HasSubstr;

field_spec spec_of(const char* format, field_kind kind = FIELD_VALUE, uint32_t address = 0)
{
    field_spec def;
    def.name = "f";
    def.kind = kind;
    def.address = address;
    std::string error;
    EXPECT_TRUE(field_format_parse(format, &def.encoding, &def.width, &error)) << error;
    return def;
}

struct encode_case {
    const char* format;
    const char* value;
    std::vector<uint8_t> bytes;  // empty: refused
    const char* error = "";
};

std::vector<uint8_t> ascii(const char* text)
{
    return std::vector<uint8_t>(text, text + std::char_traits<char>::length(text));
}

const encode_case encode_cases[] = {
    {"le8", "0", {0x00}},
    {"le8", "255", {0xFF}},
    {"le8", "256", {}, "field 'f': 256 does not fit in le8 (at most 255)"},
    {"le16", "0x1234", {0x34, 0x12}},
    {"be16", "0x1234", {0x12, 0x34}},
    {"be24", "0x010203", {0x01, 0x02, 0x03}},
    {"le32", "4294967295", {0xFF, 0xFF, 0xFF, 0xFF}},
    {"le32", "4294967296", {}, "does not fit in le32 (at most 4294967295)"},
    {"be64", "18446744073709551615", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
    {"le64", "18446744073709551616", {}, "is not a number"},
    {"le32", "", {}, "'' is not a number"},
    {"le32", "-1", {}, "is not a number"},
    {"le32", "0x", {}, "is not a number"},
    {"le32", "12a", {}, "is not a number"},
    {"dec4", "7", ascii("0007")},
    {"dec4", "9999", ascii("9999")},
    {"dec4", "10000", {}, "10000 does not fit in dec4 (at most 9999)"},
    {"dec20", "18446744073709551615", ascii("18446744073709551615")},
    {"dec22", "0x10", ascii("0000000000000000000016")},
    {"hex4", "255", ascii("00FF")},
    {"hex4", "0xffff", ascii("FFFF")},
    {"hex4", "65536", {}, "does not fit in hex4 (at most 65535)"},
    {"bytes3", "0A1b2C", {0x0A, 0x1B, 0x2C}},
    {"bytes3", "0a:1b:2c", {0x0A, 0x1B, 0x2C}},
    {"bytes3", "0a-1b 2c", {0x0A, 0x1B, 0x2C}},
    {"bytes3", "0a:1b", {}, "'0a:1b' is 2 bytes; bytes3 takes exactly 3"},
    {"bytes3", "0a::1b:2c", {}, "is not a list of bytes"},
    {"bytes3", ":0a1b2c", {}, "is not a list of bytes"},
    {"bytes3", "0a1b2c:", {}, "is not a list of bytes"},
    {"bytes3", "0a1b2", {}, "is not a list of bytes"},
    {"bytes3", "", {}, "is not a list of bytes"},
    {"text4", "ab", {'a', 'b', 0, 0}},
    {"text4", "a~ d", {'a', '~', ' ', 'd'}},
    {"text4", "", {0, 0, 0, 0}},
    {"text4", "abcde", {}, "'abcde' is 5 characters; text4 holds at most 4"},
    {"text4", "a\tb", {}, "not printable ASCII (code 9)"},
    {"text4", "\xC3\xA9", {}, "not printable ASCII (code 195)"},
};

TEST(field_encode, writes_each_encoding_byte_for_byte_and_refuses_what_does_not_fit)
{
    for (const encode_case& c : encode_cases) {
        field_spec def = spec_of(c.format);
        std::vector<uint8_t> out = {0xEE};
        std::string error;
        bool ok = field_encode(def, c.value, &out, &error);
        SCOPED_TRACE(std::string(c.format) + " '" + c.value + "'");
        if (c.bytes.empty()) {
            EXPECT_FALSE(ok);
            EXPECT_THAT(error, HasSubstr(c.error));
            EXPECT_THAT(out, ElementsAre(0xEE)) << "left unchanged";
        } else {
            EXPECT_TRUE(ok) << error;
            EXPECT_EQ(out, c.bytes);
        }
    }
}

struct check_case {
    const char* label;
    std::vector<field_spec> fields;
    const char* fault;  // "": fine
};

field_spec field(const char* name, const char* format, uint32_t address, field_kind kind = FIELD_COUNTER)
{
    field_spec def = spec_of(format, kind, address);
    def.name = name;
    if (kind == FIELD_LIST)
        def.list = "values.txt";
    if (kind == FIELD_VALUE)
        def.value = "1";
    return def;
}

field_spec with(field_spec def, void (*change)(field_spec&))
{
    change(def);
    return def;
}

// The image in these cases: 0x1000..0x10FF.
const check_case check_cases[] = {
    {"fields at both ends", {field("a", "le32", 0x1000), field("b", "bytes4", 0x10FC, FIELD_LIST)}, ""},
    {"adjacent fields", {field("a", "le16", 0x1010), field("b", "text2", 0x1012, FIELD_VALUE)}, ""},
    {"one byte past the end",
     {field("serial", "le32", 0x10FD)},
     "field 'serial' at 0x000010FD..0x00001100 lies outside the image 0x00001000..0x000010FF"},
    {"one byte before the start", {field("a", "be16", 0x0FFF)}, "field 'a' at 0x00000FFF..0x00001000 lies outside"},
    {"far past the end", {field("a", "le32", 0xFFFFFFFE)}, "field 'a' at 0xFFFFFFFE..0x100000001 lies outside"},
    {"one shared byte",
     {field("a", "le32", 0x1010), field("b", "dec4", 0x1013)},
     "field 'b' at 0x00001013..0x00001016 overlaps field 'a' at 0x00001010..0x00001013; give each field bytes of its "
     "own"},
    {"one inside another, listed first",
     {field("b", "le8", 0x1012), field("a", "le64", 0x1010)},
     "field 'b' at 0x00001012..0x00001012 overlaps field 'a'"},
    {"one name twice", {field("a", "le8", 0x1010), field("a", "le8", 0x1020)}, "two fields are named 'a'"},
    {"a name starting with a digit", {field("9a", "le8", 0x1010)}, "'9a' is not a field name"},
    {"a name with a dash", {field("a-b", "le8", 0x1010)}, "'a-b' is not a field name"},
    {"step 0", {with(field("s", "le8", 0x1010), [](field_spec& f) { f.step = 0; })}, "its step is 0"},
    {"last below start",
     {with(field("s", "le8", 0x1010), [](field_spec& f) { f.start = 5, f.last = 4; })},
     "its last value 4 is below its start 5"},
    {"last equal to start", {with(field("s", "le8", 0x1010), [](field_spec& f) { f.start = 5, f.last = 5; })}, ""},
    {"last past the width",
     {with(field("s", "le8", 0x1010), [](field_spec& f) { f.last = 256; })},
     "field 's': 256 does not fit in le8 (at most 255)"},
    {"start wider than its digits",
     {with(field("s", "dec2", 0x1010), [](field_spec& f) { f.start = 100; })},
     "100 does not fit in dec2 (at most 99)"},
    {"start the widest the digits hold", {with(field("s", "hex2", 0x1010), [](field_spec& f) { f.start = 255; })}, ""},
    {"a counter in text", {field("s", "text4", 0x1010)}, "counts, so its format must be le, be, dec or hex, not text4"},
    {"a list without its file",
     {with(field("m", "bytes6", 0x1010, FIELD_LIST), [](field_spec& f) { f.list.clear(); })},
     "field 'm' takes its values from a list, but names no list file"},
    {"a value not given",
     {with(field("k", "text8", 0x1010, FIELD_VALUE), [](field_spec& f) { f.value.clear(); })},
     "field 'k' has no value; give one with --set k=VALUE"},
    {"a value its encoding refuses",
     {with(field("k", "bytes2", 0x1010, FIELD_VALUE), [](field_spec& f) { f.value = "0011FF"; })},
     "field 'k': '0011FF' is 3 bytes; bytes2 takes exactly 2"},
    {"an integer wider than 8 bytes",
     {with(field("s", "le32", 0x1010), [](field_spec& f) { f.width = 9; })},
     "field 's': its width of 9 does not suit its encoding"},
};

TEST(fields_check, finds_the_first_fault_and_names_the_field)
{
    for (const check_case& c : check_cases) {
        std::string fault = fields_check(c.fields, 0x1000, 0x100);
        if (*c.fault)
            EXPECT_THAT(fault, HasSubstr(c.fault)) << c.label;
        else
            EXPECT_EQ(fault, "") << c.label;
    }
}

TEST(fields_check, an_empty_image_holds_no_field)
{
    EXPECT_THAT(fields_check({field("a", "le8", 0x1000)}, 0x1000, 0), HasSubstr("lies outside the image (empty)"));
    EXPECT_EQ(fields_check({}, 0x1000, 0), "");
}

struct patch_test : testing::Test {
    image img;
    std::vector<field_spec> fields = {field("serial", "le16", 0x1002), field("name", "text4", 0x100C, FIELD_VALUE)};
    patch_test()
    {
        img.addr = 0x1000;
        img.bytes.assign(16, 0xFF);
    }
};

TEST_F(patch_test, writes_each_value_at_its_address_and_nothing_else)
{
    image out;
    std::string error;
    ASSERT_TRUE(fields_patch(img, fields, {{"name", "ab"}, {"serial", "0x1234"}}, &out, &error)) << error;
    EXPECT_THAT(out.bytes, ElementsAre(0xFF, 0xFF, 0x34, 0x12, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 'a', 'b',
                                       0x00, 0x00));
    EXPECT_EQ(out.addr, 0x1000u);
    EXPECT_EQ(img.bytes, std::vector<uint8_t>(16, 0xFF)) << "the image itself is not touched";
}

TEST_F(patch_test, refuses_a_missing_a_stray_or_a_bad_value_and_leaves_the_copy_alone)
{
    struct row {
        std::vector<field_value> values;
        const char* error;
    };
    const row rows[] = {
        {{{"serial", "1"}}, "field 'name' has no value for this board"},
        {{{"serial", "1"}, {"name", "x"}, {"mac", "1"}}, "a value is given for 'mac', but the job has no field"},
        {{{"serial", "65536"}, {"name", "x"}}, "field 'serial': 65536 does not fit in le16"},
    };
    for (const row& r : rows) {
        image out;
        out.name = "untouched";
        std::string error;
        EXPECT_FALSE(fields_patch(img, fields, r.values, &out, &error));
        EXPECT_THAT(error, HasSubstr(r.error));
        EXPECT_EQ(out.name, "untouched");
    }
    image out;
    std::string error;
    fields[0].address = 0x100F;
    EXPECT_FALSE(fields_patch(img, fields, {{"serial", "1"}, {"name", "x"}}, &out, &error));
    EXPECT_THAT(error, HasSubstr("lies outside the image"));
}

// "0x0001F000 le32 1000+1..-": where, how, and the range, to compare whole.
std::string shape(const field_spec& f)
{
    char address[16];
    std::snprintf(address, sizeof address, "0x%08X", f.address);
    return std::string(address) + " " + field_format_name(f.encoding, f.width) + " " + std::to_string(f.start) + "+" +
           std::to_string(f.step) + ".." + (f.last ? std::to_string(*f.last) : "-");
}

TEST(field_parse_serial, reads_address_format_and_range)
{
    const std::pair<const char*, const char*> rows[] = {
        {"0x1F000:le32:1000", "0x0001F000 le32 1000+1..-"},
        {"0x1F000:dec8:1:1:99999999", "0x0001F000 dec8 1+1..99999999"},
        {"126976:be16:0x10:2", "0x0001F000 be16 16+2..-"},
        {"0XFFFFFFFF:hex4:0:3:0xFFF", "0xFFFFFFFF hex4 0+3..4095"},
    };
    for (const auto& [text, expected] : rows) {
        field_spec def;
        std::string error;
        ASSERT_TRUE(field_parse_serial(text, &def, &error)) << text << ": " << error;
        EXPECT_EQ(shape(def), expected);
        EXPECT_EQ(def.name, "serial");
        EXPECT_EQ(def.kind, FIELD_COUNTER);
    }
}

TEST(field_parse_serial, refuses_with_what_is_allowed)
{
    struct row {
        const char* text;
        const char* error;
    };
    const row rows[] = {
        {"0x1F000:le32", "--serial 0x1F000:le32: it has 2 parts, not 3 to 5; give ADDR:FORMAT:START"},
        {"1:le32:1:1:1:1", "it has 6 parts"},
        {"", "it has 1 parts"},
        {"x:le32:1", "the address 'x' is not a 32-bit number"},
        {"0x100000000:le32:1", "the address '0x100000000' is not a 32-bit number"},
        {"0:le33:1", "'le33' is not a field format"},
        {"0:le32:one", "the start 'one' is not a number"},
        {"0:le32:1:two", "the step 'two' is not a number"},
        {"0:le32:1:1:", "the last '' is not a number"},
        {"0:text4:1", "its format must be le, be, dec or hex"},
        {"0:le8:1:0", "its step is 0"},
        {"0:dec2:100", "100 does not fit in dec2"},
        {"0:le32:5:1:4", "its last value 4 is below its start 5"},
    };
    for (const row& r : rows) {
        field_spec def;
        def.name = "untouched";
        std::string error;
        EXPECT_FALSE(field_parse_serial(r.text, &def, &error)) << r.text;
        EXPECT_THAT(error, HasSubstr(r.error)) << r.text;
        EXPECT_EQ(def.name, "untouched");
    }
}

TEST(field_parse_set, splits_at_the_first_equals_sign)
{
    struct row {
        const char* text;
        const char* name;   // nullptr: refused
        const char* value;
    };
    const row rows[] = {
        {"mac=00:11:22", "mac", "00:11:22"}, {"key==x", "key", "=x"}, {"label=", "label", ""},
        {"_b2=a b", "_b2", "a b"},           {"noequals", nullptr, ""}, {"=v", nullptr, ""},
        {"1a=v", nullptr, ""},               {"a b=v", nullptr, ""},
    };
    for (const row& r : rows) {
        std::string name, value, error;
        bool ok = field_parse_set(r.text, &name, &value, &error);
        EXPECT_EQ(ok, r.name != nullptr) << r.text;
        if (r.name) {
            EXPECT_EQ(name, r.name);
            EXPECT_EQ(value, r.value);
        } else {
            EXPECT_THAT(error, HasSubstr("--set " + std::string(r.text) + ": give NAME=VALUE"));
        }
    }
}

}  // namespace
