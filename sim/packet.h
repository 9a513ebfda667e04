// Packet framing, device side. A packet is what one SLIP frame carries:
//
//   plain:  | payload (n) | CRC-32 of payload, little-endian (4) |
//   tagged: | sender tag BE (4) | addressee tag BE (4) | payload (n) |
//           | CRC-32 of header and payload, big-endian (4) |
//
// A plain device takes plain packets only and answers plain. A tagged device
// (it has a tag of its own) takes both: a plain packet as it is, a tagged one
// when it is addressed to the device's tag or to 0. It always answers tagged,
// from its own tag to the sender of the last tagged packet it accepted
// (0 until it has accepted one), which is how the tool learns the framing.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

enum packet_framing : int32_t {
    PACKET_PLAIN = 0,
    PACKET_TAGGED = 1,
};

enum packet_sizes : uint32_t {
    PACKET_CHECK_SIZE = 4,   // CRC-32 trailer
    PACKET_HEADER_SIZE = 8,  // two tags, tagged framing only
};

// Tag a tagged packet may be addressed to besides the device's own: the tool
// addresses 0 until it has learnt the device's tag.
constexpr uint32_t PACKET_ANY_TAG = 0;

struct packet_endpoint {
    int32_t framing;  // PACKET_PLAIN or PACKET_TAGGED: how this device answers
    uint32_t tag;     // the device's own tag (tagged devices only)
    uint32_t peer;    // sender of the last tagged packet accepted
};

enum packet_verdict : int32_t {
    PACKET_ACCEPTED = 0,
    PACKET_BAD_CHECK = 1,      // too short, or check value wrong for this device
    PACKET_NOT_ADDRESSED = 2,  // right tagged packet, addressed to another tag
};

struct packet_received {
    int32_t framing;  // framing the packet came in
    uint32_t sender;  // tagged only
    uint32_t addressee;
    std::span<const uint8_t> payload;  // a view into the frame
};

void packet_endpoint_init(packet_endpoint* t, int32_t framing, uint32_t tag);

// Checks one received frame. On PACKET_ACCEPTED *out describes it and, for a
// tagged packet, the endpoint's peer becomes its sender.
int32_t packet_accept(packet_endpoint* t, std::span<const uint8_t> frame, packet_received* out);

// The packet carrying payload in this device's framing.
std::vector<uint8_t> packet_build(const packet_endpoint* t, std::span<const uint8_t> payload);
