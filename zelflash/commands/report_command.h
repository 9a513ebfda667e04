// zelflash report: the yield of one or more board logs, or of a lot's
// records in its database, as a table or JSON, and as a page (--html).
#pragma once

#include <string>
#include <vector>

struct report_options {
    std::vector<std::string> logs;
    std::string lot_job;  // --lot JOB: the records of the job's [lot] instead of logs
    std::string by;  // "image", "label:NAME"; empty: no groups
    std::string board_key;  // the field of the values that names a board; empty: the adapter's serial number
    std::string html;  // --html OUT: the page written there as well; empty: none
    bool json = false;
};

// The exit status: 0; 1 when the lot database is out of reach or fails, or
// an output cannot be written; 2 when a log cannot be read, --by is not
// known, or the job or its lot is refused.
int report_run(const report_options& o);
