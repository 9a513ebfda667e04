#include "outputs/display_plain.h"

#include "base/texts.h"

enum display_plain_constants : int {
    PLAIN_STEP = 10,  // a line per 10 %
};

void display_plain::started(const board_view& v, const image& img)
{
    step_[v.port] = 0;
    put_out(v.port + ": writing " + img.name + ", " + counted(img.bytes.size(), "byte", "bytes") + " at " +
            hex32(img.addr) + "\n");
}

void display_plain::progressed(const board_view& v)
{
    int reached = display_percent(v) / PLAIN_STEP * PLAIN_STEP;
    int& last = step_[v.port];
    if (reached <= last || v.state == BOARD_FINISHED)
        return;
    last = reached;
    put_out(v.port + ": " + align_right(std::to_string(reached), 3) + "% " + std::to_string(v.at.done) + "/" +
            counted(v.at.total, "byte", "bytes") + ", " + fixed(display_rate(v) / 1024, 1) + " KiB/s\n");
}

void display_plain::summary(const std::vector<board_view>& all)
{
    put_out(display_table(all));
}

void display_plain::totals(const board_tally& t)
{
    put_out(display_totals_line(t) + "\n");
}

void display_plain::watching(const std::string& what)
{
    put_out("zelflash: watching " + what + " for boards; Ctrl-C stops\n");
}

void display_plain::slot_changed(const slot_view& v)
{
    put_out(display_slot_text(v) + "\n");
    display::slot_changed(v);
}
