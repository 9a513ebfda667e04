#include "commands/report_command.h"

#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>

#include "base/texts.h"
#include "engine/exit_status.h"
#include "outputs/display_factory.h"
#include "platform/file_lock.h"
#include "report/report_lot.h"
#include "report/report_page.h"
#include "report/yield_report.h"
#include "station/job_file.h"

namespace {

// The lot of the job at `path`, read into `data`: an exit status.
int read_lot(const std::string& path, report_data* data, std::string* error)
{
    station_job job;
    if (!job_file_read(path, &job, error))
        return EXIT_BAD_INPUT;
    if (!job.lot) {
        *error = path + ": no [lot]; report --lot reads the lot that [lot] names (database = \"...\", name = "
                        "\"...\"); for a station's own records give its board logs instead";
        return EXIT_BAD_INPUT;
    }
    report_lot_result read = report_lot_read(*job.lot, data, error);
    return read == REPORT_LOT_UNREACHABLE ? EXIT_FAILED : read == REPORT_LOT_REFUSED ? EXIT_BAD_INPUT : 0;
}

// The page, written whole or not at all: into a temporary file beside
// `path`, then renamed over it. A page there before is replaced, as a
// redirected report would be: it is made again from the logs at will.
bool write_page(const std::string& path, const std::string& page, std::string* error)
{
    std::string temporary = path + ".tmp-" + std::to_string(file_lock_process_id());
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(page.data(), static_cast<std::streamsize>(page.size()));
    out.close();
    std::error_code code;
    if (out.fail()) {
        std::filesystem::remove(temporary, code);
        *error = path + ": cannot write the report page (" + temporary +
                 " could not be written); is the folder there and writable, is the disk full?";
        return false;
    }
    std::filesystem::rename(temporary, path, code);
    if (code) {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        *error = path + ": cannot put the report page in place: " + code.message();
        return false;
    }
    return true;
}

}  // namespace

int report_run(const report_options& o)
{
    std::unique_ptr<display> d = display_for(false, false, stdout, stderr);
    report_grouping grouping;
    report_data data;
    data.board_key = o.board_key;
    std::string error;
    if (!o.by.empty() && !report_grouping_parse(o.by, &grouping, &error)) {
        d->problem(error);
        return EXIT_BAD_INPUT;
    }
    int status = o.lot_job.empty() ? (report_read(o.logs, &data, &error) ? 0 : EXIT_BAD_INPUT)
                                   : read_lot(o.lot_job, &data, &error);
    if (status != 0) {
        d->problem(error);
        return status;
    }
    if (!o.html.empty() && !write_page(o.html, report_page(data, grouping), &error)) {
        d->problem(error);
        return EXIT_FAILED;
    }
    std::string text = o.json ? json_text(report_json(data, grouping), 2) + "\n" : report_text(data, grouping);
    return d->document(text) ? 0 : EXIT_FAILED;
}
