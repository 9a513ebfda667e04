// A board-log line read by the quick scan and by the JSON parser: one
// answer, field for field and reason for reason; the lines a station
// writes for its boards are the scan's, the odd ones and the notes the
// parser's.
#include "report/report_record.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>

namespace {

const std::string station_line =
    R"({"address":4096,"bytes":60044,"end":"2026-03-02T08:00:07.123Z","error":null,"file_sha256":"f1",)"
    R"("image":"fw.hex","image_sha256":"ab12","labels":{"lot":"A7","station":"st 07"},"link":{"bad_frames":2,)"
    R"("frames":240,"late_replies":1,"quiet_ms":0,"quiet_waits":0,"resends":3,"unasked_acks":0},"log_version":2,)"
    R"("outcome":"programmed","outcome_key":"programmed","port":"/dev/ttyUSB0","retries":0,"seconds":7.123,)"
    R"("serial":"A50285BI",)"
    R"("start":"2026-03-02T08:00:00.000Z","total":60044,"usb_id":"0403:6001","values":{"mac":"00:1B:44:11:3A:B7"}})";

// Every field, the seconds to the last bit.
std::string fields_of(const report_record& r)
{
    char seconds[40];
    std::snprintf(seconds, sizeof seconds, "%a", r.seconds);
    std::string text = r.start + "|" + r.port + "|" + r.serial + "|" + r.image + "|" + r.image_sha256 + "|" +
                       r.file_sha256 + "|" + seconds + "|" + r.outcome + "|" + r.outcome_key + "|";
    for (uint64_t n : {r.link.frames, r.link.resends, r.link.late_replies, r.link.bad_frames, r.link.quiet_waits,
                       r.link.unasked_acks})
        text += std::to_string(n) + ",";
    for (const auto& [name, value] : r.labels)
        text += "|" + name + "=" + value;
    return text + "|slot " + (r.slot ? std::to_string(*r.slot) : "none") + "|board " + r.board_value;
}

// "record: FIELDS", "note: KIND" or "rejected: REASON".
std::string answer(bool accepted, const report_record& r, const std::string& why)
{
    if (accepted && r.note)
        return "note: " + *r.note;
    return accepted ? "record: " + fields_of(r) : "rejected: " + why;
}

std::string by_parser(std::string_view line, std::string_view value_name)
{
    report_record r;
    std::string why;
    bool accepted = report_record_parse_json(line, &r, &why, value_name);
    return answer(accepted, r, why);
}

// The answer of report_record_parse, which must be the parser's; whether
// the scan took the line in *scanned. `value_name`: the field of the
// values kept.
std::string expect_one_answer(std::string_view line, bool* scanned = nullptr, std::string_view value_name = {})
{
    report_record r = {}, scan = {};
    scan.labels["left"] = "over";  // a record used again: the scan starts afresh
    scan.slot = 9;
    scan.board_value = "left over";
    scan.note = "left over";
    std::string why;
    bool took = report_record_scan(line, &scan, value_name);
    std::string both = answer(report_record_parse(line, &r, &why, value_name), r, why);
    EXPECT_EQ(both, by_parser(line, value_name)) << line;
    if (took) {
        EXPECT_EQ("record: " + fields_of(scan), both) << line;
    }
    if (scanned != nullptr)
        *scanned = took;
    return both;
}

// `station_line` with `key`'s value replaced by `value` (the text after "KEY":).
std::string with(const std::string& key, const std::string& value)
{
    std::string line = station_line;
    size_t at = line.find("\"" + key + "\":") + key.size() + 3;
    size_t depth = 0, end = at;
    for (bool quoted = false; end < line.size(); ++end) {
        char c = line[end];
        if (c == '"')
            quoted = !quoted;
        else if (!quoted && (c == '{' || c == '['))
            ++depth;
        else if (!quoted && (c == '}' || c == ']') && depth-- == 0)
            break;
        else if (!quoted && c == ',' && depth == 0)
            break;
    }
    return line.replace(at, end - at, value);
}

// The line as 1.1.0 wrote it: no outcome key, no version.
std::string as_1_1_0()
{
    std::string line = station_line;
    for (std::string_view key : {R"("log_version":2,)", R"("outcome_key":"programmed",)"})
        line.erase(line.find(key), key.size());
    return line;
}

// `station_line` with `member` ("KEY":VALUE) as its first member.
std::string plus(const std::string& member)
{
    return "{" + member + "," + station_line.substr(1);
}

const std::string note_line = R"({"log_version":2,"note":"still_in_loader","time":"2026-12-09T10:15:09.500Z",)"
                              R"("port":"/dev/ttyUSB2","slot":3,"values":{"serial":"1017"}})";

struct line_case {
    const char* label;
    std::string line;
    std::string value_name = "";  // the field of the values kept
};

void PrintTo(const line_case& c, std::ostream* out)
{
    *out << c.label;
}

class scanned : public testing::TestWithParam<line_case> {};

TEST_P(scanned, lines_a_station_writes_are_read_by_the_scan_as_the_parser_reads_them)
{
    bool took = false;
    EXPECT_EQ(expect_one_answer(GetParam().line, &took, GetParam().value_name).substr(0, 7), "record:");
    EXPECT_TRUE(took) << "left to the parser";
}

INSTANTIATE_TEST_SUITE_P(report_record, scanned, testing::Values(
    line_case{"as_written", station_line},
    line_case{"without_a_serial", with("serial", "null")},
    line_case{"embedded_image", with("file_sha256", "null")},
    line_case{"never_ran", with("link", "null")},
    line_case{"older_log_without_labels", with("labels", "{}")},
    line_case{"older_log_without_the_outcome_key", as_1_1_0()},
    line_case{"an_outcome_key_of_a_later_version", with("outcome_key", R"("power_lost")")},
    line_case{"seconds_as_an_integer", with("seconds", "7")},
    line_case{"seconds_with_an_exponent", with("seconds", "7.123e-1")},
    line_case{"seconds_beyond_64_bits", with("seconds", "123456789012345678901234567890")},
    line_case{"a_label_twice_keeps_the_last", with("labels", R"({"lot":"A7","lot":"B8"})")},
    line_case{"blanks_everywhere", " { \"start\" : \"s\" ,\t\"port\":\"p\",\"serial\":null,\"image\":\"i\",\r"
                                   "\"image_sha256\":\"d\",\"file_sha256\":null,\"seconds\":0,\"outcome\":\"o\","
                                   "\"link\":null } \r"},
    line_case{"other_keys_nested", with("error", R"({"a":[1,-2.5e3,true,false,null,{"b":[]}],"c":{}})")},
    line_case{"link_with_a_key_of_its_own", with("link", R"({"frames":1,"resends":0,"late_replies":0,)"
                                                         R"("bad_frames":0,"quiet_waits":0,"unasked_acks":0,"x":[1]})")},
    line_case{"a_fixtures_slot", plus(R"("slot":3)")},
    line_case{"slot_0", plus(R"("slot":0)")},
    line_case{"slot_at_64_bits", plus(R"("slot":18446744073709551615)")},
    line_case{"the_board_value_kept", station_line, "mac"},
    line_case{"a_board_value_twice_keeps_the_last", with("values", R"({"mac":"a","serial":"7","mac":"b"})"), "mac"},
    line_case{"a_board_value_missing", station_line, "serial"},
    line_case{"a_board_value_empty", with("values", R"({"serial":""})"), "serial"},
    line_case{"a_slot_and_a_board_value", plus(R"("slot":2)"), "mac"},
    line_case{"a_record_with_a_note_is_a_record", plus(R"("note":"still_in_loader")")},
    line_case{"a_record_with_a_note_of_another_type", plus(R"("note":7)")}),
    [](const auto& info) { return std::string(info.param.label); });

class parsed : public testing::TestWithParam<line_case> {};

TEST_P(parsed, odd_lines_are_left_to_the_parser_and_get_its_answer)
{
    bool took = true;
    expect_one_answer(GetParam().line, &took, GetParam().value_name);
    EXPECT_FALSE(took) << "the scan read it";
}

INSTANTIATE_TEST_SUITE_P(report_record, parsed, testing::Values(
    line_case{"an_escape", with("port", R"("COM\u0037")")},
    line_case{"a_quote_escaped", with("image", R"("a\"b")")},
    line_case{"not_ascii", with("labels", "{\"operator\":\"J\xC3\xBCrgen\"}")},
    line_case{"bad_utf8", with("port", "\"\xC3\"")},
    line_case{"negative_seconds", with("seconds", "-1")},
    line_case{"negative_zero_seconds", with("seconds", "-0")},
    line_case{"seconds_too_large", with("seconds", "1e400")},
    line_case{"a_key_not_read_too_large", with("bytes", "4e9152")},
    line_case{"a_key_not_read_too_small", with("bytes", "1e-9152")},
    line_case{"seconds_as_text", with("seconds", "\"7\"")},
    line_case{"a_negative_count", with("link", R"({"frames":-1,"resends":0,"late_replies":0,"bad_frames":0,)"
                                               R"("quiet_waits":0,"unasked_acks":0})")},
    line_case{"a_count_with_a_point", with("link", R"({"frames":1.0,"resends":0,"late_replies":0,"bad_frames":0,)"
                                                   R"("quiet_waits":0,"unasked_acks":0})")},
    line_case{"a_count_past_64_bits", with("link", R"({"frames":18446744073709551616,"resends":0,"late_replies":0,)"
                                                   R"("bad_frames":0,"quiet_waits":0,"unasked_acks":0})")},
    line_case{"a_count_missing", with("link", R"({"frames":1,"resends":0})")},
    line_case{"a_count_twice", with("link", R"({"frames":1,"frames":2,"resends":0,"late_replies":0,)"
                                            R"("bad_frames":0,"quiet_waits":0,"unasked_acks":0})")},
    line_case{"a_key_twice", "{\"start\":\"a\"," + station_line.substr(1)},
    line_case{"a_key_missing", with("outcome", "0").replace(station_line.find("\"outcome\""), 9, "\"outcome_\"")},
    line_case{"labels_null", with("labels", "null")},
    line_case{"outcome_key_null", with("outcome_key", "null")},
    line_case{"outcome_key_escaped", with("outcome_key", R"("no\u005fanswer")")},
    line_case{"values_not_text", with("values", R"({"n":1})")},
    line_case{"serial_a_number", with("serial", "17")},
    line_case{"a_leading_zero", with("retries", "01")},
    line_case{"a_point_and_nothing", with("retries", "1.")},
    line_case{"a_plus", with("retries", "+1")},
    line_case{"deep", with("error", std::string(20, '[') + std::string(20, ']'))},
    line_case{"a_byte_order_mark", "\xEF\xBB\xBF" + station_line},
    line_case{"something_after", station_line + "x"},
    line_case{"two_objects", station_line + station_line},
    line_case{"an_array", "[" + station_line + "]"},
    line_case{"cut_short", station_line.substr(0, 200)},
    line_case{"a_nul", with("port", std::string("\"a\0b\"", 5))},
    line_case{"a_note", note_line},
    line_case{"a_note_of_few_words", R"({"note":"x"})"},
    line_case{"a_note_not_text", R"({"note":7,"slot":3})"},
    line_case{"a_note_null", R"({"note":null})"},
    line_case{"a_note_escaped", R"({"note":"still\u005fin_loader"})"},
    line_case{"a_note_cut_short", note_line.substr(0, 40)},
    line_case{"slot_negative", plus(R"("slot":-1)")},
    line_case{"slot_negative_zero", plus(R"("slot":-0)")},
    line_case{"slot_with_a_point", plus(R"("slot":3.0)")},
    line_case{"slot_with_an_exponent", plus(R"("slot":3e0)")},
    line_case{"slot_past_64_bits", plus(R"("slot":18446744073709551616)")},
    line_case{"slot_as_text", plus(R"("slot":"3")")},
    line_case{"slot_null", plus(R"("slot":null)")},
    line_case{"slot_twice", plus(R"("slot":1,"slot":2)")},
    line_case{"a_board_value_escaped", with("values", R"({"ma\u0063":"x"})"), "mac"},
    line_case{"a_board_value_not_text", with("values", R"({"mac":1})"), "mac"}),
    [](const auto& info) { return std::string(info.param.label); });

// Lines a byte or two away from a station's (a board's record, one of a
// fixture's slot, a note), the values read with and without a board key:
// wherever the scan stops, the answer is the parser's.
TEST(report_record, lines_changed_at_random_get_the_parsers_answer)
{
    const std::string alphabet = "{}[]:,\"\\ 0123456789.eE+-tfnul\xC3\x80x";
    const std::string lines[] = {station_line, plus(R"("slot":3)"), note_line};
    const std::string_view value_names[] = {"", "mac"};
    size_t taken = 0, refused = 0, notes = 0;
    for (uint32_t seed = 1; seed <= 6000; ++seed) {
        std::mt19937 random(seed);
        std::string line = lines[seed % std::size(lines)];
        for (uint32_t n = random() % 3 + 1; n-- > 0;) {
            size_t at = random() % line.size();
            char c = alphabet[random() % alphabet.size()];
            switch (random() % 3) {
            case 0: line[at] = c; break;
            case 1: line.insert(line.begin() + static_cast<std::ptrdiff_t>(at), c); break;
            default: line.erase(at, 1);
            }
        }
        bool took = false;
        std::string got = expect_one_answer(line, &took, value_names[seed / 3 % 2]);
        taken += took ? 1 : 0;
        refused += got.starts_with("rejected") ? 1 : 0;
        notes += got.starts_with("note") ? 1 : 0;
        if (testing::Test::HasFailure())
            FAIL() << "seed " << seed;
    }
    EXPECT_GT(taken, 300u) << "the scan took too few to tell";
    EXPECT_GT(refused, 300u) << "too few lines were refused to tell";
    EXPECT_GT(notes, 300u) << "too few notes to tell";
}

}  // namespace
