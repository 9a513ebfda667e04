// The report page's charts, drawn as inline SVG by this code: no script, no
// asset from anywhere else, so the page views and prints as one file. Every
// figure a chart draws also stands in its shape's data-key and data-value
// attributes: where the figure is in `report --json` and the figure itself,
// so a program reads the chart back exactly, never from pixels. A key is a
// JSON pointer ("/total/boards"), POINTER#N for the N-th member (from 0) of
// an object ("/total/failures#2"), or two of them with " - " or " / "
// between for a figure made of two (the boards that did not fail, a yield).
//
// All text goes through report_escape, whatever bytes the logs held.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Text from the logs made safe as HTML or SVG text and attribute values:
// < > & " ' as references; bytes that are not UTF-8 (a stray byte, an
// overlong form, a surrogate), control characters and noncharacters each
// become U+FFFD, so nothing of them reaches the page raw.
std::string report_escape(std::string_view text);

// A figure as an attribute value: an integer as one, anything else with
// the digits that read back as the same double.
std::string report_number(double value);

// One piece of a bar or column; pieces stack from the axis outwards.
struct report_piece {
    double value = 0;
    std::string key;    // the figure's place in report --json
    std::string style;  // its CSS class: "good", "bad" or "plain"
    std::string name;   // what it counts, for its tooltip ("failed")
};

// A column of a column chart: at its place along the axis (from 0), its
// pieces, and optionally a share (0 to 1) drawn as a dot against the
// right-hand scale of 0 to 100%.
struct report_column {
    int64_t at = 0;
    std::string label;  // its tooltip
    std::vector<report_piece> pieces;
    std::optional<double> share;
    std::string share_key;  // what the share is made of, for its data-key
};

struct report_column_chart {
    std::string title;
    std::string unit;               // of the left-hand scale ("boards")
    int64_t places = 1;             // the axis runs from place 0 to places - 1
    std::string first, last;        // the axis's two ends in words
    bool with_share = false;        // draws the right-hand scale
    std::vector<report_column> columns;
};

// A horizontal bar with its label on the left and a note on the right.
struct report_bar {
    std::string label;
    std::vector<report_piece> pieces;
    std::string note;
};

std::string report_columns_svg(const report_column_chart& chart);
std::string report_bars_svg(const std::string& title, const std::vector<report_bar>& bars);
