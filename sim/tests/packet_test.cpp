#include "packet.h"

#include <gtest/gtest.h>

#include <vector>

#include "device.h"
#include "lpkt.h"

namespace {

using bytes = std::vector<uint8_t>;

packet_endpoint endpoint(int32_t framing, uint32_t tag, uint32_t peer)
{
    packet_endpoint e;
    packet_endpoint_init(&e, framing, tag);
    e.peer = peer;
    return e;
}

// A packet as the tool would send it: built by an endpoint whose tag is the
// sender and whose peer is the addressee.
bytes from_tool(int32_t framing, uint32_t sender, uint32_t addressee, const bytes& payload)
{
    packet_endpoint tool = endpoint(framing, sender, addressee);
    return packet_build(&tool, payload);
}

TEST(PacketBuild, PlainAckByteExact)
{
    packet_endpoint device = endpoint(PACKET_PLAIN, 0, 0);
    EXPECT_EQ(packet_build(&device, DEVICE_ACK), (bytes{0x41, 0x43, 0x4B, 0x00, 0x13, 0x45, 0xBD, 0x63}));
}

TEST(PacketBuild, TaggedAckFromZeroToZeroByteExact)
{
    packet_endpoint device = endpoint(PACKET_TAGGED, 0, 0);
    EXPECT_EQ(packet_build(&device, DEVICE_ACK),
              (bytes{0, 0, 0, 0, 0, 0, 0, 0, 0x41, 0x43, 0x4B, 0x00, 0x39, 0x2C, 0x5C, 0x60}));
}

TEST(PacketBuild, TaggedReplyGoesFromOwnTagToPeerWithBigEndianCheck)
{
    packet_endpoint device = endpoint(PACKET_TAGGED, 0x01020304, 0xA0B0C0D0);
    bytes p = packet_build(&device, DEVICE_ACK);
    ASSERT_EQ(p.size(), 16u);
    EXPECT_EQ(bytes(p.begin(), p.begin() + 8), (bytes{1, 2, 3, 4, 0xA0, 0xB0, 0xC0, 0xD0}));
    EXPECT_EQ(get_be32(p.data() + 12), crc32_calc(p.data(), 12));
}

struct accept_case {
    const char* name;
    int32_t device_framing;
    uint32_t device_tag;
    uint32_t peer_before;
    bytes frame;
    int32_t verdict;
    int32_t framing_seen;  // of an accepted packet
    uint32_t peer_after;
};

class PacketAccept : public ::testing::TestWithParam<accept_case> {};

TEST_P(PacketAccept, AddressingRules)
{
    const accept_case& c = GetParam();
    packet_endpoint device = endpoint(c.device_framing, c.device_tag, c.peer_before);
    packet_received got{};
    EXPECT_EQ(packet_accept(&device, c.frame, &got), c.verdict) << c.name;
    EXPECT_EQ(device.peer, c.peer_after) << c.name;
    if (c.verdict == PACKET_ACCEPTED) {
        EXPECT_EQ(got.framing, c.framing_seen) << c.name;
        EXPECT_EQ(bytes(got.payload.begin(), got.payload.end()), (bytes{'R', 'E', 'S', 'E', 'T', 0, 0, 0}))
            << c.name;
    }
}

const bytes reset_payload = {'R', 'E', 'S', 'E', 'T', 0, 0, 0};

bytes corrupted(bytes b)
{
    b[2] ^= 0x10;
    return b;
}

INSTANTIATE_TEST_SUITE_P(
    Table, PacketAccept,
    ::testing::Values(
        accept_case{"plain device, plain packet", PACKET_PLAIN, 0, 0,
                    from_tool(PACKET_PLAIN, 0, 0, reset_payload), PACKET_ACCEPTED, PACKET_PLAIN, 0},
        accept_case{"plain device, tagged packet", PACKET_PLAIN, 0, 0,
                    from_tool(PACKET_TAGGED, 0, 0, reset_payload), PACKET_BAD_CHECK, 0, 0},
        accept_case{"plain device, corrupted", PACKET_PLAIN, 0, 0,
                    corrupted(from_tool(PACKET_PLAIN, 0, 0, reset_payload)), PACKET_BAD_CHECK, 0, 0},
        accept_case{"tagged device, plain packet keeps peer", PACKET_TAGGED, 7, 5,
                    from_tool(PACKET_PLAIN, 0, 0, reset_payload), PACKET_ACCEPTED, PACKET_PLAIN, 5},
        accept_case{"tagged device, to its tag", PACKET_TAGGED, 7, 5,
                    from_tool(PACKET_TAGGED, 0, 7, reset_payload), PACKET_ACCEPTED, PACKET_TAGGED, 0},
        accept_case{"tagged device, to 0, learns sender", PACKET_TAGGED, 7, 0,
                    from_tool(PACKET_TAGGED, 9, 0, reset_payload), PACKET_ACCEPTED, PACKET_TAGGED, 9},
        accept_case{"tagged device, to another tag", PACKET_TAGGED, 7, 5,
                    from_tool(PACKET_TAGGED, 9, 8, reset_payload), PACKET_NOT_ADDRESSED, 0, 5},
        accept_case{"tagged device, corrupted tagged", PACKET_TAGGED, 7, 5,
                    corrupted(from_tool(PACKET_TAGGED, 9, 7, reset_payload)), PACKET_BAD_CHECK, 0, 5},
        accept_case{"four bytes are too short", PACKET_PLAIN, 0, 0, bytes{0, 0, 0, 0}, PACKET_BAD_CHECK, 0, 0},
        accept_case{"tagged device, four bytes", PACKET_TAGGED, 7, 5, bytes{0, 0, 0, 0}, PACKET_BAD_CHECK, 0, 5}));

TEST(PacketAccept, PlainPayloadIsAllButTheTrailer)
{
    packet_endpoint device = endpoint(PACKET_PLAIN, 0, 0);
    bytes frame = from_tool(PACKET_PLAIN, 0, 0, bytes{0x42});
    ASSERT_EQ(frame.size(), 5u);
    packet_received got{};
    ASSERT_EQ(packet_accept(&device, frame, &got), PACKET_ACCEPTED);
    EXPECT_EQ(bytes(got.payload.begin(), got.payload.end()), bytes{0x42});
}

TEST(PacketAccept, TaggedFrameTooShortForItsHeaderIsNotTakenAsTagged)
{
    // Six bytes with a check value right big-endian over the first two.
    bytes frame = {0x12, 0x34, 0, 0, 0, 0};
    put_be32(frame.data() + 2, crc32_calc(frame.data(), 2));
    packet_endpoint device = endpoint(PACKET_TAGGED, 7, 5);
    packet_received got{};
    EXPECT_EQ(packet_accept(&device, frame, &got), PACKET_BAD_CHECK);
    EXPECT_EQ(device.peer, 5u);
}

TEST(PacketAccept, ReplyIsAddressedToTheSenderOfTheLastAcceptedPacket)
{
    packet_endpoint device = endpoint(PACKET_TAGGED, 7, 0);
    packet_received got{};
    ASSERT_EQ(packet_accept(&device, from_tool(PACKET_TAGGED, 0x11, 0, reset_payload), &got), PACKET_ACCEPTED);
    ASSERT_EQ(packet_accept(&device, from_tool(PACKET_TAGGED, 0x22, 9, reset_payload), &got), PACKET_NOT_ADDRESSED);
    bytes reply = packet_build(&device, DEVICE_ACK);
    EXPECT_EQ(get_be32(reply.data()), 7u);
    EXPECT_EQ(get_be32(reply.data() + 4), 0x11u);
}

}  // namespace
