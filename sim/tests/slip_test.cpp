#include "slip.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

struct encode_case {
    bytes packet;
    bytes frame;
};

class SlipEncode : public ::testing::TestWithParam<encode_case> {};

TEST_P(SlipEncode, ByteExact)
{
    EXPECT_EQ(slip_encode(GetParam().packet), GetParam().frame);
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, SlipEncode,
    ::testing::Values(encode_case{{}, {}}, encode_case{{0x41}, {0xC0, 0x41, 0xC0}},
                      encode_case{{0x01, 0xC0, 0xDB, 0x02}, {0xC0, 0x01, 0xDB, 0xDC, 0xDB, 0xDD, 0x02, 0xC0}},
                      encode_case{{0xC0}, {0xC0, 0xDB, 0xDC, 0xC0}},
                      encode_case{{0xDB, 0xDC, 0xDD}, {0xC0, 0xDB, 0xDD, 0xDC, 0xDD, 0xC0}},
                      encode_case{{0x41, 0x43, 0x4B, 0x00, 0x13, 0x45, 0xBD, 0x63},
                                  {0xC0, 0x41, 0x43, 0x4B, 0x00, 0x13, 0x45, 0xBD, 0x63, 0xC0}}));

struct decoded {
    bytes data;
    int32_t status;
    uint64_t raw_bytes;
};

std::vector<decoded> feed_all(const bytes& wire)
{
    slip_decoder d;
    slip_decoder_init(&d);
    std::vector<decoded> frames;
    slip_frame out;
    for (uint8_t b : wire)
        if (slip_feed(&d, b, 0, &out))
            frames.push_back(decoded{out.bytes, out.status, out.raw_bytes});
    return frames;
}

struct decode_case {
    const char* name;
    bytes wire;
    std::vector<decoded> frames;
};

class SlipDecode : public ::testing::TestWithParam<decode_case> {};

TEST_P(SlipDecode, ByteExact)
{
    std::vector<decoded> got = feed_all(GetParam().wire);
    const std::vector<decoded>& want = GetParam().frames;
    ASSERT_EQ(got.size(), want.size()) << GetParam().name;
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].data, want[i].data) << GetParam().name << " frame " << i;
        EXPECT_EQ(got[i].status, want[i].status) << GetParam().name << " frame " << i;
        EXPECT_EQ(got[i].raw_bytes, want[i].raw_bytes) << GetParam().name << " frame " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, SlipDecode,
    ::testing::Values(
        decode_case{"leading ENDs skipped", {0xC0, 0xC0, 0xC0, 0x41, 0xC0}, {{{0x41}, SLIP_FRAME_OK, 5}}},
        decode_case{"escaped END", {0xC0, 0x41, 0xDB, 0xDC, 0x42, 0xC0}, {{{0x41, 0xC0, 0x42}, SLIP_FRAME_OK, 6}}},
        decode_case{"escaped ESC", {0xC0, 0xDB, 0xDD, 0xC0}, {{{0xDB}, SLIP_FRAME_OK, 4}}},
        decode_case{"no opening END", {0x41, 0x42, 0xC0}, {{{0x41, 0x42}, SLIP_FRAME_OK, 3}}},
        decode_case{"ESC before a plain byte", {0xC0, 0x41, 0xDB, 0x42, 0xC0},
                    {{{0x41, 0x42}, SLIP_FRAME_BAD_ESCAPE, 5}}},
        decode_case{"ESC before END is data", {0xC0, 0x41, 0xDB, 0xC0, 0x42, 0xC0},
                    {{{0x41, 0xC0, 0x42}, SLIP_FRAME_BAD_ESCAPE, 6}}},
        decode_case{"two frames back to back", {0xC0, 0x01, 0xC0, 0xC0, 0x02, 0x03, 0xC0},
                    {{{0x01}, SLIP_FRAME_OK, 3}, {{0x02, 0x03}, SLIP_FRAME_OK, 4}}},
        decode_case{"unfinished frame gives nothing", {0xC0, 0x41, 0x42}, {}},
        decode_case{"END only", {0xC0, 0xC0}, {}}));

TEST(SlipDecodeLength, LongestFrameIsTakenOneMoreIsThrownAway)
{
    bytes wire = {0xC0};
    wire.insert(wire.end(), SLIP_MAX_FRAME, 0x55);
    wire.push_back(0xC0);
    bytes too_long = {0xC0};
    too_long.insert(too_long.end(), SLIP_MAX_FRAME + 1, 0x55);
    too_long.push_back(0xC0);
    wire.insert(wire.end(), too_long.begin(), too_long.end());
    wire.insert(wire.end(), {0xC0, 0x07, 0xC0});

    std::vector<decoded> frames = feed_all(wire);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].status, SLIP_FRAME_OK);
    EXPECT_EQ(frames[0].data.size(), SLIP_MAX_FRAME);
    EXPECT_EQ(frames[1].status, SLIP_FRAME_TOO_LONG);
    EXPECT_EQ(frames[2].status, SLIP_FRAME_OK);
    EXPECT_EQ(frames[2].data, bytes{0x07});
}

TEST(SlipRoundTrip, EveryByteValueSurvives)
{
    bytes packet;
    for (int i = 0; i < 256; ++i)
        packet.push_back(static_cast<uint8_t>(i));
    bytes frame = slip_encode(packet);
    EXPECT_EQ(frame.size(), 2u + 256u + 2u);  // C0 and DB take two bytes each
    std::vector<decoded> frames = feed_all(frame);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].data, packet);
    EXPECT_EQ(frames[0].raw_bytes, frame.size());
}

TEST(SlipTiming, FirstByteTimeIsThatOfTheFrameNotOfTheOneBefore)
{
    slip_decoder d;
    slip_decoder_init(&d);
    slip_frame out;
    EXPECT_FALSE(slip_feed(&d, 0xC0, 100, &out));
    EXPECT_FALSE(slip_feed(&d, 0x41, 150, &out));
    ASSERT_TRUE(slip_feed(&d, 0xC0, 200, &out));
    EXPECT_EQ(out.first_byte_us, 100);
    EXPECT_EQ(out.raw_bytes, 3u);
    EXPECT_FALSE(slip_feed(&d, 0xC0, 300, &out));
    EXPECT_FALSE(slip_feed(&d, 0x42, 310, &out));
    ASSERT_TRUE(slip_feed(&d, 0xC0, 320, &out));
    EXPECT_EQ(out.first_byte_us, 300);
    EXPECT_EQ(out.bytes, bytes{0x42});
}

}  // namespace
