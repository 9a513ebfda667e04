#include "outputs/display_live.h"

#include <algorithm>

#include "base/texts.h"

enum display_live_constants : int {
    BAR_WIDTH = 20,  // characters of the progress bar
};

static std::string eta(const board_view& v)
{
    double rate = display_rate(v);
    if (v.state == BOARD_FINISHED || rate <= 0)
        return "--";
    double left = (v.at.total - v.at.done) / rate;
    return fixed(left, 0) + "s";
}

static std::string cut(std::string text, int width)
{
    if (text.size() > static_cast<size_t>(width))
        text.resize(static_cast<size_t>(width));
    return text;
}

std::string display_live::row(const board_view& v, int port_width, int width)
{
    int filled = v.at.total == 0 ? 0 : static_cast<int>(uint64_t{v.at.done} * BAR_WIDTH / v.at.total);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.resize(BAR_WIDTH, '.');
    std::string text = align_left(v.port, static_cast<size_t>(port_width)) + " [" + bar + "] " +
                       align_right(std::to_string(display_percent(v)), 3) + "% " +
                       align_right(std::to_string(v.at.done), 7) + "/" + align_left(std::to_string(v.at.total), 7) +
                       " " + align_right(fixed(display_rate(v) / 1024, 1), 6) + " KiB/s  ETA " +
                       align_right(eta(v), 4) + "  " + display_doing(v);
    return width > 0 ? cut(text, width) : text;
}

std::vector<std::string> display_live::fit(const std::vector<std::string>& texts, const std::string& footer,
                                           terminal_size size, const char* one_more, const char* more)
{
    // The last column makes some terminals wrap, and a paint that reaches
    // the last line scrolls the screen, so that the next one no longer
    // finds its rows where it left them.
    int width = std::max(size.columns - 1, 1);
    size_t room = static_cast<size_t>(std::max(size.rows - 1, 1));
    size_t below = footer.empty() ? 0 : 1;
    size_t shown = texts.size();
    if (shown + below > room)
        shown = room > below + 1 ? room - below - 1 : 0;
    std::vector<std::string> lines;
    for (size_t i = 0; i < shown; ++i)
        lines.push_back(cut(texts[i], width));
    if (shown < texts.size())
        lines.push_back(cut("+" + counted(texts.size() - shown, one_more, more), width));
    if (!footer.empty())
        lines.push_back(cut(footer, width));
    return lines;
}

std::vector<std::string> display_live::live_lines(const std::vector<board_view>& rows, const std::string& footer,
                                                  terminal_size size)
{
    std::vector<std::string> texts;
    int ports = display_port_width(rows);
    for (const board_view& v : rows)
        texts.push_back(row(v, ports, 0));
    return fit(texts, footer, size, "more board", "more boards");
}

bool display_live::due()
{
    auto now = std::chrono::steady_clock::now();
    if (drawn_ > 0 && now - painted_ < DISPLAY_PAINT_PERIOD)
        return false;
    painted_ = now;
    return true;
}

void display_live::paint(const std::vector<std::string>& lines)
{
    std::string text = drawn_ > 0 ? "\r\x1b[" + std::to_string(drawn_) + "A" : "";
    for (const std::string& line : lines)
        text += "\r\x1b[2K" + line + "\n";
    text += "\x1b[J";  // rows that are gone since the last paint
    put_out(text);
    drawn_ = static_cast<int>(lines.size());
}

void display_live::redraw(const std::vector<board_view>& rows, const std::string& footer)
{
    if (due())
        paint(live_lines(rows, footer, terminal_size_of(streams_.out)));
}

void display_live::slots(const std::vector<slot_view>& all, const std::string& footer)
{
    if (!due())
        return;
    std::vector<std::string> texts;
    for (const slot_view& v : all)
        texts.push_back(display_slot_text(v));
    paint(fit(texts, footer, terminal_size_of(streams_.out), "more slot", "more slots"));
}

void display_live::clear()
{
    if (drawn_ == 0)
        return;
    // From the start of the line: the cursor may stand after a "^C".
    put_out("\r\x1b[" + std::to_string(drawn_) + "A\x1b[J");
    drawn_ = 0;
}

void display_live::summary(const std::vector<board_view>& all)
{
    clear();
    put_out(display_table(all));
}

void display_live::totals(const board_tally& t)
{
    clear();
    put_out(display_totals_line(t) + "\n");
}
