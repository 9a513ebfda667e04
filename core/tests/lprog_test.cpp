#include "lprog.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "layer.h"
#include "local_time.h"
#include "lpkt.h"
#include "mlb.h"

namespace {

using bytes = std::vector<uint8_t>;

// The fake lower layer records every message it is handed, whole.
std::vector<bytes> sent;

void record_tx(layer*, mlb* m)
{
    sent.emplace_back(mlb_hdr(m), mlb_hdr(m) + mlb_len(m));
}

bytes le32(uint32_t v)
{
    bytes b(4);
    put_le32(b.data(), v);
    return b;
}

bytes cat(std::initializer_list<bytes> parts)
{
    bytes out;
    for (const bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

bytes name(const char* n, uint8_t fill = 0)
{
    bytes b(8, fill);
    std::memcpy(b.data(), n, std::strlen(n) + 1);
    return b;
}

bytes command(const char* n, uint32_t p1, uint32_t p2, const bytes& data = {})
{
    return cat({name(n), le32(p1), le32(p2), data});
}

const bytes time_record = fixed_clock_record;

struct lprog_fixture : testing::Test {
    layer* t = lprog_alloc();
    layer below{record_tx, nullptr, nullptr, nullptr, nullptr};
    mlb* m = mlb_alloc(10000);
    bytes image;

    void SetUp() override
    {
        sent.clear();
        lprog_init(t, nullptr, fixed_clock);
        t->lower = &below;
    }

    void TearDown() override
    {
        std::free(t->p_);
        std::free(t);
        std::free(m);
    }

    lprog* s() { return static_cast<lprog*>(t->p_); }

    // The image with room for a whole number of chunks, as the job provides.
    void start(size_t length, uint32_t addr, int32_t chunk)
    {
        image.resize((length + static_cast<size_t>(chunk)) / static_cast<size_t>(chunk) * static_cast<size_t>(chunk));
        std::iota(image.begin(), image.end(), 1);
        lprog_start(t, image.data(), static_cast<uint32_t>(length), addr, chunk);
    }

    void transmit()
    {
        mlb_reset(m, 0, 12);
        lprog_tx(t, m);
    }

    // Delivers a reply as the packet layer does: a 4-byte trailer split off.
    void reply(const bytes& payload)
    {
        bytes frame = payload;
        frame.insert(frame.end(), 4, 0xEE);
        mlb_reset(m, static_cast<int32_t>(frame.size()), 0);
        std::memcpy(mlb_data(m), frame.data(), frame.size());
        mlb_pull_tlr(m, 4);
        lprog_rx(t, m);
    }

    void exchange(const bytes& answer = {'A', 'C', 'K', 0})
    {
        transmit();
        reply(answer);
    }

    void run_to_done(int limit = 10000)
    {
        for (int i = 0; i < limit && !lprog_done(t); ++i)
            exchange();
    }
};

bytes chunk_of(const bytes& image, size_t off, size_t chunk)
{
    return bytes(image.begin() + static_cast<long>(off), image.begin() + static_cast<long>(off + chunk));
}

struct sequence_case {
    const char* name;
    size_t length;
    uint32_t addr;
    int32_t chunk;
};

class lprog_sequence : public lprog_fixture, public testing::WithParamInterface<sequence_case> {};

TEST_P(lprog_sequence, sends_every_command_byte_for_byte)
{
    const sequence_case& k = GetParam();
    start(k.length, k.addr, k.chunk);
    run_to_done();
    ASSERT_TRUE(lprog_done(t));

    size_t c = static_cast<size_t>(k.chunk);
    std::vector<bytes> expected;
    expected.push_back(command("ERASE", k.addr, k.addr + static_cast<uint32_t>(k.length)));
    expected.push_back(command("PROGRAM", 0, 0));
    for (size_t off = 0; off < k.length; off += c)
        expected.push_back(command("PROGRAM", k.addr + static_cast<uint32_t>(off),
                                   k.addr + static_cast<uint32_t>(off + c), chunk_of(image, off, c)));
    expected.push_back(command("PROGRAM", k.addr, k.addr + static_cast<uint32_t>(c), chunk_of(image, 0, c)));
    expected.push_back(cat({name("RTC_SET"), time_record, time_record}));
    // RESET's unwritten name bytes still hold the "T" and NUL of RTC_SET.
    expected.push_back({'R', 'E', 'S', 'E', 'T', 0, 'T', 0});
    EXPECT_EQ(sent, expected);
    EXPECT_EQ(s()->phase, LPROG_IDLE);
}

INSTANTIATE_TEST_SUITE_P(lprog, lprog_sequence,
                         testing::Values(sequence_case{"shorter_than_a_chunk", 100, 0x1FF000, 256},
                                         sequence_case{"exactly_three_chunks", 768, 0, 256},
                                         sequence_case{"three_chunks_and_a_remainder", 800, 0x1000, 256},
                                         sequence_case{"one_byte_chunks", 3, 0, 1}),
                         [](const testing::TestParamInfo<sequence_case>& i) { return std::string(i.param.name); });

TEST_F(lprog_fixture, command_sizes)
{
    start(300, 0, 256);
    std::vector<size_t> sizes;
    run_to_done();
    for (const bytes& b : sent)
        sizes.push_back(b.size());
    EXPECT_EQ(sizes, (std::vector<size_t>{16, 16, 272, 272, 272, 24, 8}));
}

TEST_F(lprog_fixture, erase_and_reset_leave_the_last_two_name_bytes_as_the_buffer_held)
{
    start(10, 0, 256);
    mlb_reset(m, 0, 12);
    std::memset(mlb_data(m), 0xA5, 64);
    lprog_tx(t, m);
    EXPECT_EQ(sent.back(), cat({name("ERASE", 0xA5), le32(0), le32(10)}));

    s()->phase = LPROG_RESET;
    mlb_reset(m, 0, 12);
    std::memset(mlb_data(m), 0x3C, 64);
    lprog_tx(t, m);
    EXPECT_EQ(sent.back(), name("RESET", 0x3C));
}

TEST_F(lprog_fixture, unacknowledged_commands_are_repeated)
{
    start(10, 0, 256);
    exchange();  // ERASE acknowledged
    for (int i = 0; i < 3; ++i)
        exchange({});  // erase still running: no reply
    exchange();
    ASSERT_EQ(sent.size(), 5u);
    for (size_t i = 1; i < 5; ++i)
        EXPECT_EQ(sent[i], command("PROGRAM", 0, 0));
    EXPECT_EQ(s()->phase, LPROG_PROGRAM);
}

struct reply_case {
    const char* name;
    bytes payload;
    bool advances;
};

class lprog_replies : public lprog_fixture, public testing::WithParamInterface<reply_case> {};

TEST_P(lprog_replies, acknowledgement_rules)
{
    start(10, 0, 256);
    transmit();
    reply(GetParam().payload);
    EXPECT_EQ(s()->phase, GetParam().advances ? LPROG_WAIT_ERASE : LPROG_ERASE);
}

INSTANTIATE_TEST_SUITE_P(
    lprog, lprog_replies,
    testing::Values(reply_case{"ack", {'A', 'C', 'K', 0}, true},
                    reply_case{"ack_then_more", {'A', 'C', 'K', 0, 'x', 'y'}, true},
                    reply_case{"acknowledged", {'A', 'C', 'K', 'N', 'O', 'W', 'L', 'E', 'D', 'G', 'E', 'D', 0}, false},
                    reply_case{"nak", {'N', 'A', 'K', 0}, false},
                    reply_case{"lower_case", {'a', 'c', 'k', 0}, false},
                    reply_case{"empty", {}, false}),
    [](const testing::TestParamInfo<reply_case>& i) { return std::string(i.param.name); });

TEST_F(lprog_fixture, replies_under_four_bytes_as_delivered_are_ignored)
{
    start(10, 0, 256);
    // "ACK" and its NUL in the storage, but only 3 bytes delivered.
    mlb_reset(m, 0, 0);
    std::memcpy(mlb_data(m), "ACK", 4);
    mlb_reset(m, 3, 0);
    lprog_rx(t, m);
    EXPECT_EQ(s()->phase, LPROG_ERASE);
    mlb_reset(m, 4, 0);
    lprog_rx(t, m);
    EXPECT_EQ(s()->phase, LPROG_WAIT_ERASE);
}

TEST_F(lprog_fixture, idle_layer_sends_nothing_and_ignores_ack)
{
    transmit();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_TRUE(sent[0].empty());
    reply({'A', 'C', 'K', 0});
    EXPECT_EQ(s()->phase, LPROG_IDLE);
    EXPECT_EQ(lprog_done(t), 0);
    EXPECT_EQ(s()->start, nullptr);
}

TEST_F(lprog_fixture, ack_after_done_changes_nothing)
{
    start(10, 0, 256);
    run_to_done();
    ASSERT_EQ(lprog_done(t), 1);
    reply({'A', 'C', 'K', 0});
    EXPECT_EQ(s()->phase, LPROG_IDLE);
    EXPECT_EQ(lprog_done(t), 1);
}

TEST_F(lprog_fixture, start_arms_the_sequence)
{
    start(1000, 0x20, 128);
    EXPECT_EQ(s()->phase, LPROG_ERASE);
    EXPECT_EQ(s()->start, image.data());
    EXPECT_EQ(s()->cur, image.data());
    EXPECT_EQ(s()->total, 1000u);
    EXPECT_EQ(s()->addr, 0x20u);
    EXPECT_EQ(s()->chunk, 128);
    EXPECT_EQ(s()->done, 0);
}

TEST_F(lprog_fixture, console_texts)
{
    start(0x1F0, 0x1000, 256);
    testing::internal::CaptureStdout();
    exchange();
    exchange({});
    run_to_done();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out,
              "Erasing..."
              "Waiting for erase complete..."
              "Waiting for erase complete..."
              "\rProgramming 1000\r"
              "\rProgramming 1100\r"
              "\rProgramming 1000\r"
              "\rSetting time to 2026-12-08 05:06:07\r"
              "\nRESET\n");
}

TEST_F(lprog_fixture, short_addresses_are_padded_to_four_places)
{
    start(512, 0x20, 256);
    exchange();
    exchange();
    testing::internal::CaptureStdout();
    exchange();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\rProgramming   20\r");
}

TEST_F(lprog_fixture, clock_record_is_read_at_every_attempt)
{
    start(10, 0, 256);
    s()->phase = LPROG_SET_CLOCK;
    transmit();
    s()->clock = [](std::tm* out) {
        fixed_clock(out);
        out->tm_sec = 10;
        return true;
    };
    transmit();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0][8 + 5], 7);
    EXPECT_EQ(sent[1][8 + 5], 10);
    EXPECT_EQ(sent[1][16 + 5], 10);
}

TEST_F(lprog_fixture, unreadable_clock_sends_nothing_and_tries_again)
{
    start(10, 0, 256);
    s()->phase = LPROG_SET_CLOCK;
    s()->clock = [](std::tm*) { return false; };
    testing::internal::CaptureStdout();
    transmit();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_TRUE(sent[0].empty());
    s()->clock = fixed_clock;
    transmit();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1], cat({name("RTC_SET"), time_record, time_record}));
    EXPECT_EQ(s()->phase, LPROG_SET_CLOCK);
}

}  // namespace
