#include "lprog.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "layer.h"
#include "lpkt.h"
#include "mlb.h"
#include "sink.h"
#include "zassert.h"

// localtime() hands out one static record, so callers on several threads
// take turns.
bool lprog_system_time(std::tm* out)
{
    static std::mutex lock;
    std::time_t now = std::time(nullptr);
    if (now == static_cast<std::time_t>(-1))
        return false;
    std::lock_guard<std::mutex> hold(lock);
    const std::tm* local = std::localtime(&now);
    if (local == nullptr)
        return false;
    *out = *local;
    return true;
}

static lprog* state(layer* t)
{
    return static_cast<lprog*>(t->p_);
}

layer* lprog_alloc()
{
    layer* t = static_cast<layer*>(std::calloc(1, sizeof(layer)));
    ZEL_ASSERT(t);
    t->p_ = std::calloc(1, sizeof(lprog));
    ZEL_ASSERT(t->p_);
    return t;
}

void lprog_init(layer* t, const sink* out, lprog_clock clock)
{
    ZEL_ASSERT(clock);
    layer_init(t);
    t->tx = lprog_tx;
    t->rx = lprog_rx;
    state(t)->start = nullptr;
    state(t)->out = out;
    state(t)->clock = clock;
}

void lprog_start(layer* t, const uint8_t* image, uint32_t total, uint32_t addr, int32_t chunk)
{
    lprog* s = state(t);
    s->start = image;
    s->cur = image;
    s->total = total;
    s->addr = addr;
    s->chunk = chunk;
    s->phase = LPROG_ERASE;
    s->done = 0;
}

int lprog_done(layer* t)
{
    return state(t)->done;
}

static uint32_t chunk_addr(const lprog* s)
{
    return s->addr + static_cast<uint32_t>(s->cur - s->start);
}

void lprog_progress(layer* t, sink_progress* p)
{
    const lprog* s = state(t);
    p->phase = s->phase;
    switch (s->phase) {
    case LPROG_ERASE:
        p->addr = s->addr;
        p->done = 0;
        break;
    case LPROG_WAIT_ERASE:
        p->addr = 0;
        p->done = 0;
        break;
    case LPROG_PROGRAM:
        p->addr = chunk_addr(s);
        p->done = static_cast<uint32_t>(s->cur - s->start);
        break;
    case LPROG_FIRST_AGAIN:
        p->addr = s->addr;
        p->done = s->total;
        break;
    default:
        p->addr = 0;
        p->done = s->start != nullptr ? s->total : 0;
        break;
    }
    p->total = s->total;
}

// Appends the 8-byte name field, writing the name and its NUL only: the rest
// of the field keeps what the buffer held.
static void put_name(mlb* m, const char* name)
{
    size_t n = std::strlen(name) + 1;
    ZEL_ASSERT(n <= LPROG_NAME_SIZE);
    std::memcpy(mlb_push_tlr(m, LPROG_NAME_SIZE), name, n);
}

static void put_command(mlb* m, const char* name, uint32_t p1, uint32_t p2)
{
    put_name(m, name);
    put_le32(mlb_push_tlr(m, LPROG_PARAM_SIZE), p1);
    put_le32(mlb_push_tlr(m, LPROG_PARAM_SIZE), p2);
}

static void put_program(lprog* s, mlb* m)
{
    uint32_t a = chunk_addr(s);
    put_command(m, "PROGRAM", a, a + static_cast<uint32_t>(s->chunk));
    std::memcpy(mlb_push_tlr(m, s->chunk), s->cur, static_cast<size_t>(s->chunk));
    sink_printf(s->out, "\rProgramming %4lx\r", static_cast<unsigned long>(a));
}

// Time record: year - 2000, month 1..12, day, hour, minute, second, 0, 0.
// Without a readable clock nothing is appended, and the command is built
// again at the next poll.
static void put_clock(lprog* s, mlb* m)
{
    std::tm now{};
    if (!s->clock(&now))
        return;
    put_name(m, "RTC_SET");
    uint8_t record[LPROG_CLOCK_SIZE] = {
        static_cast<uint8_t>(now.tm_year - 100), static_cast<uint8_t>(now.tm_mon + 1),
        static_cast<uint8_t>(now.tm_mday),       static_cast<uint8_t>(now.tm_hour),
        static_cast<uint8_t>(now.tm_min),        static_cast<uint8_t>(now.tm_sec),
        0, 0,
    };
    std::memcpy(mlb_push_tlr(m, LPROG_CLOCK_SIZE), record, LPROG_CLOCK_SIZE);
    std::memcpy(mlb_push_tlr(m, LPROG_CLOCK_SIZE), record, LPROG_CLOCK_SIZE);
    sink_printf(s->out, "\rSetting time to %04d-%02d-%02d %02d:%02d:%02d\r", now.tm_year + 1900, now.tm_mon + 1,
                now.tm_mday, now.tm_hour, now.tm_min, now.tm_sec);
}

void lprog_tx(layer* t, mlb* m)
{
    lprog* s = state(t);
    switch (s->phase) {
    case LPROG_ERASE:
        put_command(m, "ERASE", s->addr, s->addr + s->total);
        sink_printf(s->out, "Erasing...");
        break;
    case LPROG_WAIT_ERASE:
        put_command(m, "PROGRAM", 0, 0);
        sink_printf(s->out, "Waiting for erase complete...");
        break;
    case LPROG_PROGRAM:
    case LPROG_FIRST_AGAIN:
        put_program(s, m);
        break;
    case LPROG_RESET:
        sink_printf(s->out, "\nRESET\n");
        put_name(m, "RESET");
        break;
    case LPROG_SET_CLOCK:
        put_clock(s, m);
        break;
    default:
        break;
    }
    t->lower->tx(t->lower, m);
}

void lprog_skip_erase(layer* t)
{
    state(t)->phase = LPROG_WAIT_ERASE;
}

static void advance(lprog* s)
{
    switch (s->phase) {
    case LPROG_ERASE:
        s->phase = LPROG_WAIT_ERASE;
        break;
    case LPROG_WAIT_ERASE:
        s->phase = LPROG_PROGRAM;
        break;
    case LPROG_PROGRAM:
    {
        // Offsets rather than pointers, so no pointer past the image is formed.
        size_t next = static_cast<size_t>(s->cur - s->start) + static_cast<size_t>(s->chunk);
        if (next >= s->total) {
            s->cur = s->start;
            s->phase = LPROG_FIRST_AGAIN;
        } else {
            s->cur = s->start + next;
        }
        break;
    }
    case LPROG_FIRST_AGAIN:
        s->phase = LPROG_SET_CLOCK;
        break;
    case LPROG_SET_CLOCK:
        s->phase = LPROG_RESET;
        break;
    case LPROG_RESET:
        s->phase = LPROG_IDLE;
        s->done = 1;
        break;
    default:
        break;
    }
}

int lprog_acknowledges(mlb* m)
{
    int32_t n = mlb_len(m);
    mlb_pull_hdr(m, 0);
    mlb_pull_tlr(m, 0);
    if (n <= 3)
        return 0;
    return std::strcmp(reinterpret_cast<const char*>(mlb_data(m)), "ACK") == 0 ? 1 : 0;
}

void lprog_rx(layer* t, mlb* m)
{
    if (lprog_acknowledges(m))
        advance(state(t));
}
