#include "display.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <nlohmann/json.hpp>

#include "console.h"
#include "lprog.h"

enum display_constants : int {
    BAR_WIDTH = 20,        // characters of the progress bar
    PLAIN_STEP = 10,       // plain mode: a line per 10 %
    JSON_STEP = 1,         // json mode: an event per 1 %
    PORT_COLUMN = 14,      // width of the port column
};

display::display(display_mode mode, FILE* out, FILE* err) : mode_(mode), out_(out), err_(err) {}

double display_rate(const board_view& v)
{
    return v.seconds > 0 ? v.at.done / v.seconds : 0;
}

static int percent(const board_view& v)
{
    return v.at.total == 0 ? 0 : static_cast<int>(uint64_t{v.at.done} * 100 / v.at.total);
}

static std::string printf_string(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

static std::string printf_string(const char* format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

// The command in flight, or how the run ended.
static std::string doing(const board_view& v)
{
    if (v.state == BOARD_FINISHED)
        return run_outcome_text(v.result.outcome);
    switch (v.at.phase) {
    case LPROG_ERASE: return printf_string("ERASE 0x%08" PRIx32, v.at.addr);
    case LPROG_WAIT_ERASE: return "erasing";
    case LPROG_PROGRAM:
    case LPROG_FIRST_AGAIN: return printf_string("PROGRAM 0x%08" PRIx32, v.at.addr);
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
    return printf_string("%.0fs", left);
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
    std::string text = printf_string("%-*s [%s] %3d%% %7" PRIu32 "/%-7" PRIu32 " %6.1f KiB/s  ETA %4s  %s",
                                     port_width, v.port.c_str(), bar.c_str(), percent(v), v.at.done, v.at.total,
                                     display_rate(v) / 1024, eta(v).c_str(), doing(v).c_str());
    if (width > 0 && text.size() > static_cast<size_t>(width))
        text.resize(static_cast<size_t>(width));
    return text;
}

std::string display::table(const std::vector<board_view>& all)
{
    int ports = port_width(all);
    std::string text = printf_string("%-*s %-34s %9s %8s %8s\n", ports, "port", "outcome", "bytes", "seconds",
                                     "retries");
    for (const board_view& v : all)
        text += printf_string("%-*s %-34s %9" PRIu32 " %8.2f %8" PRIu32 "\n", ports, v.port.c_str(),
                              doing(v).c_str(), v.at.done, v.seconds, v.at.retries);
    return text;
}

void display::emit(const std::string& json_line)
{
    std::fprintf(out_, "%s\n", json_line.c_str());
    std::fflush(out_);
}

nlohmann::json display_link_json(const run_result& r)
{
    return {{"frames", r.link.frames},         {"resends", r.link.resends},     {"late_replies", r.link.late},
            {"latest_late_ms", r.link.late_ms}, {"slowest_reply_ms", r.link.slowest_ms},
            {"bad_frames", r.bad_frames},       {"quiet_waits", r.link.settles}, {"quiet_ms", r.link.settle_ms},
            {"unasked_acks", r.link.unasked}};
}

static nlohmann::json event(const char* name, const board_view& v)
{
    nlohmann::json e = {{"event", name},   {"port", v.port},          {"bytes", v.at.done},
                        {"total", v.at.total}, {"seconds", v.seconds}, {"retries", v.at.retries}};
    if (!v.serial.empty())
        e["serial"] = v.serial;
    return e;
}

void display::started(const board_view& v, const image& img)
{
    step_[v.port] = 0;
    if (mode_ == DISPLAY_JSON) {
        nlohmann::json e = event("start", v);
        e["image"] = img.name;
        e["address"] = img.addr;
        emit(e.dump());
    } else if (mode_ == DISPLAY_PLAIN) {
        std::fprintf(out_, "%s: writing %s, %zu bytes at 0x%08" PRIx32 "\n", v.port.c_str(), img.name.c_str(),
                     img.bytes.size(), img.addr);
        std::fflush(out_);
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
        nlohmann::json e = event("progress", v);
        e["command"] = doing(v);
        emit(e.dump());
    } else if (mode_ == DISPLAY_PLAIN) {
        std::fprintf(out_, "%s: %3d%% %" PRIu32 "/%" PRIu32 " bytes, %.1f KiB/s\n", v.port.c_str(), reached,
                     v.at.done, v.at.total, display_rate(v) / 1024);
        std::fflush(out_);
    }
}

void display::finished(const board_view& v)
{
    bool good = v.result.outcome == RUN_PROGRAMMED || v.result.outcome == RUN_UNCONFIRMED;
    if (mode_ == DISPLAY_JSON) {
        nlohmann::json e = event(good ? "done" : "error", v);
        e["outcome"] = run_outcome_text(v.result.outcome);
        e["link"] = display_link_json(v.result);
        if (!v.message.empty())
            e["message"] = v.message;
        emit(e.dump());
        return;
    }
    if (!v.message.empty())
        problem(v.message);
    if (mode_ == DISPLAY_QUIET || !good)
        return;
    clear();  // live mode: the line goes above the rows, which are painted again below it
    std::string link = board_link_text(v.result);
    std::fprintf(out_, "%s: %s in %.2f s, %" PRIu32 " bytes, %" PRIu32 " retries%s%s\n", v.port.c_str(),
                 run_outcome_text(v.result.outcome), v.seconds, v.at.done, v.at.retries, link.empty() ? "" : "; ",
                 link.c_str());
    std::fflush(out_);
}

void display::clear()
{
    if (drawn_ == 0)
        return;
    std::fprintf(out_, "\x1b[%dA\x1b[J", drawn_);
    std::fflush(out_);
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
    int width = console_width(out_) - 1;
    std::string text;
    if (drawn_ > 0)
        text += printf_string("\x1b[%dA", drawn_);
    int ports = port_width(rows);
    for (const board_view& v : rows)
        text += "\r\x1b[2K" + row(v, ports, width) + "\n";
    if (!footer.empty())
        text += "\r\x1b[2K" + footer + "\n";
    text += "\x1b[J";  // rows that are gone since the last paint
    std::fputs(text.c_str(), out_);
    std::fflush(out_);
    drawn_ = static_cast<int>(rows.size()) + (footer.empty() ? 0 : 1);
}

void display::problem(const std::string& text)
{
    if (mode_ == DISPLAY_JSON) {
        emit(nlohmann::json{{"event", "error"}, {"message", text}}.dump());
        return;
    }
    clear();
    std::fprintf(err_, "zelflash: %s\n", text.c_str());
    std::fflush(err_);
}

void display::notice(const std::string& text)
{
    if (mode_ == DISPLAY_QUIET)
        return;
    clear();
    std::fprintf(err_, "zelflash: %s\n", text.c_str());
    std::fflush(err_);
}

void display::summary(const std::vector<board_view>& all)
{
    if (mode_ != DISPLAY_LIVE && mode_ != DISPLAY_PLAIN)
        return;
    clear();
    std::fputs(table(all).c_str(), out_);
    std::fflush(out_);
}
