#include "lpkt.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "layer.h"
#include "mlb.h"

namespace {

using bytes = std::vector<uint8_t>;

const bytes ack{0x41, 0x43, 0x4B, 0x00};

// A lower layer that records each message it is given, and an upper layer that
// records each payload it is handed with the header length it saw.
bytes sent;
int sent_count;
bytes received;
int32_t received_hdr_len;
int received_count;

void record_tx(layer*, mlb* m)
{
    sent.assign(mlb_hdr(m), mlb_hdr(m) + mlb_len(m));
    ++sent_count;
}

void record_rx(layer*, mlb* m)
{
    received.assign(mlb_data(m), mlb_data(m) + m->data_len);
    received_hdr_len = m->hdr_len;
    ++received_count;
}

struct lpkt_fixture : testing::Test {
    layer* t = lpkt_alloc();
    layer below{record_tx, nullptr, nullptr, nullptr, nullptr};
    layer above{nullptr, record_rx, nullptr, nullptr, nullptr};
    mlb* m = mlb_alloc(10000);

    void SetUp() override
    {
        lpkt_init(t);
        t->lower = &below;
        t->upper = &above;
        sent.clear();
        received.clear();
        sent_count = received_count = 0;
        received_hdr_len = -1;
    }

    void TearDown() override
    {
        std::free(t->p_);
        std::free(t);
        std::free(m);
    }

    lpkt* s() { return static_cast<lpkt*>(t->p_); }

    bytes send(const bytes& payload)
    {
        mlb_reset(m, 0, 12);
        if (!payload.empty())
            std::memcpy(mlb_push_tlr(m, static_cast<int32_t>(payload.size())), payload.data(), payload.size());
        lpkt_tx(t, m);
        return sent;
    }

    // Hands a frame up as the serial layer does: the data region from offset 0.
    void receive(const bytes& frame)
    {
        mlb_reset(m, static_cast<int32_t>(frame.size()), 0);
        if (!frame.empty())
            std::memcpy(mlb_data(m), frame.data(), frame.size());
        lpkt_rx(t, m);
    }
};

bytes plain_packet(const bytes& payload)
{
    bytes p = payload;
    uint8_t crc[4];
    put_le32(crc, crc32_calc(payload.data(), static_cast<int32_t>(payload.size())));
    p.insert(p.end(), crc, crc + 4);
    return p;
}

bytes tagged_packet(uint32_t sender, uint32_t addressee, const bytes& payload)
{
    bytes p(8);
    put_be32(p.data(), sender);
    put_be32(p.data() + 4, addressee);
    p.insert(p.end(), payload.begin(), payload.end());
    uint8_t crc[4];
    put_be32(crc, crc32_calc(p.data(), static_cast<int32_t>(p.size())));
    p.insert(p.end(), crc, crc + 4);
    return p;
}

TEST(crc32, check_values)
{
    const char* digits = "123456789";
    EXPECT_EQ(crc32_calc(reinterpret_cast<const uint8_t*>(digits), 9), 0xCBF43926u);
    EXPECT_EQ(crc32_calc(nullptr, 0), 0u);
    EXPECT_EQ(crc32_calc(ack.data(), 4), 0x63BD4513u);
}

TEST(crc32, table_is_crc32_byte_of_each_index)
{
    for (uint32_t i = 0; i < 256; ++i)
        ASSERT_EQ(crc32_table[i], crc32_byte(i, 0)) << "entry " << i;
    EXPECT_EQ(crc32_table[0x80], 0xEDB88320u);
}

TEST(crc32, byte_folding_equals_the_table_driven_block)
{
    std::mt19937 rng(12345);
    for (int len : {1, 2, 3, 17, 256, 1000, 4099}) {
        bytes data(static_cast<size_t>(len));
        for (uint8_t& b : data)
            b = static_cast<uint8_t>(rng());
        uint32_t r = 0xFFFFFFFFu;
        for (uint8_t b : data)
            r = crc32_byte(r ^ b, 0);
        EXPECT_EQ(~r, crc32_calc(data.data(), len)) << "length " << len;
    }
}

TEST(byte_order, helpers_at_every_alignment)
{
    uint8_t buf[16];
    for (int off = 0; off < 8; ++off) {
        SCOPED_TRACE(off);
        std::memset(buf, 0xEE, sizeof buf);
        put_le32(buf + off, 0x11223344u);
        EXPECT_EQ(bytes(buf + off, buf + off + 4), (bytes{0x44, 0x33, 0x22, 0x11}));
        EXPECT_EQ(get_le32(buf + off), 0x11223344u);
        EXPECT_EQ(get_be32(buf + off), 0x44332211u);
        EXPECT_EQ(buf[off + 4], 0xEE);
        put_be32(buf + off, 0xA1B2C3D4u);
        EXPECT_EQ(bytes(buf + off, buf + off + 4), (bytes{0xA1, 0xB2, 0xC3, 0xD4}));
        EXPECT_EQ(get_be32(buf + off), 0xA1B2C3D4u);
        put_le16(buf + off, 0xBEEF);
        EXPECT_EQ(bytes(buf + off, buf + off + 2), (bytes{0xEF, 0xBE}));
        EXPECT_EQ(get_le16(buf + off), 0xBEEF);
        EXPECT_EQ(get_be16(buf + off), 0xEFBE);
        put_be16(buf + off, 0x8001);
        EXPECT_EQ(bytes(buf + off, buf + off + 2), (bytes{0x80, 0x01}));
        EXPECT_EQ(get_be16(buf + off), 0x8001);
    }
}

TEST_F(lpkt_fixture, alloc_gives_zeroed_state_and_init_installs_handlers)
{
    EXPECT_EQ(s()->mode, LPKT_PLAIN);
    EXPECT_EQ(s()->tag, 0u);
    EXPECT_EQ(s()->peer, 0u);
    EXPECT_EQ(t->tx, lpkt_tx);
    EXPECT_EQ(t->rx, lpkt_rx);
    lpkt_set_tag(t, 7);
    lpkt_set_peer(t, 9);
    s()->mode = LPKT_TAGGED;
    lpkt_init(t);
    EXPECT_EQ(s()->mode, LPKT_PLAIN);
    EXPECT_EQ(s()->tag, 7u);
    EXPECT_EQ(s()->peer, 9u);
    EXPECT_EQ(t->lower, nullptr);
}

TEST_F(lpkt_fixture, worked_packets_byte_for_byte)
{
    EXPECT_EQ(send(ack), (bytes{0x41, 0x43, 0x4B, 0x00, 0x13, 0x45, 0xBD, 0x63}));
    s()->mode = LPKT_TAGGED;
    EXPECT_EQ(send(ack), (bytes{0, 0, 0, 0, 0, 0, 0, 0, 0x41, 0x43, 0x4B, 0x00, 0x39, 0x2C, 0x5C, 0x60}));
}

TEST_F(lpkt_fixture, tagged_header_carries_tag_then_peer)
{
    s()->mode = LPKT_TAGGED;
    lpkt_set_tag(t, 0x01020304u);
    lpkt_set_peer(t, 0xA0B0C0D0u);
    EXPECT_EQ(send(ack), tagged_packet(0x01020304u, 0xA0B0C0D0u, ack));
}

TEST_F(lpkt_fixture, empty_message_is_not_passed_down)
{
    send({});
    EXPECT_EQ(sent_count, 0);
}

TEST_F(lpkt_fixture, one_byte_payload_makes_a_five_byte_packet)
{
    EXPECT_EQ(send({0x5A}), plain_packet({0x5A}));
    EXPECT_EQ(sent.size(), 5u);
}

TEST_F(lpkt_fixture, unknown_mode_opens_the_trailer_but_writes_nothing)
{
    s()->mode = 7;
    mlb_reset(m, 0, 12);
    std::memset(mlb_data(m), 0x77, 64);  // what the storage held before
    std::memcpy(mlb_push_tlr(m, 4), ack.data(), 4);
    lpkt_tx(t, m);
    EXPECT_EQ(sent, (bytes{0x41, 0x43, 0x4B, 0x00, 0x77, 0x77, 0x77, 0x77}));
}

TEST_F(lpkt_fixture, frames_of_four_bytes_or_fewer_are_left_untouched)
{
    for (size_t n = 0; n <= 4; ++n) {
        receive(bytes(ack.begin(), ack.begin() + static_cast<long>(n)));
        EXPECT_EQ(mlb_len(m), static_cast<int32_t>(n));
        EXPECT_EQ(m->data_len, static_cast<int32_t>(n));
        EXPECT_EQ(m->tlr_len, 0);
    }
    EXPECT_EQ(received_count, 0);
}

TEST_F(lpkt_fixture, five_byte_plain_frame_is_accepted)
{
    receive(plain_packet({0x42}));
    ASSERT_EQ(received_count, 1);
    EXPECT_EQ(received, (bytes{0x42}));
}

// The receive decision table, one row per case.
struct rx_case {
    const char* name;
    int32_t mode;
    uint32_t tag;
    bytes frame;
    bool accepted;
    int32_t mode_after;
    uint32_t peer_after;  // peer starts at 0x55
    int32_t hdr_len_seen;
};

class lpkt_rx_table : public lpkt_fixture, public testing::WithParamInterface<rx_case> {};

TEST_P(lpkt_rx_table, decides)
{
    const rx_case& k = GetParam();
    s()->mode = k.mode;
    lpkt_set_tag(t, k.tag);
    lpkt_set_peer(t, 0x55);
    receive(k.frame);
    EXPECT_EQ(s()->mode, k.mode_after);
    EXPECT_EQ(s()->peer, k.peer_after);
    if (k.accepted) {
        ASSERT_EQ(received_count, 1);
        EXPECT_EQ(received, ack);
        EXPECT_EQ(received_hdr_len, k.hdr_len_seen);
        EXPECT_EQ(mlb_len(m), static_cast<int32_t>(k.frame.size()));
    } else {
        EXPECT_EQ(received_count, 0);
        EXPECT_EQ(mlb_len(m), 0);  // discarded: the buffer is emptied
    }
}

bytes corrupt(bytes b)
{
    b[1] ^= 0x10;
    return b;
}

INSTANTIATE_TEST_SUITE_P(
    lpkt, lpkt_rx_table,
    testing::Values(
        rx_case{"plain_right_le", LPKT_PLAIN, 0, plain_packet(ack), true, LPKT_PLAIN, 0x55, 0},
        rx_case{"plain_right_be", LPKT_PLAIN, 0, tagged_packet(9, 0, ack), false, LPKT_TAGGED, 0x55, 0},
        rx_case{"plain_neither", LPKT_PLAIN, 0, corrupt(plain_packet(ack)), false, LPKT_PLAIN, 0x55, 0},
        rx_case{"tagged_to_us", LPKT_TAGGED, 0, tagged_packet(9, 0, ack), true, LPKT_TAGGED, 9, 8},
        rx_case{"tagged_to_our_tag", LPKT_TAGGED, 0x77, tagged_packet(3, 0x77, ack), true, LPKT_TAGGED, 3, 8},
        rx_case{"tagged_to_another", LPKT_TAGGED, 0, tagged_packet(9, 1, ack), false, LPKT_TAGGED, 0x55, 0},
        rx_case{"tagged_right_le", LPKT_TAGGED, 0, plain_packet(ack), false, LPKT_PLAIN, 0x55, 0},
        rx_case{"tagged_neither", LPKT_TAGGED, 0, corrupt(tagged_packet(9, 0, ack)), false, LPKT_TAGGED, 0x55, 0},
        rx_case{"unknown_mode", 5, 0, plain_packet(ack), false, 5, 0x55, 0}),
    [](const testing::TestParamInfo<rx_case>& i) { return std::string(i.param.name); });

TEST_F(lpkt_fixture, tagged_payload_starts_at_byte_8_of_the_frame)
{
    s()->mode = LPKT_TAGGED;
    receive(tagged_packet(1, 0, ack));
    ASSERT_EQ(received_count, 1);
    EXPECT_EQ(mlb_data(m), mlb_hdr(m) + 8);
    EXPECT_EQ(m->hdr_off, 0);
}

TEST_F(lpkt_fixture, detection_switches_what_is_sent_next)
{
    receive(tagged_packet(0x42, 0, ack));
    EXPECT_EQ(received_count, 0);
    EXPECT_EQ(send(ack), tagged_packet(0, 0, ack));  // peer not learnt from a dropped packet
    receive(tagged_packet(0x42, 0, ack));
    EXPECT_EQ(received_count, 1);
    EXPECT_EQ(send(ack), tagged_packet(0, 0x42, ack));
}

// Searches payloads for one whose packet trailer reads the same in both byte
// orders (byte 0 = byte 3, byte 1 = byte 2).
bytes symmetric_trailer_packet(bool tagged)
{
    for (uint32_t i = 0;; ++i) {
        bytes payload{0x41, 0x43, 0x4B, 0x00, 0, 0, 0, 0};
        put_le32(payload.data() + 4, i);
        bytes p = tagged ? tagged_packet(0x31, 0, payload) : plain_packet(payload);
        const uint8_t* c = &p[p.size() - 4];
        if (c[0] == c[3] && c[1] == c[2])
            return p;
    }
}

TEST_F(lpkt_fixture, symmetric_trailer_is_taken_in_the_current_framing)
{
    receive(symmetric_trailer_packet(false));
    EXPECT_EQ(received_count, 1);
    EXPECT_EQ(s()->mode, LPKT_PLAIN);

    s()->mode = LPKT_TAGGED;
    receive(symmetric_trailer_packet(true));
    EXPECT_EQ(received_count, 2);
    EXPECT_EQ(s()->mode, LPKT_TAGGED);
    EXPECT_EQ(s()->peer, 0x31u);
}

class lpkt_short_tagged : public lpkt_fixture, public testing::WithParamInterface<int> {};

// A frame of 5 to 11 bytes with a right big-endian check value cannot hold
// both tags: dropped like any bad packet, never passed up with a bad length.
TEST_P(lpkt_short_tagged, is_discarded_without_touching_mode_or_peer)
{
    bytes body(static_cast<size_t>(GetParam() - 4), 0x00);
    uint8_t crc[4];
    put_be32(crc, crc32_calc(body.data(), static_cast<int32_t>(body.size())));
    body.insert(body.end(), crc, crc + 4);
    ASSERT_NE(get_be32(crc), get_le32(crc));

    s()->mode = LPKT_TAGGED;
    lpkt_set_peer(t, 0x55);
    receive(body);
    EXPECT_EQ(received_count, 0);
    EXPECT_EQ(mlb_len(m), 0);
    EXPECT_EQ(m->data_len, 0);
    EXPECT_EQ(s()->mode, LPKT_TAGGED);
    EXPECT_EQ(s()->peer, 0x55u);
}

INSTANTIATE_TEST_SUITE_P(lpkt, lpkt_short_tagged, testing::Range(5, 12));

TEST_F(lpkt_fixture, accepted_packet_without_a_receiver_goes_nowhere)
{
    t->upper = nullptr;
    receive(plain_packet(ack));
    layer deaf{};
    t->upper = &deaf;
    receive(plain_packet(ack));
    EXPECT_EQ(received_count, 0);
    EXPECT_EQ(mlb_len(m), 8);  // accepted: left as peeled, not emptied
}

}  // namespace
