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

void simloop_init(simloop* t, const options& opt, int64_t now_us)
{
    t->opt = opt;
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
    t->bytes_in = 0;
    t->bytes_out = 0;
    t->wait_answers = 0;
    t->inbox.clear();
    t->due.clear();
    t->outbox.clear();
    t->unsent.clear();
    t->start_us = now_us;
    t->in_free_us = now_us;
    t->out_free_us = now_us;
    t->last_input_us = now_us;
    t->end = SIMLOOP_RUNNING;
    t->end_us = now_us;
}

void simloop_take_bytes(simloop* t, const uint8_t* bytes, size_t n, int64_t now_us)
{
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
        t->inbox.push_back(pending_frame{due, std::move(frame)});
    }
}

static void schedule_reply(simloop* t, size_t command, int64_t now_us)
{
    const command_record& r = t->dev.log[command];
    t->due.push_back(due_reply{std::max(now_us, r.reply_us), command});
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
        handle_frame(t, p.frame, now_us);
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

void simloop_run_due(simloop* t, int64_t now_us)
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

static int64_t earliest(int64_t a, int64_t b)
{
    return a < b ? a : b;
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
    return next;
}

static bool quiet(const simloop* t)
{
    return t->inbox.empty() && t->due.empty() && t->outbox.empty() && t->unsent.empty();
}

// The moment the run should end by itself, or INT64_MAX.
static int64_t end_due(const simloop* t, int32_t* reason)
{
    int64_t when = INT64_MAX;
    if (t->opt.time_limit_s > 0) {
        when = t->start_us + static_cast<int64_t>(t->opt.time_limit_s * 1e6);
        *reason = SIMLOOP_TIME_LIMIT;
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
    return t->end;
}
