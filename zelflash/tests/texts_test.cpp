// Counts with their nouns, and JSON that any name can go into.
#include "texts.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace {

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
        EXPECT_EQ(text.find('\n'), std::string::npos) << "one line";
    }
}

TEST(texts, indented_json_for_the_port_list)
{
    EXPECT_EQ(json_text(nlohmann::json::array({"a"}), 2), "[\n  \"a\"\n]");
}

}  // namespace
