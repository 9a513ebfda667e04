#include "simloop.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <ctime>
#include <poll.h>
#include <unistd.h>

enum loop_constants : int32_t {
    BITS_PER_BYTE = 10,  // start bit, 8 data bits, stop bit
    READ_BLOCK = 4096,
    MICROSECONDS_PER_SECOND = 1000000,
};

const char* simloop_end_name(int32_t end)
{
    switch (end) {
    case SIMLOOP_RUNNING: return "running";
    case SIMLOOP_AFTER_RESET: return "reset";
    case SIMLOOP_STOPPED: return "signal";
    case SIMLOOP_TIME_LIMIT: return "time_limit";
    case SIMLOOP_LINE_ERROR: return "line_error";
    case SIMLOOP_BOARDS_DONE: return "boards_done";
    default: return "?";
    }
}

int64_t simloop_now_us()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * MICROSECONDS_PER_SECOND + ts.tv_nsec / 1000;
}

int64_t simloop_wire_us(uint64_t n, long baud)
{
    if (baud <= 0)
        return 0;
    // Rounded up: a frame is never taken before a real line could deliver it.
    uint64_t bits_us = n * BITS_PER_BYTE * uint64_t{MICROSECONDS_PER_SECOND};
    return static_cast<int64_t>((bits_us + static_cast<uint64_t>(baud) - 1) / static_cast<uint64_t>(baud));
}

static int64_t ms_to_us(double ms)
{
    return static_cast<int64_t>(ms * 1000.0 + 0.5);
}

// A fresh device on the line: erased flash, no erase running, nothing held,
// no frame on its way in and no reply due, the fault generator from its seed.
static void start_device(simloop* t)
{
    const options& opt = t->opt;
    slip_decoder_init(&t->decoder);
    packet_endpoint_init(&t->endpoint, opt.tagged ? PACKET_TAGGED : PACKET_PLAIN, opt.tag);
    device_init(&t->dev, device_timing{ms_to_us(opt.erase_ms_per_sector), ms_to_us(opt.program_ms), opt.erase_wait});
    faults_init(&t->inject, opt.seed, fault_timing{ms_to_us(opt.slow_gap_ms), ms_to_us(opt.late_ms), opt.noise_max});
    for (int32_t k = 0; k < FAULT_KINDS; ++k)
        faults_set_rule(&t->inject, k, opt.faults[static_cast<size_t>(k)]);
    for (const fault_at& f : opt.aimed)
        faults_aim(&t->inject, f);
    t->frames = frame_counts{};
    t->replies = reply_counts{};
    t->wait_answers = 0;
    t->inbox.clear();
    t->due.clear();
}

void simloop_init(simloop* t, const options& opt, int64_t now_us)
{
    t->opt = opt;
    start_device(t);
    t->bytes_in = 0;
    t->bytes_out = 0;
    t->outbox.clear();
    t->unsent.clear();
    t->start_us = now_us;
    t->in_free_us = now_us;
    t->out_free_us = now_us;
    t->last_input_us = now_us;
    t->end = SIMLOOP_RUNNING;
    t->end_us = now_us;
    t->slot = fixture_slot{};
    t->slot.next_change_us = opt.fixture ? now_us + fixture_next_change(&opt.plan, -1) : INT64_MAX;
    t->slot.loader_back_us = INT64_MAX;
}

// True when a device in its loader is on the line to take frames: always
// without --fixture.
static bool listening(const simloop* t)
{
    return !t->opt.fixture || (t->slot.seated > 0 && !t->slot.running_app);
}

// A frame nobody takes: the slot is empty, or the board runs its application.
static void count_unheard(simloop* t)
{
    if (t->slot.seated > 0)
        t->slot.app_frames += 1;
    else
        t->slot.frames_while_empty += 1;
}

static void advance_slot(simloop* t, int64_t now_us);

void simloop_take_bytes(simloop* t, const uint8_t* bytes, size_t n, int64_t now_us)
{
    advance_slot(t, now_us);
    t->bytes_in += n;
    if (n > 0)
        t->last_input_us = now_us;
    slip_frame frame;
    for (size_t i = 0; i < n; ++i) {
        if (!slip_feed(&t->decoder, bytes[i], now_us, &frame))
            continue;
        // A frame cannot start on the wire before the one in front of it ended.
        int64_t begin = std::max(frame.first_byte_us, t->in_free_us);
        int64_t due = begin + simloop_wire_us(frame.raw_bytes, t->opt.baud);
        t->in_free_us = due;
        if (!listening(t)) {
            count_unheard(t);
            continue;
        }
        t->inbox.push_back(pending_frame{due, std::move(frame)});
    }
}

static void schedule_reply(simloop* t, size_t command, int64_t now_us)
{
    const command_record& r = t->dev.log[command];
    t->due.push_back(due_reply{std::max(now_us, r.reply_us), command});
}

// After its RESET (whose "ACK" still goes out) the board runs its
// application: it takes nothing more, and a question it held is never
// answered. A board whose image does not start is back in its loader later.
static void board_runs_application(simloop* t, int64_t now_us)
{
    t->slot.running_app = true;
    t->dev.held.clear();
    if (fixture_back_to_loader(&t->opt.plan, t->slot.seated))
        t->slot.loader_back_us = now_us + t->opt.plan.loader_return_us;
}

static void handle_frame(simloop* t, const slip_frame& frame, int64_t now_us)
{
    t->frames.received += 1;
    if (faults_strike_frame(&t->inject, FAULT_IGNORE_FRAME, t->frames.received)) {
        t->frames.ignored += 1;
        return;
    }
    if (frame.status == SLIP_FRAME_TOO_LONG) {
        t->frames.too_long += 1;
        return;
    }
    if (frame.status == SLIP_FRAME_BAD_ESCAPE) {
        t->frames.bad_escape += 1;
        return;
    }
    packet_received packet{};
    int32_t verdict = packet_accept(&t->endpoint, frame.bytes, &packet);
    if (verdict == PACKET_NOT_ADDRESSED) {
        t->frames.not_addressed += 1;
        return;
    }
    if (verdict != PACKET_ACCEPTED) {
        t->frames.bad_check += 1;
        return;
    }
    t->frames.accepted += 1;
    size_t command = device_command(&t->dev, packet.payload, now_us);
    t->dev.log[command].frame = t->frames.received;
    if (t->dev.log[command].name == "ERASE")
        t->wait_answers = 0;
    if (t->dev.log[command].outcome == DEVICE_ANSWERED)
        schedule_reply(t, command, now_us);
    if (t->opt.fixture && t->dev.log[command].name == "RESET" && t->dev.log[command].outcome == DEVICE_ANSWERED)
        board_runs_application(t, now_us);
}

// Puts the plan's bytes on the outgoing wire: each write is delivered once
// its own wire time has passed, and the wire carries one thing at a time.
static void schedule_plan(simloop* t, const reply_plan& plan, int64_t now_us)
{
    int64_t clock = std::max(now_us + plan.delay_us, t->out_free_us);
    if (plan.gap_us > 0) {
        for (size_t i = 0; i < plan.wire.size(); ++i) {
            if (i > 0)
                clock += plan.gap_us;
            clock += simloop_wire_us(1, t->opt.baud);
            t->outbox.push_back(scheduled_write{clock, {plan.wire[i]}});
        }
    } else {
        clock += simloop_wire_us(plan.wire.size(), t->opt.baud);
        t->outbox.push_back(scheduled_write{clock, plan.wire});
    }
    t->out_free_us = clock;
}

static bool asks_erase_over(const command_record& r)
{
    return r.name == "PROGRAM" && r.param1 == 0 && r.param2 == 0 && r.data_length == 0;
}

// The answers to the erase wait's questions come together: after the first
// since the last ERASE, a fault may hold each back by wait_spread_ms at most.
static void keep_together(simloop* t, const command_record& r, reply_plan* plan)
{
    if (!asks_erase_over(r))
        return;
    if (t->wait_answers++ == 0)
        return;
    int64_t spread = ms_to_us(t->opt.wait_spread_ms);
    plan->delay_us = std::min(plan->delay_us, spread);
    if (plan->gap_us > 0 && !plan->wire.empty())
        plan->gap_us = std::min(plan->gap_us, spread / static_cast<int64_t>(plan->wire.size()));
}

static void send_reply(simloop* t, size_t command, int64_t now_us)
{
    command_record& r = t->dev.log[command];
    if (r.outcome != DEVICE_ANSWERED)
        return;
    if (t->opt.mute) {
        t->replies.muted += 1;
        r.fault = "mute";
        return;
    }
    std::vector<uint8_t> packet = packet_build(&t->endpoint, DEVICE_ACK);
    reply_plan plan = faults_plan_reply(&t->inject, packet, r.frame);
    if (plan.fault >= 0)
        r.fault = fault_name(plan.fault);
    if (plan.dropped) {
        t->replies.dropped += 1;
        return;
    }
    keep_together(t, r, &plan);
    r.reply_sent = true;
    t->replies.sent += 1;
    schedule_plan(t, plan, now_us);
}

static void run_due_frames(simloop* t, int64_t now_us)
{
    while (!t->inbox.empty() && t->inbox.front().due_us <= now_us) {
        pending_frame p = std::move(t->inbox.front());
        t->inbox.pop_front();
        if (listening(t))
            handle_frame(t, p.frame, now_us);
        else
            count_unheard(t);
    }
}

static void run_due_replies(simloop* t, int64_t now_us)
{
    // In order of due time, then of arrival, so equal times keep command order.
    std::stable_sort(t->due.begin(), t->due.end(),
                     [](const due_reply& a, const due_reply& b) { return a.at_us < b.at_us; });
    size_t taken = 0;
    while (taken < t->due.size() && t->due[taken].at_us <= now_us)
        send_reply(t, t->due[taken++].command, now_us);
    t->due.erase(t->due.begin(), t->due.begin() + static_cast<std::ptrdiff_t>(taken));
}

static void run_device(simloop* t, int64_t now_us)
{
    run_due_frames(t, now_us);
    for (size_t released : device_release_waits(&t->dev, now_us))
        schedule_reply(t, released, now_us);
    run_due_replies(t, now_us);
}

void simloop_collect_writes(simloop* t, int64_t now_us)
{
    while (!t->outbox.empty() && t->outbox.front().at_us <= now_us) {
        const std::vector<uint8_t>& b = t->outbox.front().bytes;
        t->unsent.insert(t->unsent.end(), b.begin(), b.end());
        t->outbox.pop_front();
    }
}

static const char hex_digits[] = "0123456789abcdef";

static std::string flash_hex(const flash* memory, const fixture_read& range)
{
    std::string text;
    for (uint32_t i = 0; i < range.length; ++i) {
        uint8_t b = memory->bytes[range.addr + i];
        text += hex_digits[b >> 4];
        text += hex_digits[b & 0x0F];
    }
    return text;
}

static int32_t command_kind(const std::string& name)
{
    static const char* const names[] = {"ERASE", "PROGRAM", "RTC_SET", "RESET"};
    for (int32_t k = 0; k < BOARD_OTHER; ++k)
        if (name == names[k])
            return k;
    return BOARD_OTHER;
}

// Sums up the seated board from the device as it is now.
static void close_record(simloop* t, board_record* r)
{
    r->frames = t->frames;
    r->replies = t->replies;
    r->app_frames = t->slot.app_frames;
    r->faults = t->inject.injected;
    for (const command_record& c : t->dev.log) {
        if (c.outcome >= 0 && c.outcome <= DEVICE_BUSY)
            r->outcomes[static_cast<size_t>(c.outcome)] += 1;
        r->commands[static_cast<size_t>(command_kind(c.name))] += 1;
        if (c.name == "RESET" && c.outcome == DEVICE_ANSWERED)
            r->resets_us.push_back(c.time_us);
    }
    r->clock_settings = t->dev.clock_settings;
    r->image_match = t->opt.image_path.empty() ? -1 : flash_matches(&t->dev.memory, t->opt.image_addr, t->slot.image);
    for (const fixture_read& range : t->opt.reads)
        r->reads.push_back(flash_hex(&t->dev.memory, range));
    if (!t->opt.flash_dump_path.empty())
        r->flash = std::move(t->dev.memory.bytes);
}

static void tell(simloop* t, int32_t board, int32_t event)
{
    if (t->slot.on_board != nullptr)
        t->slot.on_board(t->slot.context, board, event);
}

static void seat_board(simloop* t, int32_t board, int64_t at_us)
{
    start_device(t);
    t->slot.seated = board;
    t->slot.running_app = false;
    t->slot.loader_back_us = INT64_MAX;
    t->slot.app_frames = 0;
    board_record r{};
    r.number = board;
    r.back_to_loader = fixture_back_to_loader(&t->opt.plan, board);
    r.seated_us = at_us;
    r.removed_us = -1;
    t->slot.boards.push_back(std::move(r));
    tell(t, board, BOARD_SEATED);
}

// The board stops answering at once: what was already on the wire arrives,
// nothing after; its flash is what it got.
static void remove_board(simloop* t, int64_t at_us)
{
    simloop_collect_writes(t, at_us);
    t->outbox.clear();
    t->out_free_us = std::min(t->out_free_us, at_us);  // what it did not send never took the wire
    board_record& r = t->slot.boards.back();
    close_record(t, &r);
    r.removed_us = at_us;
    int32_t board = t->slot.seated;
    t->slot.seated = 0;
    t->slot.running_app = false;
    t->slot.loader_back_us = INT64_MAX;
    start_device(t);  // nothing of the old board may answer from the empty slot
    tell(t, board, BOARD_REMOVED);
}

// The loader starts over: no erase running, nothing held, a new frame, and a
// tagged device learns its tool again. Its flash and its record go on.
static void back_in_loader(simloop* t)
{
    t->slot.running_app = false;
    t->slot.loader_back_us = INT64_MAX;
    slip_decoder_init(&t->decoder);
    packet_endpoint_init(&t->endpoint, t->opt.tagged ? PACKET_TAGGED : PACKET_PLAIN, t->opt.tag);
    t->dev.erase_end_us = 0;
    t->dev.held.clear();
    t->wait_answers = 0;
}

// The schedule's change at at_us: the board leaves, the next one is seated.
static void follow_schedule(simloop* t, int64_t at_us)
{
    int64_t since = at_us - t->start_us;
    int32_t wanted = fixture_board_at(&t->opt.plan, since);
    if (t->slot.seated > 0 && wanted != t->slot.seated)
        remove_board(t, at_us);
    if (wanted > 0 && wanted != t->slot.seated)
        seat_board(t, wanted, at_us);
    int64_t next = fixture_next_change(&t->opt.plan, since);
    t->slot.next_change_us = next == INT64_MAX ? INT64_MAX : t->start_us + next;
}

static int64_t earliest(int64_t a, int64_t b)
{
    return a < b ? a : b;
}

// Carries out the slot's changes up to now_us in order, the device running
// up to each before it happens.
static void advance_slot(simloop* t, int64_t now_us)
{
    for (;;) {
        int64_t change = earliest(t->slot.next_change_us, t->slot.loader_back_us);
        if (change > now_us)
            return;
        run_device(t, change);
        if (change == t->slot.loader_back_us)
            back_in_loader(t);
        if (change == t->slot.next_change_us)
            follow_schedule(t, change);
    }
}

void simloop_run_due(simloop* t, int64_t now_us)
{
    advance_slot(t, now_us);
    run_device(t, now_us);
}

void simloop_close_boards(simloop* t, int64_t now_us)
{
    if (t->slot.seated == 0)
        return;
    simloop_collect_writes(t, now_us);
    close_record(t, &t->slot.boards.back());
}

int64_t simloop_next_due(const simloop* t)
{
    int64_t next = INT64_MAX;
    if (!t->inbox.empty())
        next = earliest(next, t->inbox.front().due_us);
    for (const due_reply& d : t->due)
        next = earliest(next, d.at_us);
    if (!t->outbox.empty())
        next = earliest(next, t->outbox.front().at_us);
    if (!t->dev.held.empty())
        next = earliest(next, t->dev.erase_end_us);
    next = earliest(next, t->slot.next_change_us);
    next = earliest(next, t->slot.loader_back_us);
    return next;
}

static bool quiet(const simloop* t)
{
    return t->inbox.empty() && t->due.empty() && t->outbox.empty() && t->unsent.empty();
}

// On the fixture a station probes the port all day, so the line is never
// quiet: the run ends a while after the last board has left instead.
static int64_t boards_done_at(const simloop* t)
{
    int64_t last = fixture_last_leave_us(&t->opt.plan);
    if (t->opt.exit_after_reset_ms < 0 || last == INT64_MAX)
        return INT64_MAX;
    return t->start_us + last + ms_to_us(t->opt.exit_after_reset_ms);
}

// The moment the run should end by itself, or INT64_MAX.
static int64_t end_due(const simloop* t, int32_t* reason)
{
    int64_t when = INT64_MAX;
    if (t->opt.time_limit_s > 0) {
        when = t->start_us + static_cast<int64_t>(t->opt.time_limit_s * 1e6);
        *reason = SIMLOOP_TIME_LIMIT;
    }
    if (t->opt.fixture) {
        int64_t done = boards_done_at(t);
        if (done < when) {
            when = done;
            *reason = SIMLOOP_BOARDS_DONE;
        }
        return when;
    }
    if (t->opt.exit_after_reset_ms >= 0 && t->dev.resets > 0 && quiet(t)) {
        int64_t idle_from = std::max({t->dev.last_reset_us, t->last_input_us, t->out_free_us});
        int64_t after_reset = idle_from + ms_to_us(t->opt.exit_after_reset_ms);
        if (after_reset < when) {
            when = after_reset;
            *reason = SIMLOOP_AFTER_RESET;
        }
    }
    return when;
}

static bool write_unsent(simloop* t)
{
    while (!t->unsent.empty()) {
        ssize_t n = ::write(t->io.io.get(), t->unsent.data(), t->unsent.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;  // the line is full: poll says when it has room
        if (n <= 0)
            return false;
        t->bytes_out += static_cast<uint64_t>(n);
        t->unsent.erase(t->unsent.begin(), t->unsent.begin() + n);
    }
    return true;
}

static bool read_available(simloop* t, int64_t now_us)
{
    uint8_t block[READ_BLOCK];
    for (;;) {
        ssize_t n = ::read(t->io.io.get(), block, sizeof block);
        if (n > 0) {
            simloop_take_bytes(t, block, static_cast<size_t>(n), now_us);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        // EAGAIN: all read. EIO on a pty means no slave is open, which cannot
        // last while we hold one; anything else ends the run.
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EIO);
    }
}

static timespec wait_for(int64_t from_us, int64_t until_us)
{
    int64_t span = until_us == INT64_MAX ? -1 : std::max<int64_t>(0, until_us - from_us);
    timespec ts{};
    if (span >= 0) {
        ts.tv_sec = span / MICROSECONDS_PER_SECOND;
        ts.tv_nsec = (span % MICROSECONDS_PER_SECOND) * 1000;
    }
    return ts;
}

int32_t simloop_run(simloop* t, int stop_fd)
{
    while (t->end == SIMLOOP_RUNNING) {
        int64_t now = simloop_now_us();
        simloop_run_due(t, now);
        simloop_collect_writes(t, now);
        if (!write_unsent(t)) {
            t->end = SIMLOOP_LINE_ERROR;
            break;
        }
        int32_t reason = SIMLOOP_RUNNING;
        int64_t stop_at = end_due(t, &reason);
        if (now >= stop_at) {
            t->end = reason;
            break;
        }
        int64_t wake = earliest(simloop_next_due(t), stop_at);
        timespec ts = wait_for(now, wake);
        pollfd fds[2] = {
            {t->io.io.get(), static_cast<short>(POLLIN | (t->unsent.empty() ? 0 : POLLOUT)), 0},
            {stop_fd, POLLIN, 0},
        };
        int ready = ppoll(fds, stop_fd >= 0 ? 2 : 1, wake == INT64_MAX ? nullptr : &ts, nullptr);
        if (ready < 0 && errno != EINTR) {
            t->end = SIMLOOP_LINE_ERROR;
            break;
        }
        if (ready > 0 && (fds[1].revents & POLLIN)) {
            t->end = SIMLOOP_STOPPED;
            break;
        }
        if (ready > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) && !read_available(t, simloop_now_us())) {
            t->end = SIMLOOP_LINE_ERROR;
            break;
        }
    }
    t->end_us = simloop_now_us();
    simloop_close_boards(t, t->end_us);
    return t->end;
}
