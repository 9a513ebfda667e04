#include "engine/slot.h"

namespace {

using std::chrono::milliseconds;

}  // namespace

int slot_logic::needed() const
{
    return t_.signal == slot_signal::line ? SLOT_LINE_SAMPLES : SLOT_PROBE_ANSWERS;
}

std::optional<slot_clock::time_point> slot_logic::next_look() const
{
    switch (phase_) {
    case slot_phase::unplugged:
    case slot_phase::leaving:
        return due_;
    case slot_phase::empty:
        if (t_.signal == slot_signal::enter && !asked_)
            return std::nullopt;
        return due_;
    default:
        return std::nullopt;
    }
}

slot_news slot_logic::opened(slot_clock::time_point now)
{
    phase_ = had_board_ ? slot_phase::leaving : slot_phase::empty;
    last_seen_ = now;
    in_a_row_ = 0;
    asked_ = false;
    due_ = now;
    return slot_news::plugged;
}

void slot_logic::not_opened(slot_clock::time_point now)
{
    due_ = now + milliseconds(SLOT_REOPEN_MS);
}

slot_news slot_logic::look(slot_look found, slot_clock::time_point now)
{
    if (phase_ != slot_phase::empty && phase_ != slot_phase::leaving)
        return slot_news::none;  // the port is not the slot's to look at
    if (found == slot_look::gone) {
        had_board_ = phase_ == slot_phase::leaving;
        phase_ = slot_phase::unplugged;
        in_a_row_ = 0;
        due_ = now + milliseconds(SLOT_REOPEN_MS);
        return slot_news::unplugged;
    }
    bool present = found == slot_look::present;
    return phase_ == slot_phase::empty ? look_empty(present, now) : look_leaving(present, now);
}

// Answers count only in a row: the looks after the first come at once, so
// a board seated between two probes starts within about one period.
slot_news slot_logic::look_empty(bool present, slot_clock::time_point now)
{
    bool line = t_.signal == slot_signal::line;
    milliseconds period = line ? milliseconds(SLOT_LINE_SAMPLE_MS) : t_.probe;
    if (!present) {
        in_a_row_ = 0;
        asked_ = false;  // Enter: no board there; the next Enter asks again
        due_ = now + period;
        return slot_news::none;
    }
    if (++in_a_row_ < needed()) {
        due_ = now + milliseconds(line ? SLOT_LINE_SAMPLE_MS : SLOT_CONFIRM_MS);
        return slot_news::none;
    }
    phase_ = slot_phase::ready;
    in_a_row_ = 0;
    asked_ = false;
    return slot_news::arrived;
}

// With a presence line the board has left once the line is off for
// SLOT_LINE_SAMPLES samples; with the probe, once it has not answered for
// the leave time. A programmed board that answers as a board arriving
// would has come back into its loader: said once, and it stays until it
// leaves.
slot_news slot_logic::look_leaving(bool present, slot_clock::time_point now)
{
    if (t_.signal == slot_signal::line) {
        in_a_row_ = present ? 0 : in_a_row_ + 1;
        due_ = now + milliseconds(SLOT_LINE_SAMPLE_MS);
        if (in_a_row_ < SLOT_LINE_SAMPLES)
            return slot_news::none;
        phase_ = slot_phase::empty;
        in_a_row_ = 0;
        return slot_news::left;
    }
    due_ = now + t_.probe;
    if (!present) {
        in_a_row_ = 0;
        bool settled = !programmed_ || now - ended_at_ >= SLOT_REARM_LEAVES * t_.leave;
        if (now - last_seen_ < t_.leave || !settled)
            return slot_news::none;
        phase_ = slot_phase::empty;
        return slot_news::left;
    }
    last_seen_ = now;
    if (!programmed_ || flagged_)
        return slot_news::none;
    if (++in_a_row_ < SLOT_PROBE_ANSWERS) {
        due_ = now + milliseconds(SLOT_CONFIRM_MS);
        return slot_news::none;
    }
    flagged_ = true;
    return slot_news::in_loader;
}

void slot_logic::enter(slot_clock::time_point now)
{
    if (phase_ != slot_phase::empty || t_.signal != slot_signal::enter || asked_)
        return;
    asked_ = true;
    in_a_row_ = 0;
    due_ = now;
}

void slot_logic::started()
{
    phase_ = slot_phase::programming;
}

void slot_logic::ended(bool programmed, slot_clock::time_point now)
{
    phase_ = slot_phase::leaving;
    programmed_ = programmed;
    flagged_ = false;
    in_a_row_ = 0;
    last_seen_ = now;
    ended_at_ = now;
    due_ = now + (t_.signal == slot_signal::line ? milliseconds(SLOT_LINE_SAMPLE_MS) : t_.probe);
}

const char* slot_phase_key(slot_phase p)
{
    switch (p) {
    case slot_phase::unplugged: return "unplugged";
    case slot_phase::empty: return "empty";
    case slot_phase::ready: return "ready";
    case slot_phase::programming: return "programming";
    case slot_phase::leaving: return "leaving";
    }
    return "";
}

const char* slot_news_key(slot_news n)
{
    switch (n) {
    case slot_news::none: return "";
    case slot_news::arrived: return "arrived";
    case slot_news::left: return "left";
    case slot_news::in_loader: return "in_loader";
    case slot_news::unplugged: return "unplugged";
    case slot_news::plugged: return "plugged";
    case slot_news::started: return "started";
    case slot_news::ended: return "ended";
    }
    return "";
}
