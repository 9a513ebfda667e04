#include "commands/report_command.h"

#include <memory>
#include <nlohmann/json.hpp>

#include "outputs/display_factory.h"
#include "base/texts.h"
#include "report/yield_report.h"

int report_run(const report_options& o)
{
    std::unique_ptr<display> d = display_for(false, false, stdout, stderr);
    report_grouping grouping;
    report_data data;
    data.board_key = o.board_key;
    std::string error;
    if ((!o.by.empty() && !report_grouping_parse(o.by, &grouping, &error)) || !report_read(o.logs, &data, &error)) {
        d->problem(error);
        return 2;
    }
    std::string text = o.json ? json_text(report_json(data, grouping), 2) + "\n" : report_text(data, grouping);
    return d->document(text) ? 0 : 1;
}
