#include "outputs/logbook.h"

#include <nlohmann/json.hpp>

#include "base/texts.h"

bool logbook::open(const std::string& path, display* d)
{
    std::string error;
    if (path.empty())
        return true;
    if (!log_.open(path, &error)) {
        d->problem(error);
        return false;
    }
    path_ = path;
    if (log_.found_torn())
        d->notice(path + ": its last line is cut short (no line end), as a crash or a full disk leaves it; it "
                         "stays as it is, and the new records start on the next line");
    return true;
}

bool logbook::board_ended(const session_board& b, const board_view& v, std::string* why)
{
    if (path_.empty())
        return true;
    board_log_record r{b.start, std::chrono::system_clock::now(), b.port, b.img, v, labels_, b.slot};
    return append(board_log_line(r), "board " + b.port.path + ", " + board_end_text(v.end), why);
}

bool logbook::append(const nlohmann::json& line, const std::string& what, std::string* why)
{
    std::string error;
    if (broken_.empty() && log_.append(line, &error))
        return true;
    if (broken_.empty()) {
        broken_ = error;
        std::string ignored;
        log_.close(&ignored);
    }
    *why = broken_ + " (" + what +
           "); free space or fix the log, then start the station again; the record lost, to put back by hand: " +
           json_text(line);
    return false;
}

// A note that cannot be written is said with the board records' next
// failure: the log is closed by then.
void logbook::slot_changed(const slot_view& v)
{
    if (path_.empty() || v.news != slot_news::in_loader)
        return;
    board_log_note n{"still_in_loader", std::chrono::system_clock::now(), v.port, v.number, &v.values, labels_};
    std::string ignored;
    append(board_log_note_line(n), "", &ignored);
}
