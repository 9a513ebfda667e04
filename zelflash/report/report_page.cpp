#include "report/report_page.h"

#include <algorithm>
#include <cstdio>

#include "report/report_chart.h"

namespace {

const char style_sheet[] = R"(@page { size: A4; margin: 14mm; }
body { font: 10pt/1.35 sans-serif; color: #111; max-width: 180mm; margin: 0 auto; padding: 8px; }
h1 { font-size: 16pt; margin: 0 0 6px; }
h2 { font-size: 13pt; border-bottom: 1px solid #999; margin: 14px 0 6px; }
table { border-collapse: collapse; margin: 4px 0 10px; }
th, td { padding: 1px 8px; text-align: left; vertical-align: top; }
th { border-bottom: 1px solid #999; }
td.n, th.n { text-align: right; font-variant-numeric: tabular-nums; }
figure { margin: 6px 0 12px; break-inside: avoid; page-break-inside: avoid; }
svg { width: 100%; height: auto; font: 10px sans-serif; }
svg .title { font-weight: bold; font-size: 12px; }
.good { fill: #3a7d44; } .bad { fill: #c0392b; } .plain { fill: #4a6fa5; }
circle.share { fill: #e0a100; } polyline.share { fill: none; stroke: #e0a100; stroke-width: 1.5; }
.axis { stroke: #555; }
.mark { color: #c0392b; font-weight: bold; }
pre { white-space: pre-wrap; font-size: 9pt; }
* { -webkit-print-color-adjust: exact; print-color-adjust: exact; }
@media print {
  body { max-width: none; padding: 0; }
  h2 { break-after: avoid; page-break-after: avoid; }
  table, figure { break-inside: avoid; page-break-inside: avoid; }
}
)";

std::string head()
{
    return std::string("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
                       "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
                       "style-src 'unsafe-inline'\">\n<title>zelflash report</title>\n<style>\n") +
           style_sheet + "</style>\n</head>\n<body>\n<h1>Yield report</h1>\n";
}

std::string number_text(const char* format, double v)
{
    char text[64];
    std::snprintf(text, sizeof text, format, v);
    return text;
}

std::string percent(uint64_t n, uint64_t whole)
{
    return whole ? number_text("%.1f%%", 100.0 * static_cast<double>(n) / static_cast<double>(whole)) : "-";
}

std::string seconds_text(double s)
{
    return number_text(s < 1e12 ? "%.2f s" : "%.3g s", s);
}

// A figure: its data-key and data-value, and the text shown.
std::string figure(const char* tag, const std::string& key, double value, const std::string& shown)
{
    return std::string("<") + tag + " class=\"n\" data-key=\"" + report_escape(key) + "\" data-value=\"" +
           report_number(value) + "\">" + report_escape(shown) + "</" + tag + ">";
}

std::string count(const std::string& key, uint64_t n)
{
    return figure("td", key, static_cast<double>(n), std::to_string(n));
}

std::string row(const std::string& cells)
{
    return "<tr>" + cells + "</tr>\n";
}

std::string plain(const std::string& text, bool number = false)
{
    return std::string(number ? "<td class=\"n\">" : "<td>") + report_escape(text) + "</td>";
}

std::string lines_part(const report_data& d)
{
    std::string out = "<p>Board logs:";
    for (const std::string& f : d.files)
        out += " <code>" + report_escape(f) + "</code>";
    out += "</p>\n<table>\n";
    const std::pair<const char*, uint64_t> counts[] = {
        {"read", d.lines},   {"accepted", d.accepted}, {"rejected", d.rejected},
        {"incomplete_last_lines", d.incomplete},       {"blank", d.blank}, {"notes", d.notes}};
    const char* words[] = {"Lines read", "Records", "Rejected", "of which incomplete last lines",
                           "Blank lines (not counted)", "Notes"};
    for (size_t i = 0; i < std::size(counts); ++i)
        out += row(plain(words[i]) + count(std::string("/lines/") + counts[i].first, counts[i].second));
    out += "</table>\n";
    if (d.rejections.empty())
        return out;
    out += "<table>\n<tr><th>Rejected line</th><th>Reason</th></tr>\n";
    for (size_t i = 0; i < d.rejections.size(); ++i) {
        const report_rejection& r = d.rejections[i];
        std::string key = "/lines/rejections/" + std::to_string(i) + "/line";
        out += row("<td>" + report_escape(r.file) + ":" + figure("span", key, static_cast<double>(r.line),
                                                                 std::to_string(r.line)) +
                   "</td>" + plain(r.reason));
    }
    std::string more = d.rejected > d.rejections.size()
                           ? "<p>and " + std::to_string(d.rejected - d.rejections.size()) + " more</p>\n"
                           : "";
    return out + "</table>\n" + more;
}

std::string optional_seconds(const std::string& key, const std::optional<double>& s)
{
    return s ? figure("td", key, *s, seconds_text(*s)) : plain("-", true);
}

std::string summary_table(const report_summary& s, const std::string& at)
{
    std::string out = "<table>\n";
    out += row(plain("Boards (records)") + count(at + "/boards", s.boards) + plain(""));
    out += row(plain("Programmed") + count(at + "/programmed", s.programmed) + plain(percent(s.programmed, s.boards), true));
    out += row(plain("Failed") + count(at + "/failed", s.failed) + plain(percent(s.failed, s.boards), true));
    size_t i = 0;
    for (const auto& [outcome, n] : s.failures)
        out += row(plain("\xC2\xA0\xC2\xA0" + outcome) + count(at + "/failures#" + std::to_string(i++), n) +
                   plain(percent(n, s.boards), true));
    out += row(plain("First-pass yield") + count(at + "/first_pass/programmed", s.first_pass) +
               plain(percent(s.first_pass, s.distinct_boards), true) + "<td>of " +
               figure("span", at + "/first_pass/boards", static_cast<double>(s.distinct_boards),
                      std::to_string(s.distinct_boards)) +
               (s.distinct_boards == 1 ? " board" : " boards") + "</td>");
    out += row(plain("Median time") + optional_seconds(at + "/seconds/median", s.median_seconds));
    out += row(plain("Slowest time") + optional_seconds(at + "/seconds/slowest", s.slowest_seconds));
    return out + "</table>\n";
}

std::string marks_text(const report_port& p)
{
    return p.many_failures && p.many_resends ? "<< failures, resends"
           : p.many_failures                 ? "<< failures"
           : p.many_resends                  ? "<< resends"
                                             : "";
}

std::string ports_table(const std::vector<report_port>& ports, const std::string& at)
{
    std::string out = "<table>\n<tr><th>Port</th>";
    for (const char* h : {"Boards", "Failed", "Frames", "Resends", "Late", "Bad frames", "Quiet waits", "Unasked ACKs"})
        out += std::string("<th class=\"n\">") + h + "</th>";
    out += "<th></th></tr>\n";
    for (size_t i = 0; i < ports.size(); ++i) {
        const report_port& p = ports[i];
        std::string key = at + "/ports/" + std::to_string(i) + "/";
        const report_link& l = p.link;
        out += row(plain(p.port) + count(key + "boards", p.boards) + count(key + "failed", p.failed) +
                   count(key + "frames", l.frames) + count(key + "resends", l.resends) +
                   count(key + "late_replies", l.late_replies) + count(key + "bad_frames", l.bad_frames) +
                   count(key + "quiet_waits", l.quiet_waits) + count(key + "unasked_acks", l.unasked_acks) +
                   "<td class=\"mark\">" + report_escape(marks_text(p)) + "</td>");
    }
    return out + "</table>\n";
}

std::string hours_chart(const report_summary& s, const std::string& at)
{
    report_column_chart c;
    c.title = "Boards per hour (UTC) and their yield";
    c.unit = "boards";
    c.with_share = true;
    c.first = s.hours.empty() ? "no dated records" : report_hour_text(s.hours.front().hour);
    c.last = s.hours.empty() ? "" : report_hour_text(s.hours.back().hour);
    c.places = s.hours.empty() ? 1 : report_hours_between(s.hours.front().hour, s.hours.back().hour) + 1;
    for (size_t i = 0; i < s.hours.size(); ++i) {
        const report_hour& h = s.hours[i];
        std::string key = at + "/per_hour/hours/" + std::to_string(i) + "/";
        report_column col;
        col.at = report_hours_between(s.hours.front().hour, h.hour);
        col.label = report_hour_text(h.hour);
        col.pieces = {{static_cast<double>(h.programmed), key + "programmed", "good", "programmed"},
                      {static_cast<double>(h.boards - h.programmed), key + "boards - " + key + "programmed", "bad",
                       "failed"}};
        col.share = h.boards ? static_cast<double>(h.programmed) / static_cast<double>(h.boards) : 0.0;
        col.share_key = key + "programmed / " + key + "boards";
        c.columns.push_back(std::move(col));
    }
    std::string undated = s.undated ? "<figcaption>and " + figure("span", at + "/per_hour/undated",
                                                                  static_cast<double>(s.undated),
                                                                  std::to_string(s.undated)) +
                                          " records whose start names no hour</figcaption>\n"
                                    : "";
    return "<figure>\n" + report_columns_svg(c) + undated + "</figure>\n";
}

std::string times_chart(const report_summary& s, const std::string& at)
{
    report_column_chart c;
    c.title = "Time per programmed board";
    c.unit = "boards";
    double width = s.times.bin_seconds.value_or(0);
    c.places = static_cast<int64_t>(s.times.counts.size());
    c.first = "0 s";
    c.last = s.times.counts.empty() ? "no programmed boards"
                                    : report_number(width * static_cast<double>(s.times.counts.size())) + " s";
    for (size_t i = 0; i < s.times.counts.size(); ++i) {
        report_column col;
        col.at = static_cast<int64_t>(i);
        col.label = report_number(width * static_cast<double>(i)) + " s to " +
                    report_number(width * static_cast<double>(i + 1)) + " s";
        col.pieces = {{static_cast<double>(s.times.counts[i]),
                       at + "/seconds/histogram/counts/" + std::to_string(i), "plain", "boards"}};
        c.columns.push_back(std::move(col));
    }
    return "<figure>\n" + report_columns_svg(c) + "</figure>\n";
}

std::string failures_chart(const report_summary& s, const std::string& at)
{
    std::vector<report_bar> bars;
    size_t i = 0;
    for (const auto& [outcome, n] : s.failures) {
        std::string key = at + "/failures#" + std::to_string(i++);
        bars.push_back({outcome, {{static_cast<double>(n), key, "bad", "records"}}, percent(n, s.boards)});
    }
    return "<figure>\n" + report_bars_svg("Failures by reason", bars) + "</figure>\n";
}

std::string ports_chart(const report_summary& s, const std::string& at)
{
    std::vector<report_bar> bars;
    for (size_t i = 0; i < s.ports.size(); ++i) {
        const report_port& p = s.ports[i];
        std::string key = at + "/ports/" + std::to_string(i) + "/";
        std::string note = percent(p.failed, p.boards) + " failed, " + percent(p.link.resends, p.link.frames) +
                           " resent " + marks_text(p);
        bars.push_back({p.port,
                        {{static_cast<double>(p.boards - p.failed), key + "boards - " + key + "failed", "good",
                          "programmed"},
                         {static_cast<double>(p.failed), key + "failed", "bad", "failed"}},
                        note});
    }
    return "<figure>\n" + report_bars_svg("Boards per port: programmed and failed", bars) + "</figure>\n";
}

std::string notes_part(const report_data& d)
{
    if (d.note_kinds.empty())
        return "";
    std::string out = "<p>Notes:";
    size_t i = 0;
    for (const auto& [kind, n] : d.note_kinds) {
        out += (i ? ", " : " ") + figure("span", "/notes#" + std::to_string(i), static_cast<double>(n),
                                         std::to_string(n)) +
               " <code>" + report_escape(kind) + "</code>";
        ++i;
    }
    return out + "</p>\n";
}

// Our own text of several lines, escaped line by line.
std::string escape_lines(const std::string& text)
{
    std::string out;
    for (size_t at = 0; at < text.size();) {
        size_t end = std::min(text.find('\n', at), text.size());
        out += report_escape(std::string_view(text).substr(at, end - at)) + (end < text.size() ? "\n" : "");
        at = end + 1;
    }
    return out;
}

std::string group_title(const report_group& g, const report_grouping& grouping)
{
    if (grouping.by == REPORT_BY_IMAGE)
        return "Image " + g.image + " (sha256 " + g.sha256.substr(0, 12) + ")";
    return "Label " + grouping.label + ": " + (g.value ? *g.value : "(none)");
}

std::string section(const std::string& title, const report_summary& s, const std::string& at)
{
    return "<section>\n<h2>" + report_escape(title) + "</h2>\n" + summary_table(s, at) + ports_table(s.ports, at) +
           "</section>\n";
}

}  // namespace

std::string report_page(const report_data& data, const report_grouping& grouping)
{
    report_tally t = report_tally_up(data, grouping);
    std::string out = head() + "<section>\n" + lines_part(data) + "</section>\n";
    out += "<section>\n<h2>Total</h2>\n" + summary_table(t.total, "/total") + notes_part(data) +
           hours_chart(t.total, "/total") + times_chart(t.total, "/total") + failures_chart(t.total, "/total") +
           ports_chart(t.total, "/total") + ports_table(t.total.ports, "/total") + "</section>\n";
    for (size_t i = 0; i < t.groups.size(); ++i)
        out += section(group_title(t.groups[i], grouping), t.groups[i].summary, "/groups/" + std::to_string(i));
    out += "<section>\n<h2>How the figures are counted</h2>\n<pre>" + escape_lines(report_legend(data)) +
           "</pre>\n</section>\n";
    return out + "</body>\n</html>\n";
}
