// zelflash report: the yield of one or more board logs, as a table or JSON.
#pragma once

#include <string>
#include <vector>

struct report_options {
    std::vector<std::string> logs;
    std::string by;  // "image", "label:NAME"; empty: no groups
    std::string board_key;  // the field of the values that names a board; empty: the adapter's serial number
    bool json = false;
};

// The exit status: 0, or 2 when a log cannot be read or --by is not known.
int report_run(const report_options& o);
