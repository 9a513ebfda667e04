#include "lguard.h"

#include <algorithm>
#include <cstdlib>

#include "layer.h"
#include "lpkt.h"
#include "lprog.h"
#include "mlb.h"
#include "port.h"
#include "sink.h"
#include "zassert.h"

static lguard* state(layer* t)
{
    return static_cast<lguard*>(t->p_);
}

layer* lguard_alloc()
{
    layer* t = static_cast<layer*>(std::calloc(1, sizeof(layer)));
    ZEL_ASSERT(t);
    t->p_ = std::calloc(1, sizeof(lguard));
    ZEL_ASSERT(t->p_);
    return t;
}

void lguard_init(layer* t, const port_ops* ops, layer* prog, layer* pkt)
{
    ZEL_ASSERT(ops);
    layer_init(t);
    t->tx = lguard_tx;
    t->rx = lguard_rx;
    state(t)->ops = ops;
    state(t)->prog = prog;
    state(t)->pkt = pkt;
    lguard_set_bounds(t, LGUARD_BOUNDS);
}

static uint32_t tick(const lguard* s)
{
    return s->ops->tick();
}

void lguard_set_bounds(layer* t, lguard_bounds bounds)
{
    state(t)->bounds = bounds;
}

lguard_figures lguard_seen(layer* t)
{
    return state(t)->seen;
}

// Ticks wrap; a deadline has come once the tick is no longer before it.
static bool reached(uint32_t now, uint32_t deadline)
{
    return static_cast<int32_t>(now - deadline) >= 0;
}

static void end_settle(lguard* s, uint32_t now)
{
    s->settling = 0;
    s->seen.settle_ms += now - s->settle_from;
}

// The erase wait's answers come together: the next owed one within the
// spread of the latest frame heard, and the last within the spread once for
// every answer owed when the settle began.
static void await_next_answer(lguard* s, uint32_t now)
{
    uint32_t next = now + s->bounds.spread_ms;
    s->until = reached(next, s->until_latest) ? s->until_latest : next;
}

// Answers the packet layer dropped since last asked: each settles one owed
// answer, or, before the command is answered, counts as one of its answers.
// Any frame it dropped, an answer spoilt on the way perhaps, keeps the erase
// wait's settle going for the spread.
static void take_dropped(layer* t)
{
    lguard* s = state(t);
    uint32_t now_switches = lpkt_switches(s->pkt);
    uint32_t fresh = now_switches - s->switches;
    s->switches = now_switches;
    uint32_t now_bad = lpkt_bad_frames(s->pkt);
    bool heard = now_bad != s->bad_frames;
    s->bad_frames = now_bad;
    if (s->settling) {
        s->owed -= std::min(fresh, s->owed);
        if (heard && s->phase == LPROG_WAIT_ERASE)
            await_next_answer(s, tick(s));
    } else if (!s->answered) {
        s->dropped += fresh;
    }
}

int lguard_settling(layer* t)
{
    lguard* s = state(t);
    take_dropped(t);
    uint32_t now = tick(s);
    if (s->settling && (s->owed == 0 || reached(now, s->until)))
        end_settle(s, now);
    return s->settling;
}

uint32_t lguard_settle_left_ms(layer* t)
{
    lguard* s = state(t);
    uint32_t now = tick(s);
    return s->settling && !reached(now, s->until) ? s->until - now : 0;
}

// The 4 KiB sectors the range of the command about to go out touches.
static uint32_t range_sectors(const sink_progress& p)
{
    uint64_t first = p.addr / LGUARD_SECTOR_SIZE;
    uint64_t end = (uint64_t{p.addr} + p.total + LGUARD_SECTOR_SIZE - 1) / LGUARD_SECTOR_SIZE;
    return static_cast<uint32_t>(end - first);
}

// How long after it was sent a frame of the command in flight may still be
// answered; the erase wait's questions may be held as long as the erase runs.
static uint32_t answer_window(const lguard* s)
{
    if (s->phase == LPROG_ERASE)
        return s->bounds.reply_ms + s->erase_sectors * s->bounds.erase_sector_ms;
    return s->bounds.reply_ms;
}

uint32_t lguard_ask_ms(layer* t)
{
    const lguard* s = state(t);
    uint32_t answers_in = std::max(s->seen.slowest_ms, s->erase_answer_ms);
    return std::clamp<uint32_t>(2 * answers_in, LGUARD_ASK_MIN_MS, std::max<uint32_t>(s->bounds.reply_ms, LGUARD_ASK_MIN_MS));
}

// How long after its last frame a repeat of the command in flight is kept back.
static uint32_t hold_span(layer* t)
{
    const lguard* s = state(t);
    if (s->sent == 0 || s->answered || s->settling)
        return 0;
    if (s->phase == LPROG_ERASE)
        return answer_window(s);
    if (s->phase == LPROG_WAIT_ERASE)
        return lguard_ask_ms(t);
    return 0;
}

uint32_t lguard_hold_left_ms(layer* t)
{
    uint32_t span = hold_span(t);
    uint32_t now = tick(state(t));
    uint32_t until = state(t)->sent_at + span;
    return span > 0 && !reached(now, until) ? until - now : 0;
}

// No earlier frame of the command in flight can be answered any more: a
// repeat then starts it afresh, owing nothing.
static bool frames_dead(const lguard* s, uint32_t now)
{
    return s->phase != LPROG_WAIT_ERASE && reached(now, s->sent_at + answer_window(s) + 1);
}

static void start_command(layer* t, uint32_t now)
{
    lguard* s = state(t);
    sink_progress p{};
    lprog_progress(s->prog, &p);
    s->sent = 0;
    s->dropped = 0;
    s->answered = 0;
    s->first_at = now;
    s->phase = p.phase;
    if (p.phase == LPROG_ERASE)
        s->erase_sectors = range_sectors(p);
}

// Counts a frame about to go out; false when it is a repeat to keep back.
static bool count_frame(layer* t)
{
    lguard* s = state(t);
    uint32_t now = tick(s);
    if (lguard_hold_left_ms(t) > 0) {
        s->seen.kept += 1;
        return false;
    }
    bool repeat = !s->answered && s->sent > 0;
    if (!repeat || frames_dead(s, now))
        start_command(t, now);
    if (repeat && s->phase != LPROG_WAIT_ERASE)  // asking again whether the erase is over is no resend
        s->seen.resends += 1;
    s->sent += 1;
    s->seen.frames += 1;
    return true;
}

void lguard_tx(layer* t, mlb* m)
{
    lguard* s = state(t);
    ZEL_ASSERT(!s->settling);
    take_dropped(t);
    if (mlb_len(m) == 0 || !count_frame(t))
        return;
    t->lower->tx(t->lower, m);
    s->sent_at = tick(s);
}

// The erase and its wait take as long as the erase does: they say nothing of
// how quickly the device answers otherwise.
static bool answers_at_once(const lguard* s)
{
    return s->phase != LPROG_ERASE && s->phase != LPROG_WAIT_ERASE;
}

// The wait for the answer to the command's last frame; true when it counts
// toward how quickly the device answers.
static bool note_slowest(lguard* s, uint32_t waited)
{
    if (!answers_at_once(s))
        return false;
    s->seen.slowest_ms = std::max(s->seen.slowest_ms, waited);
    return true;
}

static void note_answer(lguard* s, uint32_t now)
{
    uint32_t waited = now - s->sent_at;
    if (note_slowest(s, waited) && waited > LGUARD_TIMEOUT_MS) {
        s->seen.late += 1;
        s->seen.late_ms = waited;
    }
}

// The erase wait's answers come together: the next owed one within the
// spread of the latest; any other answer is due within the bound of its frame.
static void settle(lguard* s, uint32_t now)
{
    uint32_t owed = s->sent - 1;
    s->owed = owed - std::min(s->dropped, owed);
    if (s->owed == 0)
        return;
    s->settling = 1;
    s->until_latest = now + s->owed * s->bounds.spread_ms;
    s->until = s->phase == LPROG_WAIT_ERASE ? now + s->bounds.spread_ms : s->sent_at + s->bounds.reply_ms;
    s->settle_from = now;
    s->seen.settles += 1;
}

// An ACK while settling: one of the owed answers, to a frame that had timed out.
static void take_owed(lguard* s, uint32_t now)
{
    s->owed -= 1;
    s->seen.late += 1;
    s->seen.late_ms = now - s->first_at;
    if (s->owed > 0) {
        if (s->phase == LPROG_WAIT_ERASE)
            await_next_answer(s, now);
        return;
    }
    // Every frame has had its answer, in order: this one answers the last.
    note_slowest(s, now - s->sent_at);
    end_settle(s, now);
}

void lguard_rx(layer* t, mlb* m)
{
    lguard* s = state(t);
    take_dropped(t);
    if (lprog_acknowledges(m)) {
        uint32_t now = tick(s);
        if (s->settling) {
            take_owed(s, now);
            return;
        }
        if (s->answered || s->sent == 0) {
            s->seen.unasked += 1;
            return;
        }
        s->answered = 1;
        if (s->phase == LPROG_ERASE && s->sent == 1)
            s->erase_answer_ms = now - s->sent_at;
        if (s->sent == 1)
            note_answer(s, now);
        else
            settle(s, now);
    }
    t->upper->rx(t->upper, m);
}
