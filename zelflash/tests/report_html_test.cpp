// The report's page and its charts: text from the logs escaped byte for
// byte, figures written so they read back exactly, bars drawn to scale with
// their keys, and a page of hostile names that stays UTF-8 text with no
// script. (report_html_test.py drives the executable: the page parsed, its
// figures against --json, printed by Chromium.)
#include "report/report_chart.h"
#include "report/report_page.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <regex>

namespace {

using testing::HasSubstr;
using testing::Not;

struct escape_case {
    std::string in, out;
};

void PrintTo(const escape_case& c, std::ostream* out)
{
    for (unsigned char b : c.in)
        *out << "\\x" << std::hex << static_cast<int>(b);
}

class report_escaping : public testing::TestWithParam<escape_case> {};

TEST_P(report_escaping, gives_text_that_cannot_be_markup_or_raw_bytes)
{
    EXPECT_EQ(report_escape(GetParam().in), GetParam().out);
}

const std::string fffd = "\xEF\xBF\xBD";

INSTANTIATE_TEST_SUITE_P(
    report_html, report_escaping,
    testing::Values(escape_case{"<script>alert('x')</script>", "&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;"},
                    escape_case{"a\"b&c", "a&quot;b&amp;c"},
                    escape_case{"plain /dev/ttyUSB0", "plain /dev/ttyUSB0"},
                    escape_case{"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
                    escape_case{"\xFF", fffd},                             // never a UTF-8 byte
                    escape_case{"\xC0\xAF", fffd + fffd},                  // an overlong "/"
                    escape_case{"\xE0\x80\xAF", fffd + fffd + fffd},       // an overlong "/" in three
                    escape_case{"\xED\xA0\x80", fffd + fffd + fffd},       // a surrogate
                    escape_case{"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},  // past U+10FFFF
                    escape_case{"a\xE2\x82", "a" + fffd + fffd},           // cut short
                    escape_case{"\x1B[2J\xC2\x9B", fffd + "[2J" + fffd},   // ESC and the C1 CSI
                    escape_case{"\t\n\x7F", fffd + fffd + fffd},
                    escape_case{"\xEF\xBF\xBE\xEF\xB7\x90", fffd + fffd},  // noncharacters U+FFFE, U+FDD0
                    escape_case{"\xF4\x8F\xBF\xBD", "\xF4\x8F\xBF\xBD"}));  // U+10FFFD, the last allowed

TEST(report_html, numbers_read_back_as_the_same_double_and_counts_as_integers)
{
    for (double v : {0.0, 1.0, 0.1, 6.333333333333333, 7.890000000000001, 1e-7, 1e300, 123456789.125, 2.5e15})
        EXPECT_EQ(std::strtod(report_number(v).c_str(), nullptr), v) << report_number(v);
    EXPECT_EQ(report_number(42), "42");
    EXPECT_EQ(report_number(0), "0");
    EXPECT_EQ(report_number(9007199254740991.0), "9007199254740991");
    EXPECT_EQ(report_number(0.5), "0.5");
}

// The attributes of each <rect> in order: its key, value and height.
struct drawn {
    std::string key, value;
    double height = 0, width = 0;
};

std::vector<drawn> rects(const std::string& svg)
{
    std::vector<drawn> out;
    std::regex rect("<rect class=\"\\w+\" x=\"[-0-9.]+\" y=\"[-0-9.]+\" width=\"([-0-9.]+)\" height=\"([-0-9.]+)\" "
                    "data-key=\"([^\"]*)\" data-value=\"([^\"]*)\">");
    for (auto it = std::sregex_iterator(svg.begin(), svg.end(), rect); it != std::sregex_iterator(); ++it)
        out.push_back({(*it)[3], (*it)[4], std::stod((*it)[2]), std::stod((*it)[1])});
    return out;
}

TEST(report_html, columns_stack_their_pieces_to_scale_with_their_keys)
{
    report_column_chart c;
    c.title = "t";
    c.places = 3;
    c.columns = {{0, "a", {{6, "/k/0/good", "good", "programmed"}, {2, "/k/0/bad", "bad", "failed"}}, 0.75, "/s0"},
                 {2, "b", {{4, "/k/1/good", "good", "programmed"}}, 1.0, "/s1"}};
    c.with_share = true;
    std::vector<drawn> got = rects(report_columns_svg(c));
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].key, "/k/0/good");
    EXPECT_EQ(got[0].value, "6");
    EXPECT_EQ(got[1].key, "/k/0/bad");
    EXPECT_EQ(got[2].value, "4");
    // The tallest stack (8) fills the plot: 6 of 8 is three quarters of it,
    // and the second column half of the first stack.
    EXPECT_DOUBLE_EQ(got[0].height / (got[0].height + got[1].height), 0.75);
    EXPECT_DOUBLE_EQ(got[2].height * 2, got[0].height + got[1].height);
    EXPECT_THAT(report_columns_svg(c), HasSubstr("data-key=\"/s0\" data-value=\"0.75\""));
}

TEST(report_html, bars_scale_to_the_longest_and_an_empty_chart_says_none)
{
    std::vector<report_bar> bars = {{"<p1>", {{3, "/p/0", "good", "programmed"}, {1, "/p/1", "bad", "failed"}}, "x"},
                                    {std::string(40, 'q'), {{2, "/p/2", "bad", "failed"}}, ""}};
    std::string svg = report_bars_svg("ports", bars);
    std::vector<drawn> got = rects(svg);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_DOUBLE_EQ(got[2].width * 2, got[0].width + got[1].width);
    EXPECT_THAT(svg, HasSubstr(">&lt;p1&gt;</text>"));
    EXPECT_THAT(svg, HasSubstr(">" + std::string(30, 'q') + "\xE2\x80\xA6</text>"));  // cut, whole in its title
    EXPECT_THAT(svg, HasSubstr("<title>" + std::string(40, 'q') + ": 2 failed</title>"));
    EXPECT_THAT(report_bars_svg("none here", {}), HasSubstr(">none</text>"));
}

std::string hostile_line(const std::string& port, const std::string& outcome)
{
    nlohmann::json j = {{"start", "2026-03-02T08:00:00.000Z"}, {"port", port}, {"serial", nullptr},
                        {"image", "<img src=x>"}, {"image_sha256", "ab"}, {"file_sha256", nullptr},
                        {"seconds", 3.5}, {"outcome", outcome}, {"link", nullptr},
                        {"labels", {{"lot", "</style><script>x()</script>"}}}};
    return j.dump() + "\n";
}

// Whatever the logs hold, the page is UTF-8 that carries no script and no
// control character, for every grouping.
TEST(report_html, a_page_of_hostile_names_is_text_without_script)
{
    report_data d;
    report_read_text(hostile_line("<script>alert(1)</script>", "<b onload=x>") +
                         hostile_line("\x1B[2J\"'&", "programmed") + "\xFF\xFE not a record\n",
                     "log\xC0\xAF<script>.jsonl", &d);
    for (const report_grouping& g : {report_grouping{}, report_grouping{REPORT_BY_IMAGE, ""},
                                     report_grouping{REPORT_BY_LABEL, "lot"}}) {
        std::string page = report_page(d, g);
        EXPECT_NO_THROW((void)nlohmann::json(page).dump()) << "not UTF-8";
        EXPECT_THAT(page, Not(HasSubstr("<script")));
        EXPECT_THAT(page, Not(HasSubstr("<b ")));
        EXPECT_THAT(page, Not(HasSubstr("<img")));
        EXPECT_THAT(page, Not(HasSubstr("</style><")));
        EXPECT_THAT(page, HasSubstr("&lt;script&gt;alert(1)&lt;/script&gt;"));
        EXPECT_THAT(page, HasSubstr("log" + fffd + fffd + "&lt;script&gt;.jsonl"));
        EXPECT_EQ(page.find_first_of(std::string("\x00\x01\x1B\x7F\r\t", 6)), std::string::npos);
    }
    EXPECT_THAT(report_page(d, {REPORT_BY_LABEL, "lot"}), HasSubstr("&lt;/style&gt;&lt;script&gt;x()"));
}

TEST(report_html, the_page_prints_on_a4_and_forbids_anything_from_outside)
{
    report_data d;
    report_read_text(hostile_line("p", "programmed"), "a.log", &d);
    std::string page = report_page(d, {});
    EXPECT_EQ(page.rfind("<!DOCTYPE html>\n", 0), 0u);
    EXPECT_THAT(page, HasSubstr("@page { size: A4;"));
    EXPECT_THAT(page, HasSubstr("@media print {"));
    EXPECT_THAT(page, HasSubstr("content=\"default-src 'none'; style-src 'unsafe-inline'\""));
    EXPECT_THAT(page, Not(HasSubstr(" src=")));
    EXPECT_THAT(page, Not(HasSubstr(" href=")));
}

}  // namespace
