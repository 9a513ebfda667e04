#include "report/report_chart.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

// The length of the UTF-8 sequence at the start of `s`, checked byte by
// byte with the ranges that keep out overlong forms, surrogates and code
// points past U+10FFFF; 0 when it is not one. *code gets its code point.
size_t utf8_sequence(std::string_view s, uint32_t* code)
{
    auto byte = [&](size_t k) { return k < s.size() ? static_cast<unsigned char>(s[k]) : 0u; };
    unsigned lead = byte(0);
    size_t n = lead < 0x80 ? 1 : lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
             : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
    unsigned low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    unsigned high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    *code = n == 1 ? lead : lead & (0x7Fu >> n);
    for (size_t k = 1; k < n; ++k) {
        unsigned next = byte(k);
        if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF))
            return 0;
        *code = (*code << 6) | (next & 0x3F);
    }
    return n;
}

// Code points a page must not carry as they are: controls (C0, DEL, C1)
// and the noncharacters.
bool unwanted(uint32_t code)
{
    return code < 0x20 || (code >= 0x7F && code <= 0x9F) || (code >= 0xFDD0 && code <= 0xFDEF) ||
           (code & 0xFFFE) == 0xFFFE;
}

constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";  // U+FFFD

std::string reference(char c)
{
    switch (c) {
    case '<': return "&lt;";
    case '>': return "&gt;";
    case '&': return "&amp;";
    case '"': return "&quot;";
    case '\'': return "&#39;";
    default: return std::string(1, c);
    }
}

// report_escape of at most `limit` characters of `text`, with "..." when
// cut, for labels beside a bar.
std::string escape_cut(std::string_view text, size_t limit)
{
    std::string out;
    size_t shown = 0;
    for (size_t i = 0; i < text.size(); ++shown) {
        if (shown == limit)
            return out + "\xE2\x80\xA6";  // U+2026
        uint32_t code = 0;
        size_t n = utf8_sequence(text.substr(i), &code);
        if (n == 0 || unwanted(code))
            out += REPLACEMENT;
        else if (n == 1)
            out += reference(text[i]);
        else
            out.append(text.substr(i, n));
        i += n == 0 ? 1 : n;
    }
    return out;
}

std::string at(double v)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", v);
    return text;
}

// The SVG canvas: 680 units wide (about 180 mm, an A4 page's width within
// its margins), scaled to the page's width by the style sheet.
constexpr double WIDTH = 680;

std::string svg_open(const std::string& title, double height)
{
    std::string t = report_escape(title);
    return "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " + at(WIDTH) + " " + at(height) +
           "\" role=\"img\" aria-label=\"" + t + "\">\n<text class=\"title\" x=\"0\" y=\"16\">" + t + "</text>\n";
}

std::string text_at(double x, double y, const char* anchor, const std::string& escaped)
{
    return "<text x=\"" + at(x) + "\" y=\"" + at(y) + "\" text-anchor=\"" + anchor + "\">" + escaped + "</text>\n";
}

std::string rect(double x, double y, double w, double h, const report_piece& p, const std::string& title)
{
    return "<rect class=\"" + p.style + "\" x=\"" + at(x) + "\" y=\"" + at(y) + "\" width=\"" + at(w) +
           "\" height=\"" + at(h) + "\" data-key=\"" + report_escape(p.key) + "\" data-value=\"" +
           report_number(p.value) + "\"><title>" + title + "</title></rect>\n";
}

double stacked(const std::vector<report_piece>& pieces)
{
    double sum = 0;
    for (const report_piece& p : pieces)
        sum += p.value;
    return sum;
}

// Column chart geometry: the plot between these, in canvas units.
constexpr double PLOT_LEFT = 56, PLOT_RIGHT = 630, PLOT_TOP = 30, PLOT_BOTTOM = 200, CHART_HEIGHT = 236;

std::string column_axes(const report_column_chart& c, double top)
{
    std::string out = "<line class=\"axis\" x1=\"" + at(PLOT_LEFT) + "\" y1=\"" + at(PLOT_BOTTOM) + "\" x2=\"" +
                      at(PLOT_RIGHT) + "\" y2=\"" + at(PLOT_BOTTOM) + "\"/>\n";
    out += text_at(PLOT_LEFT - 4, PLOT_BOTTOM, "end", "0");
    out += text_at(PLOT_LEFT - 4, PLOT_TOP + 8, "end", report_escape(report_number(top)));
    out += text_at(PLOT_LEFT - 4, PLOT_TOP + 22, "end", report_escape(c.unit));
    out += text_at(PLOT_LEFT, PLOT_BOTTOM + 16, "start", report_escape(c.first));
    out += text_at(PLOT_RIGHT, PLOT_BOTTOM + 16, "end", report_escape(c.last));
    if (c.with_share) {
        out += text_at(PLOT_RIGHT + 4, PLOT_TOP + 8, "start", "100%");
        out += text_at(PLOT_RIGHT + 4, PLOT_BOTTOM, "start", "0%");
    }
    return out;
}

std::string one_column(const report_column& col, double slot, double scale)
{
    std::string out;
    double x = PLOT_LEFT + slot * static_cast<double>(col.at);
    double gap = slot >= 4 ? slot / 8 : 0;
    double base = PLOT_BOTTOM;
    for (const report_piece& p : col.pieces) {
        double h = p.value * scale;
        base -= h;
        out += rect(x + gap, base, slot - 2 * gap, h, p,
                    report_escape(col.label) + ": " + report_number(p.value) + " " + report_escape(p.name));
    }
    return out;
}

std::string share_dots(const report_column_chart& c, double slot)
{
    std::string line, dots;
    for (const report_column& col : c.columns) {
        if (!col.share)
            continue;
        double x = PLOT_LEFT + slot * (static_cast<double>(col.at) + 0.5);
        double y = PLOT_BOTTOM - *col.share * (PLOT_BOTTOM - PLOT_TOP);
        line += (line.empty() ? "" : " ") + at(x) + "," + at(y);
        char percent[32];
        std::snprintf(percent, sizeof percent, "%.1f%%", *col.share * 100);
        dots += "<circle class=\"share\" cx=\"" + at(x) + "\" cy=\"" + at(y) + "\" r=\"2.5\" data-key=\"" +
                report_escape(col.share_key) + "\" data-value=\"" + report_number(*col.share) + "\"><title>" +
                report_escape(col.label) + ": " + percent + "</title></circle>\n";
    }
    return line.empty() ? dots : "<polyline class=\"share\" points=\"" + line + "\"/>\n" + dots;
}

// Bar chart geometry.
constexpr double BAR_LABEL_END = 196, BAR_LEFT = 200, BAR_RIGHT = 490, BAR_ROW = 22, BAR_TOP = 28;
constexpr size_t BAR_LABEL_CHARACTERS = 30;

std::string one_bar(const report_bar& b, double y, double scale)
{
    std::string out = text_at(BAR_LABEL_END, y + 14, "end", escape_cut(b.label, BAR_LABEL_CHARACTERS));
    double x = BAR_LEFT;
    for (const report_piece& p : b.pieces) {
        double w = p.value * scale;
        out += rect(x, y + 3, w, BAR_ROW - 6, p,
                    report_escape(b.label) + ": " + report_number(p.value) + " " + report_escape(p.name));
        x += w;
    }
    return out + text_at(BAR_RIGHT + 6, y + 14, "start", report_escape(b.note));
}

}  // namespace

std::string report_escape(std::string_view text)
{
    return escape_cut(text, std::string_view::npos);
}

std::string report_number(double value)
{
    char text[40];
    bool whole = std::fabs(value) < 9007199254740992.0 && value == std::floor(value);
    std::snprintf(text, sizeof text, whole ? "%.0f" : "%.17g", value);
    return text;
}

std::string report_columns_svg(const report_column_chart& c)
{
    double top = 0;
    for (const report_column& col : c.columns)
        top = std::max(top, stacked(col.pieces));
    double scale = top > 0 ? (PLOT_BOTTOM - PLOT_TOP) / top : 0;
    double slot = (PLOT_RIGHT - PLOT_LEFT) / static_cast<double>(std::max<int64_t>(c.places, 1));
    std::string out = svg_open(c.title, CHART_HEIGHT) + column_axes(c, top);
    for (const report_column& col : c.columns)
        out += one_column(col, slot, scale);
    if (c.with_share)
        out += share_dots(c, slot);
    return out + "</svg>\n";
}

std::string report_bars_svg(const std::string& title, const std::vector<report_bar>& bars)
{
    double top = 0;
    for (const report_bar& b : bars)
        top = std::max(top, stacked(b.pieces));
    double scale = top > 0 ? (BAR_RIGHT - BAR_LEFT) / top : 0;
    double height = BAR_TOP + BAR_ROW * static_cast<double>(std::max<size_t>(bars.size(), 1)) + 8;
    std::string out = svg_open(title, height);
    if (bars.empty())
        out += text_at(BAR_LEFT, BAR_TOP + 14, "start", "none");
    for (size_t i = 0; i < bars.size(); ++i)
        out += one_bar(bars[i], BAR_TOP + BAR_ROW * static_cast<double>(i), scale);
    return out + "</svg>\n";
}
