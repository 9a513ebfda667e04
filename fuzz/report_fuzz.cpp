// Fuzz target for the yield report: board-log text -> the reader's lines,
// records and rejects -> the figures, grouped -> the text and JSON outputs.
//
// Input: byte 0 chooses the setup, the rest is the logs' text.
//   bits 0-1: grouping: none, image, label:lot, label:station
//   bits 2-7: the reader is fed in pieces of 1..64 bytes
// A NUL byte in the text ends the first log and starts a second one.
//
// Checked against a count of its own: in each log, every non-blank line is
// a record, a note or rejected, and a last line without its end is rejected
// as incomplete; every group's programmed and failed boards make its boards,
// and the groups add up to the total. Every line the quick scan takes, the
// JSON parser takes too, and reads alike.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <tuple>

#include <nlohmann/json.hpp>

#include "base/texts.h"
#include "report/yield_report.h"

namespace {

void check(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "report_fuzz: %s\n", what);
        std::abort();
    }
}

bool blank(std::string_view line)
{
    return line.find_first_not_of(" \t\r") == std::string_view::npos;
}

// Non-blank lines and whether the last one has no end, counted plainly.
void count_lines(std::string_view text, uint64_t* lines, uint64_t* incomplete)
{
    while (!text.empty()) {
        size_t end = text.find('\n');
        if (!blank(text.substr(0, end))) {
            ++*lines;
            *incomplete += end == std::string_view::npos ? 1 : 0;
        }
        if (end == std::string_view::npos)
            return;
        text.remove_prefix(end + 1);
    }
}

void read_log(std::string_view text, const char* name, size_t piece, report_data* d)
{
    report_reader reader(name, d);
    for (size_t at = 0; at < text.size(); at += piece)
        reader.feed(text.substr(at, piece));
    reader.finish();
}

bool same_record(const report_record& a, const report_record& b)
{
    auto fields = [](const report_record& r) {
        return std::tie(r.start, r.port, r.serial, r.image, r.image_sha256, r.file_sha256, r.outcome, r.outcome_key,
                        r.labels, r.slot, r.note);
    };
    const report_link& x = a.link;
    const report_link& y = b.link;
    return fields(a) == fields(b) && std::memcmp(&a.seconds, &b.seconds, sizeof a.seconds) == 0 &&
           std::tie(x.frames, x.resends, x.late_replies, x.bad_frames, x.quiet_waits, x.unasked_acks) ==
               std::tie(y.frames, y.resends, y.late_replies, y.bad_frames, y.quiet_waits, y.unasked_acks);
}

void check_scan(std::string_view text)
{
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        report_record scanned, parsed;
        std::string why;
        if (report_record_scan(line, &scanned))
            check(report_record_parse_json(line, &parsed, &why) && same_record(scanned, parsed),
                  "the scan read a line otherwise than the JSON parser");
        if (end == std::string_view::npos)
            return;
        text.remove_prefix(end + 1);
    }
}

void check_summary(const report_summary& s)
{
    check(s.programmed + s.failed == s.boards, "programmed + failed != boards");
    check(s.first_pass <= s.distinct_boards && s.distinct_boards <= s.boards, "first pass out of range");
    uint64_t failures = 0, port_boards = 0;
    for (const auto& [outcome, n] : s.failures)
        failures += n;
    for (const report_port& p : s.ports)
        port_boards += p.boards;
    check(failures == s.failed, "failures by reason != failed");
    check(port_boards == s.boards, "ports' boards != boards");
    check(s.median_seconds.has_value() == (s.programmed > 0), "a median without programmed boards");
}

void check_tally(const report_data& d, const report_grouping& g)
{
    report_tally t = report_tally_up(d, g);
    check_summary(t.total);
    check(t.total.boards == d.accepted, "total boards != records");
    report_summary sum;
    for (const report_group& group : t.groups) {
        check_summary(group.summary);
        sum.boards += group.summary.boards;
        sum.distinct_boards += group.summary.distinct_boards;
        sum.first_pass += group.summary.first_pass;
    }
    if (g.by != REPORT_BY_NONE) {
        check(sum.boards == t.total.boards, "groups' boards != total");
        check(sum.distinct_boards == t.total.distinct_boards, "groups' distinct boards != total");
        check(sum.first_pass == t.total.first_pass, "groups' first pass != total");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    static const report_grouping groupings[] = {
        {REPORT_BY_NONE, ""}, {REPORT_BY_IMAGE, ""}, {REPORT_BY_LABEL, "lot"}, {REPORT_BY_LABEL, "station"}};
    const report_grouping& grouping = groupings[data[0] & 3];
    size_t piece = 1 + (data[0] >> 2);
    std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    size_t split = std::min(text.find('\0'), text.size());
    std::string_view logs[] = {text.substr(0, split), split < text.size() ? text.substr(split + 1) : ""};

    report_data d;
    uint64_t lines = 0, incomplete = 0;
    for (int i = 0; i < (split < text.size() ? 2 : 1); ++i) {
        read_log(logs[i], i ? "b.log" : "a.log", piece, &d);
        count_lines(logs[i], &lines, &incomplete);
        check_scan(logs[i]);
    }
    check(d.lines == lines, "lines read != non-blank lines");
    check(d.accepted + d.rejected + d.notes == d.lines, "accepted + rejected + notes != lines");
    check(d.incomplete == incomplete, "incomplete last lines miscounted");
    check(d.rejections.size() == std::min<uint64_t>(d.rejected, REPORT_KEPT_REJECTIONS), "rejections kept");
    check_tally(d, grouping);

    std::string shown = report_text(d, grouping);
    check(std::all_of(shown.begin(), shown.end(), [](char c) { return c == '\n' || (c >= 0x20 && c != 0x7f) || c < 0; }),
          "a control character in the text");
    check(!json_text(report_json(d, grouping)).empty(), "no JSON");
    return 0;
}
