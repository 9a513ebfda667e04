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

void lguard_init(layer* t)
{
    layer_init(t);
    t->tx = lguard_tx;
    t->rx = lguard_rx;
    lguard_set_bound(t, LGUARD_REPLY_MS);
}

void lguard_set_bound(layer* t, uint32_t reply_ms)
{
    state(t)->reply_ms = reply_ms;
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

// Answers the packet layer dropped since last asked: each settles one owed
// answer, or, before the command is answered, counts as one of its answers.
static void take_dropped(layer* t)
{
    lguard* s = state(t);
    uint32_t now_switches = lpkt_switches(t->lower);
    uint32_t fresh = now_switches - s->switches;
    s->switches = now_switches;
    if (s->settling) {
        s->owed -= std::min(fresh, s->owed);
    } else if (!s->answered) {
        s->dropped += fresh;
    }
}

int lguard_settling(layer* t)
{
    lguard* s = state(t);
    take_dropped(t);
    uint32_t now = port.tick();
    if (s->settling && (s->owed == 0 || reached(now, s->until)))
        end_settle(s, now);
    return s->settling;
}

uint32_t lguard_settle_left_ms(layer* t)
{
    lguard* s = state(t);
    uint32_t now = port.tick();
    return s->settling && !reached(now, s->until) ? s->until - now : 0;
}

static int32_t upper_phase(layer* t)
{
    sink_progress p{};
    lprog_progress(t->upper, &p);
    return p.phase;
}

void lguard_tx(layer* t, mlb* m)
{
    lguard* s = state(t);
    ZEL_ASSERT(!s->settling);
    take_dropped(t);
    bool sending = mlb_len(m) > 0;
    if (sending) {
        if (s->answered || s->sent == 0) {
            s->sent = 0;
            s->dropped = 0;
            s->answered = 0;
            s->first_at = port.tick();
            s->phase = upper_phase(t);
        } else if (s->phase != LPROG_WAIT_ERASE) {  // asking again whether the erase is over is no resend
            s->seen.resends += 1;
        }
        s->sent += 1;
        s->seen.frames += 1;
    }
    t->lower->tx(t->lower, m);
    if (sending)
        s->sent_at = port.tick();
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

// Held answers to the erase wait all become due at the erase's end, which
// this answer marks; any other answer is due within the bound of its frame.
static void settle(lguard* s, uint32_t now)
{
    uint32_t owed = s->sent - 1;
    s->owed = owed - std::min(s->dropped, owed);
    if (s->owed == 0)
        return;
    s->settling = 1;
    s->until = (s->phase == LPROG_WAIT_ERASE ? now : s->sent_at) + s->reply_ms;
    s->settle_from = now;
    s->seen.settles += 1;
}

// An ACK while settling: one of the owed answers, to a frame that had timed out.
static void take_owed(lguard* s, uint32_t now)
{
    s->owed -= 1;
    s->seen.late += 1;
    s->seen.late_ms = now - s->first_at;
    if (s->owed > 0)
        return;
    // Every frame has had its answer, in order: this one answers the last.
    note_slowest(s, now - s->sent_at);
    end_settle(s, now);
}

void lguard_rx(layer* t, mlb* m)
{
    lguard* s = state(t);
    take_dropped(t);
    if (lprog_acknowledges(m)) {
        uint32_t now = port.tick();
        if (s->settling) {
            take_owed(s, now);
            return;
        }
        if (s->answered || s->sent == 0) {
            s->seen.unasked += 1;
            return;
        }
        s->answered = 1;
        if (s->sent == 1)
            note_answer(s, now);
        else
            settle(s, now);
    }
    t->upper->rx(t->upper, m);
}
