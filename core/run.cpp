#include "run.h"

#include <algorithm>
#include <iterator>
#include <optional>

#include "job.h"
#include "job_state.h"
#include "layer.h"
#include "lguard.h"
#include "lpkt.h"
#include "lprog.h"
#include "port.h"
#include "ser.h"
#include "sink.h"
#include "zassert.h"

static bool moved_on(const sink_progress& before, const sink_progress& now)
{
    return now.phase != before.phase || now.addr != before.addr || now.done != before.done;
}

static run_result ended(job* t, run_outcome outcome, const sink_progress& at, uint32_t attempts)
{
    return run_result{outcome,  at.phase, at.addr,  attempts, at.retries, at.done, at.total, lguard_seen(t->guard),
                      lpkt_bad_frames(t->pkt)};
}

// The outcome of a command that went unacknowledged `attempts` times, the
// erase wait having lasted waited_ms; none while it may go on.
// ERASE goes out at most RUN_ERASE_ATTEMPTS times, each frame given its whole
// bound, since a device may answer it only once it has erased.
static std::optional<run_outcome> verdict(job* t, const sink_progress& at, uint32_t attempts, uint32_t waited_ms,
                       const run_limits* limits)
{
    if (at.phase == LPROG_WAIT_ERASE)
        return waited_ms >= limits->erase_ms ? std::optional(run_outcome::erase_timeout) : std::nullopt;
    if (at.phase == LPROG_ERASE) {
        bool spent = attempts >= std::min<uint32_t>(limits->attempts, RUN_ERASE_ATTEMPTS);
        return spent && lguard_hold_left_ms(t->guard) == 0 ? std::optional(run_outcome::no_answer) : std::nullopt;
    }
    if (attempts < limits->attempts)
        return std::nullopt;
    return at.phase == LPROG_RESET ? run_outcome::unconfirmed : run_outcome::no_answer;
}

// While settling, one read waits out what is left of it: an owed answer that
// came just after a shorter read had timed out would go with the drain. While
// the guard keeps a repeat back, one read waits for the answer meanwhile. The
// erase-wait question goes out as often as the guard lets it.
static uint32_t reply_timeout(job* t, int32_t phase)
{
    if (lguard_settling(t->guard))
        return std::clamp<uint32_t>(lguard_settle_left_ms(t->guard), 1, LGUARD_REPLY_MS);
    uint32_t kept = lguard_hold_left_ms(t->guard);
    if (kept > 0)
        return std::clamp<uint32_t>(kept, 1, LGUARD_REPLY_MS);
    if (phase == LPROG_WAIT_ERASE)
        return lguard_ask_ms(t->guard);
    return std::clamp<uint32_t>(2 * lguard_seen(t->guard).slowest_ms, LGUARD_TIMEOUT_MS, LGUARD_REPLY_MS);
}

// Whether the device has stayed silent longer than the limits allow while
// the image is written or the clock set.
static bool gone_silent(const run_limits* limits, int32_t phase, uint32_t silent_ms)
{
    bool bounded = phase == LPROG_PROGRAM || phase == LPROG_FIRST_AGAIN || phase == LPROG_SET_CLOCK;
    return bounded && limits->silence_ms > 0 && silent_ms >= limits->silence_ms;
}

// Sets the port's wait for an answer when it has to change.
static void pace(job* t, int32_t phase, uint32_t* timeout_ms)
{
    uint32_t want = reply_timeout(t, phase);
    if (want != *timeout_ms && ser_set_timeout(&t->port, want) == 0)
        *timeout_ms = want;
}

run_result run_job(job* t, const run_limits* limits)
{
    ZEL_ASSERT(t);
    ZEL_ASSERT(limits->attempts >= 1);
    const port_ops& ops = *t->config.seams.ops;
    sink_progress at{};
    lprog_progress(t->prog, &at);
    uint32_t attempts = 0;
    uint32_t timeout_ms = LGUARD_TIMEOUT_MS;
    uint32_t wait_start = ops.tick();
    uint32_t heard = wait_start;  // the last acknowledgement that moved the sequence on
    while (!lprog_done(t->prog)) {
        if (sink_cancelled(t->config.out))
            return ended(t, run_outcome::interrupted, at, attempts);
        pace(t, at.phase, &timeout_ms);
        lguard_figures before = lguard_seen(t->guard);
        job_poll(t);
        bool sent = lguard_seen(t->guard).frames != before.frames;
        bool kept = lguard_seen(t->guard).kept != before.kept;
        sink_progress now{};
        lprog_progress(t->prog, &now);
        // ERASE goes out again only once its frame's bound has passed: that
        // frame is the retry, answered or not.
        now.retries = at.retries + (sent && at.phase == LPROG_ERASE && attempts > 0 ? 1 : 0);
        std::optional<run_outcome> outcome;  // none while the run may go on
        if (lguard_seen(t->guard).unasked > 0) {
            outcome = run_outcome::out_of_step;
        } else if (moved_on(at, now)) {
            attempts = 0;
            heard = wait_start = ops.tick();
        } else if (gone_silent(limits, now.phase, ops.tick() - heard)) {
            outcome = run_outcome::board_left;
        } else if (sent || kept) {  // a frame out, or the wait for the answer to one sent before
            attempts += sent ? 1 : 0;
            if (sent && now.phase != LPROG_WAIT_ERASE && now.phase != LPROG_ERASE)
                now.retries += 1;
            outcome = ops.alive(t->port.handle) ? verdict(t, now, attempts, ops.tick() - wait_start, limits)
                                                : run_outcome::disconnected;
        } else {  // settling: the wait for the next command starts once it is over
            wait_start = ops.tick();
            if (!ops.alive(t->port.handle))
                outcome = run_outcome::disconnected;
        }
        at = now;
        sink_report(t->config.out, &at);
        if (outcome)
            return ended(t, *outcome, at, attempts);
    }
    return ended(t, run_outcome::programmed, at, 0);
}

const char* run_command(int32_t phase)
{
    switch (phase) {
    case LPROG_ERASE: return "ERASE";
    case LPROG_WAIT_ERASE:
    case LPROG_PROGRAM:
    case LPROG_FIRST_AGAIN: return "PROGRAM";
    case LPROG_SET_CLOCK: return "RTC_SET";
    case LPROG_RESET: return "RESET";
    default: return "";
    }
}

// The table is looked up by the outcome's value.
static constexpr bool names_in_order()
{
    for (size_t i = 0; i < std::size(run_outcome_names); ++i)
        if (static_cast<size_t>(run_outcome_names[i].outcome) != i)
            return false;
    return true;
}
static_assert(names_in_order(), "run_outcome_names lists every outcome in the enum's order");

static const run_outcome_name& named(run_outcome outcome)
{
    auto at = static_cast<size_t>(outcome);
    ZEL_ASSERT(at < std::size(run_outcome_names));
    return run_outcome_names[at];
}

const char* run_outcome_text(run_outcome outcome)
{
    return named(outcome).text;
}

const char* run_outcome_key(run_outcome outcome)
{
    return named(outcome).key;
}
