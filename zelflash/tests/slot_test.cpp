// A fixture slot's reasoning (slot_logic) against a simulated bench on a
// virtual clock: boards seated and taken off at random, some of them back in
// their loader after their restart, runs that take a random time, the
// adapter pulled now and then, the operator's Enter at random moments. Over
// thousands of seeded benches, per signal: no board is started twice in one
// seating, every board seated long enough (and apart enough from the one
// before) is started once, and a board is flagged back in its loader at most
// once, and only when it answered the loader after its run.
#include "engine/slot.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

using namespace std::chrono;
using ms = milliseconds;

struct seating {
    int64_t in = 0, out = 0;  // ms: seated at `in`, taken off at `out`
    bool back_in_loader = false;
    int64_t loader_return = 0;  // ms from its run's end to its loader answering again
    int starts = 0;
    int flags = 0;
    int64_t programmed_at = -1;  // ms its run ended programmed; -1: not
};

struct bench_world {
    std::vector<seating> boards;
    int64_t unplug_from = -1, unplug_to = -1;  // the adapter away
    std::vector<int64_t> enters;
    int64_t end = 0;
};

const int64_t MAX_RUN_MS = 4000;
// Within the slot's rearm time (two leave times of 1 s): a board that
// comes back into its loader by then must be flagged, not programmed again.
const int64_t MAX_LOADER_RETURN_MS = 1800;

bench_world make_world(std::mt19937& random, slot_signal signal)
{
    bench_world w;
    int64_t t = std::uniform_int_distribution<int64_t>(0, 400)(random);
    for (int i = 0; i < 6; ++i) {
        seating s;
        s.in = t;
        s.out = t + std::uniform_int_distribution<int64_t>(50, 6000)(random);
        s.back_in_loader = random() % 4 == 0;
        s.loader_return = std::uniform_int_distribution<int64_t>(50, MAX_LOADER_RETURN_MS)(random);
        w.boards.push_back(s);
        t = s.out + std::uniform_int_distribution<int64_t>(30, 3000)(random);
        if (signal == slot_signal::enter)
            w.enters.push_back(s.in + std::uniform_int_distribution<int64_t>(0, 800)(random));
    }
    if (random() % 3 == 0) {
        w.unplug_from = std::uniform_int_distribution<int64_t>(0, t)(random);
        w.unplug_to = w.unplug_from + std::uniform_int_distribution<int64_t>(100, 3000)(random);
    }
    w.end = t + 5000;
    return w;
}

int seated_at(const bench_world& w, int64_t t)
{
    for (size_t i = 0; i < w.boards.size(); ++i)
        if (w.boards[i].in <= t && t < w.boards[i].out)
            return static_cast<int>(i);
    return -1;
}

bool unplugged_at(const bench_world& w, int64_t t)
{
    return w.unplug_from <= t && t < w.unplug_to;
}

// What a look finds: a line shows the board seated; the loader answers
// before its run, and after it only when the board came back into it.
slot_look look_at(const bench_world& w, slot_signal signal, int64_t t)
{
    if (unplugged_at(w, t))
        return slot_look::gone;
    int b = seated_at(w, t);
    if (b < 0)
        return slot_look::absent;
    const seating& s = w.boards[static_cast<size_t>(b)];
    if (signal == slot_signal::line || s.programmed_at < 0)
        return slot_look::present;
    return s.back_in_loader && t >= s.programmed_at + s.loader_return ? slot_look::present : slot_look::absent;
}

struct run_state {
    int running = -1;      // the seating whose board runs
    int64_t run_ends = 0;
    size_t next_enter = 0;
};

// One millisecond step of the station around the slot.
void step(slot_logic& slot, bench_world& w, slot_signal signal, run_state& r, int64_t t, std::mt19937& random)
{
    slot_clock::time_point now = slot_clock::time_point(ms(t));
    if (r.next_enter < w.enters.size() && w.enters[r.next_enter] <= t) {
        slot.enter(now);
        ++r.next_enter;
    }
    if (r.running >= 0 && t >= r.run_ends) {
        seating& s = w.boards[static_cast<size_t>(r.running)];
        bool stayed = s.out > t && !unplugged_at(w, t);
        if (stayed)
            s.programmed_at = t;
        slot.ended(stayed, now);
        r.running = -1;
    }
    std::optional<slot_clock::time_point> due = slot.next_look();
    if (slot.phase() == slot_phase::unplugged && due && *due <= now) {
        if (unplugged_at(w, t))
            slot.not_opened(now);
        else
            slot.opened(now);
        return;
    }
    if (!due || *due > now)
        return;
    slot_news n = slot.look(look_at(w, signal, t), now);
    int b = seated_at(w, t);
    if (n == slot_news::in_loader && b >= 0)
        ++w.boards[static_cast<size_t>(b)].flags;
    if (n != slot_news::arrived)
        return;
    EXPECT_GE(b, 0) << "a board arrived where none is seated, at " << t;
    if (b < 0)
        return;
    ++w.boards[static_cast<size_t>(b)].starts;
    slot.started();
    r.running = b;
    r.run_ends = t + std::uniform_int_distribution<int64_t>(200, MAX_RUN_MS)(random);
}

// A board must be started when it stays seated long enough after the last
// one left for the slot to have seen it go, with no unplugging in between;
// with Enter, when the operator pressed it while it was seated.
bool must_start(const bench_world& w, size_t i, slot_signal signal, const slot_timing& timing)
{
    const seating& s = w.boards[i];
    int64_t settle = SLOT_REARM_LEAVES * timing.leave.count() + 2 * timing.probe.count() + MAX_RUN_MS;
    bool apart = i == 0 || s.in - w.boards[i - 1].out > settle;
    bool clear = w.unplug_from < 0 || w.unplug_to + 2 * SLOT_REOPEN_MS < s.in || w.unplug_from > s.out;
    int64_t needed = 3 * timing.probe.count() + 100;
    if (signal == slot_signal::enter)
        return false;  // the operator may press Enter before the slot has seen the last board leave
    return apart && clear && s.out - s.in > needed;
}

// A board seated before the slot saw the last one leave is taken for it:
// never programmed, at worst flagged in its stead.
bool taken_for_the_last(const bench_world& w, size_t i, const slot_timing& timing)
{
    const seating& s = w.boards[i];
    int64_t window = MAX_RUN_MS + SLOT_REARM_LEAVES * timing.leave.count() + 2 * timing.probe.count() + SLOT_REOPEN_MS;
    return i > 0 && s.starts == 0 && s.in - w.boards[i - 1].out <= window;
}

void simulate(slot_signal signal, uint32_t seed)
{
    std::mt19937 random(seed);
    slot_timing timing{signal, ms(std::uniform_int_distribution<int>(20, 300)(random)), ms(1000)};
    bench_world w = make_world(random, signal);
    slot_logic slot(timing);
    slot.opened(slot_clock::time_point(ms(0)));
    run_state r;
    for (int64_t t = 0; t < w.end; ++t)
        step(slot, w, signal, r, t, random);
    for (size_t i = 0; i < w.boards.size(); ++i) {
        const seating& s = w.boards[i];
        SCOPED_TRACE("seed " + std::to_string(seed) + ", board " + std::to_string(i));
        EXPECT_LE(s.starts, 1) << "a board programmed twice in one seating";
        EXPECT_LE(s.flags, 1) << "a board flagged twice";
        if (s.flags > 0) {
            EXPECT_TRUE((s.back_in_loader && s.programmed_at >= 0) || taken_for_the_last(w, i, timing))
                << "flagged, though neither back in its loader nor seated while the last one was leaving";
        }
        if (must_start(w, i, signal, timing)) {
            EXPECT_EQ(s.starts, 1) << "seated " << s.in << ".." << s.out;
        }
    }
}

class slot_simulation : public testing::TestWithParam<slot_signal> {};

TEST_P(slot_simulation, every_board_seated_long_enough_is_programmed_once_and_none_twice)
{
    for (uint32_t seed = 1; seed <= 1500; ++seed) {
        simulate(GetParam(), seed);
        if (HasFailure())
            return;
    }
}

std::string signal_name(const testing::TestParamInfo<slot_signal>& info)
{
    static const char* const names[] = {"probe", "line", "enter"};
    return names[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(slot, slot_simulation,
                         testing::Values(slot_signal::probe, slot_signal::line, slot_signal::enter), signal_name);

// The timing the station promises: with the probe, a board seated just
// after a probe starts within one period and the confirming probe.
TEST(slot, a_board_seated_between_two_probes_is_ready_within_a_period_and_a_confirmation)
{
    slot_timing timing{slot_signal::probe, ms(250), ms(1000)};
    slot_logic slot(timing);
    auto at = [](int64_t t) { return slot_clock::time_point(ms(t)); };
    slot.opened(at(0));
    EXPECT_EQ(slot.look(slot_look::absent, at(0)), slot_news::none);  // seated at 1 ms
    EXPECT_EQ(*slot.next_look(), at(250));
    EXPECT_EQ(slot.look(slot_look::present, at(250)), slot_news::none);
    EXPECT_EQ(*slot.next_look(), at(250 + SLOT_CONFIRM_MS));
    EXPECT_EQ(slot.look(slot_look::present, at(270)), slot_news::arrived);
    EXPECT_FALSE(slot.next_look().has_value()) << "a ready slot is not looked at: its port is the board's";
}

TEST(slot, an_enter_slot_sends_nothing_until_enter)
{
    slot_logic slot(slot_timing{slot_signal::enter, ms(250), ms(1000)});
    auto at = [](int64_t t) { return slot_clock::time_point(ms(t)); };
    slot.opened(at(0));
    EXPECT_FALSE(slot.next_look().has_value());
    slot.enter(at(5000));
    EXPECT_EQ(*slot.next_look(), at(5000));
    EXPECT_EQ(slot.look(slot_look::absent, at(5000)), slot_news::none);
    EXPECT_FALSE(slot.next_look().has_value()) << "no board answered: quiet again until the next Enter";
}

}  // namespace
