#include "faults.h"

#include <gtest/gtest.h>

#include <bit>
#include <vector>

#include "slip.h"

namespace {

using bytes = std::vector<uint8_t>;

const bytes ack_packet = {0x41, 0x43, 0x4B, 0x00, 0x13, 0x45, 0xBD, 0x63};
constexpr fault_timing timing{5000, 200000, 8};

faults all_faults(uint64_t seed, double p)
{
    faults f;
    faults_init(&f, seed, timing);
    for (int32_t k = 0; k < FAULT_KINDS; ++k)
        faults_set_rule(&f, k, fault_rule{p, 0});
    return f;
}

struct run_record {
    std::vector<bool> ignored;
    std::vector<reply_plan> plans;
};

run_record run(faults* f, int n)
{
    run_record r;
    for (int i = 0; i < n; ++i) {
        r.ignored.push_back(faults_strike(f, FAULT_IGNORE_FRAME));
        r.plans.push_back(faults_plan_reply(f, ack_packet));
    }
    return r;
}

bool same(const reply_plan& a, const reply_plan& b)
{
    return a.dropped == b.dropped && a.wire == b.wire && a.delay_us == b.delay_us && a.gap_us == b.gap_us &&
           a.fault == b.fault;
}

size_t count_same(const run_record& a, const run_record& b)
{
    size_t n = 0;
    for (size_t i = 0; i < a.plans.size(); ++i)
        n += same(a.plans[i], b.plans[i]) && a.ignored[i] == b.ignored[i];
    return n;
}

TEST(FaultsGenerator, KnownFirstValue)
{
    faults f;
    faults_init(&f, 0, timing);
    EXPECT_EQ(faults_next(&f), 0xE220A8397B1DCDAFull);
}

TEST(FaultsRepeat, SameSeedGivesTheSameRunExactly)
{
    faults a = all_faults(1234, 0.3);
    faults b = all_faults(1234, 0.3);
    run_record ra = run(&a, 300);
    run_record rb = run(&b, 300);
    EXPECT_EQ(count_same(ra, rb), 300u);
    EXPECT_EQ(a.injected, b.injected);
    for (int32_t k = 0; k < FAULT_KINDS; ++k)
        EXPECT_GT(a.injected[static_cast<size_t>(k)], 0) << fault_name(k);
}

TEST(FaultsRepeat, AnotherSeedGivesAnotherRun)
{
    faults a = all_faults(1234, 0.3);
    faults b = all_faults(1235, 0.3);
    run_record ra = run(&a, 300);
    run_record rb = run(&b, 300);
    EXPECT_LT(count_same(ra, rb), 250u);
    EXPECT_NE(a.injected, b.injected);
}

TEST(FaultsRule, ProbabilityZeroNeverOneAlways)
{
    faults never = all_faults(7, 0.0);
    faults always = all_faults(7, 1.0);
    for (int i = 0; i < 50; ++i) {
        EXPECT_FALSE(faults_strike(&never, FAULT_DROP_REPLY));
        EXPECT_TRUE(faults_strike(&always, FAULT_DROP_REPLY));
    }
    EXPECT_EQ(never.injected[FAULT_DROP_REPLY], 0);
    EXPECT_EQ(always.injected[FAULT_DROP_REPLY], 50);
}

TEST(FaultsRule, ACountHitsTheFirstOpportunitiesOnly)
{
    faults f;
    faults_init(&f, 99, timing);
    faults_set_rule(&f, FAULT_IGNORE_FRAME, fault_rule{0.0, 3});
    std::vector<bool> hits;
    for (int i = 0; i < 6; ++i)
        hits.push_back(faults_strike(&f, FAULT_IGNORE_FRAME));
    EXPECT_EQ(hits, (std::vector<bool>{true, true, true, false, false, false}));
    EXPECT_EQ(f.injected[FAULT_IGNORE_FRAME], 3);
}

TEST(FaultsAimed, HitOnlyTheirFrameAndLeaveTheGeneratorAlone)
{
    faults f;
    faults_init(&f, 5, timing);
    faults_aim(&f, fault_at{3, FAULT_LATE_REPLY, 150000});
    faults_aim(&f, fault_at{4, FAULT_IGNORE_FRAME, 0});
    faults_aim(&f, fault_at{5, FAULT_LATE_REPLY, 0});
    uint64_t state = f.state;
    EXPECT_EQ(faults_plan_reply(&f, ack_packet, 2).fault, -1);
    reply_plan late = faults_plan_reply(&f, ack_packet, 3);
    EXPECT_EQ(late.fault, FAULT_LATE_REPLY);
    EXPECT_EQ(late.delay_us, 150000);
    EXPECT_EQ(faults_plan_reply(&f, ack_packet, 5).delay_us, timing.late_us);
    EXPECT_FALSE(faults_strike_frame(&f, FAULT_IGNORE_FRAME, 3));
    EXPECT_TRUE(faults_strike_frame(&f, FAULT_IGNORE_FRAME, 4));
    EXPECT_EQ(f.state, state);
    EXPECT_EQ(f.injected[FAULT_LATE_REPLY], 2);
    EXPECT_EQ(f.injected[FAULT_IGNORE_FRAME], 1);
}

TEST(FaultsRule, ProbabilityIsRoughlyKept)
{
    faults f;
    faults_init(&f, 5, timing);
    faults_set_rule(&f, FAULT_DROP_REPLY, fault_rule{0.1, 0});
    for (int i = 0; i < 10000; ++i)
        faults_strike(&f, FAULT_DROP_REPLY);
    EXPECT_GT(f.injected[FAULT_DROP_REPLY], 850);
    EXPECT_LT(f.injected[FAULT_DROP_REPLY], 1150);
}

TEST(FaultsRule, WithoutRulesTheReplyGoesOutUntouched)
{
    faults f;
    faults_init(&f, 5, timing);
    uint64_t state = f.state;
    reply_plan p = faults_plan_reply(&f, ack_packet);
    EXPECT_FALSE(p.dropped);
    EXPECT_EQ(p.wire, slip_encode(ack_packet));
    EXPECT_EQ(p.delay_us, 0);
    EXPECT_EQ(p.gap_us, 0);
    EXPECT_EQ(p.fault, -1);
    EXPECT_EQ(f.state, state);  // the generator was not consulted
}

faults only(int32_t kind)
{
    faults f;
    faults_init(&f, 11, timing);
    faults_set_rule(&f, kind, fault_rule{0.0, 1000});
    return f;
}

TEST(FaultsPlan, DropLeavesNothingToSend)
{
    faults f = only(FAULT_DROP_REPLY);
    reply_plan p = faults_plan_reply(&f, ack_packet);
    EXPECT_TRUE(p.dropped);
    EXPECT_TRUE(p.wire.empty());
    EXPECT_EQ(p.fault, FAULT_DROP_REPLY);
}

TEST(FaultsPlan, FlipChangesExactlyOneBitOfThePacket)
{
    faults f = only(FAULT_FLIP_REPLY);
    for (int i = 0; i < 40; ++i) {
        reply_plan p = faults_plan_reply(&f, ack_packet);
        slip_decoder d;
        slip_decoder_init(&d);
        slip_frame frame;
        bool closed = false;
        for (uint8_t b : p.wire)
            closed = slip_feed(&d, b, 0, &frame) || closed;
        ASSERT_TRUE(closed);
        ASSERT_EQ(frame.bytes.size(), ack_packet.size());
        int differing = 0;
        for (size_t j = 0; j < ack_packet.size(); ++j)
            differing += std::popcount(static_cast<unsigned>(frame.bytes[j] ^ ack_packet[j]));
        EXPECT_EQ(differing, 1);
        EXPECT_EQ(p.fault, FAULT_FLIP_REPLY);
    }
}

TEST(FaultsPlan, NoiseFollowsTheIntactFrame)
{
    faults f = only(FAULT_NOISE);
    bytes frame = slip_encode(ack_packet);
    for (int i = 0; i < 40; ++i) {
        reply_plan p = faults_plan_reply(&f, ack_packet);
        ASSERT_GT(p.wire.size(), frame.size());
        EXPECT_LE(p.wire.size(), frame.size() + 8);
        EXPECT_TRUE(std::equal(frame.begin(), frame.end(), p.wire.begin()));
    }
}

TEST(FaultsPlan, SlowAndLateOnlyChangeTiming)
{
    faults slow = only(FAULT_SLOW_REPLY);
    reply_plan s = faults_plan_reply(&slow, ack_packet);
    EXPECT_EQ(s.gap_us, 5000);
    EXPECT_EQ(s.delay_us, 0);
    EXPECT_EQ(s.wire, slip_encode(ack_packet));
    faults late = only(FAULT_LATE_REPLY);
    reply_plan l = faults_plan_reply(&late, ack_packet);
    EXPECT_EQ(l.delay_us, 200000);
    EXPECT_EQ(l.gap_us, 0);
    EXPECT_EQ(l.wire, slip_encode(ack_packet));
}

}  // namespace
