// The yield report as one self-contained HTML page: the tables of
// report_text and the total's charts (boards per hour with their yield,
// time per board, failures by reason, each port's health) drawn as inline
// SVG (report_chart.h). No script and nothing from outside the file: its
// style sheet is inline, and a Content-Security-Policy forbids anything
// else. It prints on A4.
//
// Its figures come from the same tally as report_json, and each one stands
// in a data-key / data-value pair (report_chart.h says how keys are
// written) naming where the same figure is in `report --json`.
#pragma once

#include <string>

#include "report/yield_report.h"

std::string report_page(const report_data& data, const report_grouping& grouping);
