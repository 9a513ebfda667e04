#include "outputs/display.h"

#include <algorithm>

#include "lprog.h"
#include "platform/terminal.h"
#include "base/texts.h"

enum display_constants : int {
    PORT_COLUMN = 14,     // least width of the port column
    OUTCOME_COLUMN = 34,  // width of the summary's outcome column
};

void display::redraw(const std::vector<board_view>&, const std::string&) {}

void display::watching(const std::string&) {}

void display::slot_changed(const slot_view& v)
{
    if (v.news == slot_news::in_loader)
        notice(display_slot_text(v));
}

void display::slots(const std::vector<slot_view>&, const std::string&) {}

// What the last board's values were: ", serial 1017, mac 02:00:00:00:00:01".
static std::string values_text(const std::vector<field_value>& values)
{
    std::string text;
    for (const field_value& f : values)
        text += ", " + f.name + " " + f.text;
    return text;
}

static std::string leaving_text(const slot_view& v)
{
    if (v.flagged)
        return "still in the loader after programming: remove the board";
    if (v.programmed)
        return "done" + values_text(v.values) + ": remove the board";
    return std::string("failed (") + board_end_text(v.board.end) + "): remove the board";
}

std::string display_slot_text(const slot_view& v)
{
    std::string head = "slot " + std::to_string(v.number) + ": ";
    switch (v.phase) {
    case slot_phase::unplugged: return head + "adapter unplugged (" + v.port + "): plug it back in";
    case slot_phase::empty: return head + "waiting for a board";
    case slot_phase::ready: return head + "board seated, starting";
    case slot_phase::programming:
        if (v.board.at.total == 0)  // not started yet: fewer --jobs than slots
            return head + "board seated, waiting for its turn";
        return head + "programming " + std::to_string(display_percent(v.board)) + " %";
    case slot_phase::leaving: return head + leaving_text(v);
    }
    return head;
}

void display::interrupted()
{
    if (streams_.err_terminal)
        put_err(streams_.err_ansi ? "\r\x1b[2K" : "\r");
    else if (streams_.out_terminal && !line_start().empty())
        put_out(line_start());
}

void display::problem(const std::string& text, const std::string&)
{
    failure(text);
}

void display::notice(const std::string& text)
{
    failure(text);
}

void display::failure(const std::string& text)
{
    clear();
    put_err("zelflash: " + text + "\n");
}

bool display::ports(const std::vector<port_info>& all)
{
    std::string text;
    for (const port_info& p : all)
        text += ports_line(p) + "\n";
    return put_whole(text);
}

// Once standard output has failed, nothing more goes there: a full disk or
// a reader gone would fail every line again, and a stuck reader would cost
// the give-up time on each.
void display::put_out(std::string_view text)
{
    if (!output_error_.empty())
        return;
    std::string why;
    if (terminal_write(streams_.out, text, &why))
        return;
    output_error_ = "standard output: " + why;
    put_err("zelflash: cannot write standard output (" + why +
            "); nothing more goes there, and the exit status is 1 or worse\n");
}

void display::put_err(std::string_view text)
{
    std::string why;
    if (!err_failed_)
        err_failed_ = !terminal_write(streams_.err, text, &why);
}

bool display::put_whole(std::string_view text)
{
    std::string why;
    if (terminal_write(streams_.out, text, &why))
        return true;
    output_error_ = "standard output: " + why;
    put_err("zelflash: cannot write standard output (" + why + ")\n");
    return false;
}

void display::finished_lines(const board_view& v)
{
    if (!v.message.empty())
        problem(v.message, v.port);
    if (!board_programmed(v.end))
        return;
    clear();  // live mode: the line goes above the rows, which are painted again below it
    std::string link = board_link_text(v.result);
    put_out(v.port + ": " + board_end_text(v.end) + " in " + fixed(v.seconds, 2) + " s, " +
            counted(v.at.done, "byte", "bytes") + ", " + counted(v.at.retries, "retry", "retries") +
            (link.empty() ? "" : "; " + link) + "\n");
}

bool display_listener::board_ended(const session_board&, const board_view& v, std::string*)
{
    d_->finished(v);
    return true;
}

void display_listener::stopping()
{
    d_->notice("stopping: no new boards; the running ones finish (Ctrl-C again interrupts them)");
}

double display_rate(const board_view& v)
{
    return v.seconds > 0 ? v.at.done / v.seconds : 0;
}

int display_percent(const board_view& v)
{
    return v.at.total == 0 ? 0 : static_cast<int>(uint64_t{v.at.done} * 100 / v.at.total);
}

std::string display_doing(const board_view& v)
{
    if (v.state == BOARD_FINISHED)
        return board_end_text(v.end);
    switch (v.at.phase) {
    case LPROG_ERASE: return "ERASE " + hex32(v.at.addr);
    case LPROG_WAIT_ERASE: return "erasing";
    case LPROG_PROGRAM:
    case LPROG_FIRST_AGAIN: return "PROGRAM " + hex32(v.at.addr);
    case LPROG_SET_CLOCK: return "RTC_SET";
    case LPROG_RESET: return "RESET";
    default: return "starting";
    }
}

int display_port_width(const std::vector<board_view>& all)
{
    size_t width = PORT_COLUMN;
    for (const board_view& v : all)
        width = std::max(width, v.port.size());
    return static_cast<int>(width);
}

std::string display_table(const std::vector<board_view>& all)
{
    size_t ports = static_cast<size_t>(display_port_width(all));
    std::string text = align_left("port", ports) + " " + align_left("outcome", OUTCOME_COLUMN) + " " +
                       align_right("bytes", 9) + " " + align_right("seconds", 8) + " " + align_right("retries", 8) + "\n";
    for (const board_view& v : all)
        text += align_left(v.port, ports) + " " + align_left(display_doing(v), OUTCOME_COLUMN) + " " +
                align_right(std::to_string(v.at.done), 9) + " " + align_right(fixed(v.seconds, 2), 8) + " " +
                align_right(std::to_string(v.at.retries), 8) + "\n";
    return text;
}

std::string display_totals_line(const board_tally& t)
{
    return "zelflash: " + counted(t.done, "board", "boards") + " programmed, " + std::to_string(t.failed) +
           " failed" + (t.interrupted ? ", " + std::to_string(t.interrupted) + " interrupted" : "") +
           (t.not_started ? ", " + std::to_string(t.not_started) + " not started" : "");
}
