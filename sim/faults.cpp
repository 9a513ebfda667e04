#include "faults.h"

#include "slip.h"

const char* fault_name(int32_t kind)
{
    switch (kind) {
    case FAULT_DROP_REPLY: return "drop_reply";
    case FAULT_FLIP_REPLY: return "flip_reply";
    case FAULT_NOISE: return "noise";
    case FAULT_SLOW_REPLY: return "slow_reply";
    case FAULT_LATE_REPLY: return "late_reply";
    case FAULT_IGNORE_FRAME: return "ignore_frame";
    default: return "?";
    }
}

void faults_init(faults* t, uint64_t seed, fault_timing timing)
{
    t->state = seed;
    t->rules.fill(fault_rule{0.0, 0});
    t->opportunities.fill(0);
    t->injected.fill(0);
    t->timing = timing;
    t->aimed.clear();
}

void faults_aim(faults* t, fault_at fault)
{
    t->aimed.push_back(fault);
}

static const fault_at* aimed_at(const faults* t, int32_t kind, int64_t frame)
{
    if (frame <= 0)
        return nullptr;
    for (const fault_at& f : t->aimed)
        if (f.frame == frame && f.kind == kind)
            return &f;
    return nullptr;
}

void faults_set_rule(faults* t, int32_t kind, fault_rule rule)
{
    t->rules[static_cast<size_t>(kind)] = rule;
}

uint64_t faults_next(faults* t)
{
    t->state += 0x9E3779B97F4A7C15u;
    uint64_t z = t->state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
}

// Uniform in [0, 1) from the top 53 bits.
static double next_fraction(faults* t)
{
    return static_cast<double>(faults_next(t) >> 11) * 0x1.0p-53;
}

static uint64_t next_below(faults* t, uint64_t bound)
{
    return faults_next(t) % bound;
}

static bool has_rule(const fault_rule& r)
{
    return r.count > 0 || r.probability > 0.0;
}

bool faults_strike(faults* t, int32_t kind)
{
    const fault_rule& rule = t->rules[static_cast<size_t>(kind)];
    if (!has_rule(rule))
        return false;
    int64_t seen = t->opportunities[static_cast<size_t>(kind)]++;
    bool hit = rule.count > 0 ? seen < rule.count : next_fraction(t) < rule.probability;
    if (hit)
        t->injected[static_cast<size_t>(kind)] += 1;
    return hit;
}

bool faults_strike_frame(faults* t, int32_t kind, int64_t frame)
{
    if (aimed_at(t, kind, frame) == nullptr)
        return faults_strike(t, kind);
    t->injected[static_cast<size_t>(kind)] += 1;
    return true;
}

static void note(reply_plan* plan, int32_t kind)
{
    if (plan->fault < 0)
        plan->fault = kind;
}

static int64_t late_delay(const faults* t, int64_t frame)
{
    const fault_at* f = aimed_at(t, FAULT_LATE_REPLY, frame);
    return f != nullptr && f->delay_us > 0 ? f->delay_us : t->timing.late_us;
}

reply_plan faults_plan_reply(faults* t, std::span<const uint8_t> packet, int64_t frame)
{
    reply_plan plan{};
    plan.fault = -1;
    if (faults_strike_frame(t, FAULT_DROP_REPLY, frame)) {
        plan.dropped = true;
        note(&plan, FAULT_DROP_REPLY);
        return plan;
    }
    std::vector<uint8_t> bytes(packet.begin(), packet.end());
    if (!bytes.empty() && faults_strike_frame(t, FAULT_FLIP_REPLY, frame)) {
        uint64_t bit = next_below(t, bytes.size() * 8);
        bytes[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
        note(&plan, FAULT_FLIP_REPLY);
    }
    plan.wire = slip_encode(bytes);
    if (faults_strike_frame(t, FAULT_LATE_REPLY, frame)) {
        plan.delay_us = late_delay(t, frame);
        note(&plan, FAULT_LATE_REPLY);
    }
    if (faults_strike_frame(t, FAULT_SLOW_REPLY, frame)) {
        plan.gap_us = t->timing.slow_gap_us;
        note(&plan, FAULT_SLOW_REPLY);
    }
    if (faults_strike_frame(t, FAULT_NOISE, frame)) {
        uint64_t n = 1 + next_below(t, static_cast<uint64_t>(t->timing.noise_max > 0 ? t->timing.noise_max : 1));
        for (uint64_t i = 0; i < n; ++i)
            plan.wire.push_back(static_cast<uint8_t>(faults_next(t)));
        note(&plan, FAULT_NOISE);
    }
    return plan;
}
