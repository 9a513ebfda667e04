#include "display.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "lprog.h"
#include "terminal.h"
#include "texts.h"

enum display_constants : int {
    BAR_WIDTH = 20,        // characters of the progress bar
    PLAIN_STEP = 10,       // plain mode: a line per 10 %
    JSON_STEP = 1,         // json mode: an event per 1 %
    PORT_COLUMN = 14,      // width of the port column
    OUTCOME_COLUMN = 34,   // width of the summary's outcome column
};

display::display(display_mode mode, FILE* out, FILE* err)
    : mode_(mode),
      out_(out),
      err_(err),
      out_terminal_(terminal_is(out)),
      err_terminal_(terminal_is(err)),
      err_ansi_(err_terminal_ && terminal_enable_ansi(err))
{
}

double display_rate(const board_view& v)
{
    return v.seconds > 0 ? v.at.done / v.seconds : 0;
}

static int percent(const board_view& v)
{
    return v.at.total == 0 ? 0 : static_cast<int>(uint64_t{v.at.done} * 100 / v.at.total);
}

// The command in flight, or how the run ended.
static std::string doing(const board_view& v)
{
    if (v.state == BOARD_FINISHED)
        return board_outcome_name(v.result.outcome);
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

static std::string eta(const board_view& v)
{
    double rate = display_rate(v);
    if (v.state == BOARD_FINISHED || rate <= 0)
        return "--";
    double left = (v.at.total - v.at.done) / rate;
    return fixed(left, 0) + "s";
}

// The port column: wide enough for the longest name.
static int port_width(const std::vector<board_view>& all)
{
    size_t width = PORT_COLUMN;
    for (const board_view& v : all)
        width = std::max(width, v.port.size());
    return static_cast<int>(width);
}

std::string display::row(const board_view& v, int port_width, int width)
{
    int filled = v.at.total == 0 ? 0 : static_cast<int>(uint64_t{v.at.done} * BAR_WIDTH / v.at.total);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.resize(BAR_WIDTH, '.');
    std::string text = align_left(v.port, static_cast<size_t>(port_width)) + " [" + bar + "] " +
                       align_right(std::to_string(percent(v)), 3) + "% " + align_right(std::to_string(v.at.done), 7) +
                       "/" + align_left(std::to_string(v.at.total), 7) + " " +
                       align_right(fixed(display_rate(v) / 1024, 1), 6) + " KiB/s  ETA " + align_right(eta(v), 4) +
                       "  " + doing(v);
    if (width > 0 && text.size() > static_cast<size_t>(width))
        text.resize(static_cast<size_t>(width));
    return text;
}

static std::string cut(std::string text, int width)
{
    if (text.size() > static_cast<size_t>(width))
        text.resize(static_cast<size_t>(width));
    return text;
}

std::vector<std::string> display::live_lines(const std::vector<board_view>& rows, const std::string& footer,
                                             terminal_size size)
{
    // The last column makes some terminals wrap, and a paint that reaches
    // the last line scrolls the screen, so that the next one no longer
    // finds its rows where it left them.
    int width = std::max(size.columns - 1, 1);
    size_t room = static_cast<size_t>(std::max(size.rows - 1, 1));
    size_t below = footer.empty() ? 0 : 1;
    size_t shown = rows.size();
    if (shown + below > room)
        shown = room > below + 1 ? room - below - 1 : 0;
    std::vector<std::string> lines;
    int ports = port_width(rows);
    for (size_t i = 0; i < shown; ++i)
        lines.push_back(row(rows[i], ports, width));
    if (shown < rows.size())
        lines.push_back(cut("+" + counted(rows.size() - shown, "more board", "more boards"), width));
    if (!footer.empty())
        lines.push_back(cut(footer, width));
    return lines;
}

std::string display::table(const std::vector<board_view>& all)
{
    size_t ports = static_cast<size_t>(port_width(all));
    std::string text = align_left("port", ports) + " " + align_left("outcome", OUTCOME_COLUMN) + " " +
                       align_right("bytes", 9) + " " + align_right("seconds", 8) + " " + align_right("retries", 8) + "\n";
    for (const board_view& v : all)
        text += align_left(v.port, ports) + " " + align_left(doing(v), OUTCOME_COLUMN) + " " +
                align_right(std::to_string(v.at.done), 9) + " " + align_right(fixed(v.seconds, 2), 8) + " " +
                align_right(std::to_string(v.at.retries), 8) + "\n";
    return text;
}

// Once standard output has failed, nothing more goes there: a full disk or
// a reader gone would fail every line again, and a stuck reader would cost
// the give-up time on each.
void display::put_out(std::string_view text)
{
    if (!output_error_.empty())
        return;
    std::string why;
    if (terminal_write(out_, text, &why))
        return;
    output_error_ = "standard output: " + why;
    put_err("zelflash: cannot write standard output (" + why +
            "); nothing more goes there, and the exit status is 1 or worse\n");
}

void display::put_err(std::string_view text)
{
    std::string why;
    if (!err_failed_)
        err_failed_ = !terminal_write(err_, text, &why);
}

void display::event(const nlohmann::json& e)
{
    if (mode_ == DISPLAY_JSON)
        put_out(json_text(e) + "\n");
}

void display::say(const std::string& line)
{
    if (mode_ == DISPLAY_PLAIN || mode_ == DISPLAY_LIVE)
        put_out(line + "\n");
}

static nlohmann::json or_null(const std::string& s)
{
    return s.empty() ? nlohmann::json(nullptr) : nlohmann::json(s);
}

// Every event starts the same: what happened, and to which port.
static nlohmann::json event_of(const char* name, const std::string& port)
{
    return {{"event", name}, {"port", or_null(port)}};
}

static nlohmann::json board_event(const char* name, const board_view& v)
{
    nlohmann::json e = event_of(name, v.port);
    e["bytes"] = v.at.done;
    e["total"] = v.at.total;
    e["seconds"] = v.seconds;
    e["retries"] = v.at.retries;
    if (!v.serial.empty())
        e["serial"] = v.serial;
    return e;
}

void display::started(const board_view& v, const image& img)
{
    step_[v.port] = 0;
    if (mode_ == DISPLAY_JSON) {
        nlohmann::json e = board_event("start", v);
        e["image"] = img.name;
        e["address"] = img.addr;
        event(e);
    } else if (mode_ == DISPLAY_PLAIN) {
        put_out(v.port + ": writing " + img.name + ", " + counted(img.bytes.size(), "byte", "bytes") + " at " +
                hex32(img.addr) + "\n");
    }
}

void display::progressed(const board_view& v)
{
    int step = mode_ == DISPLAY_JSON ? JSON_STEP : PLAIN_STEP;
    int reached = percent(v) / step * step;
    int& last = step_[v.port];
    if (reached <= last || v.state == BOARD_FINISHED)
        return;
    last = reached;
    if (mode_ == DISPLAY_JSON) {
        nlohmann::json e = board_event("progress", v);
        e["command"] = doing(v);
        event(e);
    } else if (mode_ == DISPLAY_PLAIN) {
        put_out(v.port + ": " + align_right(std::to_string(reached), 3) + "% " + std::to_string(v.at.done) + "/" +
                counted(v.at.total, "byte", "bytes") + ", " + fixed(display_rate(v) / 1024, 1) + " KiB/s\n");
    }
}

void display::finished(const board_view& v)
{
    bool good = board_programmed(v.result.outcome);
    if (mode_ == DISPLAY_JSON) {
        nlohmann::json e = board_event(good ? "done" : "error", v);
        e["outcome"] = board_outcome_name(v.result.outcome);
        e["link"] = board_link_json(v);
        if (!v.message.empty())
            e["message"] = v.message;
        event(e);
        return;
    }
    if (!v.message.empty())
        problem(v.message, v.port);
    if (mode_ == DISPLAY_QUIET || !good)
        return;
    clear();  // live mode: the line goes above the rows, which are painted again below it
    std::string link = board_link_text(v.result);
    put_out(v.port + ": " + board_outcome_name(v.result.outcome) + " in " + fixed(v.seconds, 2) + " s, " +
            counted(v.at.done, "byte", "bytes") + ", " + counted(v.at.retries, "retry", "retries") +
            (link.empty() ? "" : "; " + link) + "\n");
}

void display::clear()
{
    if (drawn_ == 0)
        return;
    // From the start of the line: the cursor may stand after a "^C".
    put_out("\r\x1b[" + std::to_string(drawn_) + "A\x1b[J");
    drawn_ = 0;
}

void display::redraw(const std::vector<board_view>& rows, const std::string& footer)
{
    if (mode_ != DISPLAY_LIVE)
        return;
    auto now = std::chrono::steady_clock::now();
    if (drawn_ > 0 && now - painted_ < DISPLAY_PAINT_PERIOD)
        return;
    painted_ = now;
    std::vector<std::string> lines = live_lines(rows, footer, terminal_size_of(out_));
    std::string text = drawn_ > 0 ? "\r\x1b[" + std::to_string(drawn_) + "A" : "";
    for (const std::string& line : lines)
        text += "\r\x1b[2K" + line + "\n";
    text += "\x1b[J";  // rows that are gone since the last paint
    put_out(text);
    drawn_ = static_cast<int>(lines.size());
}

void display::interrupted()
{
    if (err_terminal_)
        put_err(err_ansi_ ? "\r\x1b[2K" : "\r");
    else if (out_terminal_ && mode_ != DISPLAY_JSON)
        put_out(mode_ == DISPLAY_LIVE ? "\r\x1b[2K" : "\r");
}

void display::problem(const std::string& text, const std::string& port)
{
    if (mode_ == DISPLAY_JSON) {
        nlohmann::json e = event_of("error", port);
        e["message"] = text;
        event(e);
        return;
    }
    failure(text);
}

void display::notice(const std::string& text)
{
    if (mode_ != DISPLAY_QUIET)
        failure(text);
}

void display::failure(const std::string& text)
{
    clear();
    put_err("zelflash: " + text + "\n");
}

void display::summary(const std::vector<board_view>& all)
{
    if (mode_ != DISPLAY_LIVE && mode_ != DISPLAY_PLAIN)
        return;
    clear();
    put_out(table(all));
}
