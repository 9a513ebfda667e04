#include "packet.h"

#include "lpkt.h"

void packet_endpoint_init(packet_endpoint* t, int32_t framing, uint32_t tag)
{
    t->framing = framing;
    t->tag = tag;
    t->peer = PACKET_ANY_TAG;
}

static uint32_t check_over(std::span<const uint8_t> frame)
{
    return crc32_calc(frame.data(), static_cast<int32_t>(frame.size() - PACKET_CHECK_SIZE));
}

static bool right_little_endian(std::span<const uint8_t> frame)
{
    return check_over(frame) == get_le32(frame.data() + frame.size() - PACKET_CHECK_SIZE);
}

static bool right_big_endian(std::span<const uint8_t> frame)
{
    return frame.size() >= PACKET_HEADER_SIZE + PACKET_CHECK_SIZE &&
           check_over(frame) == get_be32(frame.data() + frame.size() - PACKET_CHECK_SIZE);
}

static int32_t take_plain(std::span<const uint8_t> frame, packet_received* out)
{
    out->framing = PACKET_PLAIN;
    out->sender = 0;
    out->addressee = 0;
    out->payload = frame.first(frame.size() - PACKET_CHECK_SIZE);
    return PACKET_ACCEPTED;
}

static int32_t take_tagged(packet_endpoint* t, std::span<const uint8_t> frame, packet_received* out)
{
    uint32_t sender = get_be32(frame.data());
    uint32_t addressee = get_be32(frame.data() + 4);
    if (addressee != t->tag && addressee != PACKET_ANY_TAG)
        return PACKET_NOT_ADDRESSED;
    t->peer = sender;
    out->framing = PACKET_TAGGED;
    out->sender = sender;
    out->addressee = addressee;
    out->payload = frame.subspan(PACKET_HEADER_SIZE, frame.size() - PACKET_HEADER_SIZE - PACKET_CHECK_SIZE);
    return PACKET_ACCEPTED;
}

int32_t packet_accept(packet_endpoint* t, std::span<const uint8_t> frame, packet_received* out)
{
    if (frame.size() <= PACKET_CHECK_SIZE)
        return PACKET_BAD_CHECK;
    if (t->framing == PACKET_PLAIN)
        return right_little_endian(frame) ? take_plain(frame, out) : PACKET_BAD_CHECK;
    // A tagged device tries its own framing first, so a trailer that reads
    // the same in both byte orders is taken as tagged.
    if (right_big_endian(frame))
        return take_tagged(t, frame, out);
    if (right_little_endian(frame))
        return take_plain(frame, out);
    return PACKET_BAD_CHECK;
}

std::vector<uint8_t> packet_build(const packet_endpoint* t, std::span<const uint8_t> payload)
{
    std::vector<uint8_t> packet;
    if (t->framing == PACKET_TAGGED) {
        packet.resize(PACKET_HEADER_SIZE);
        put_be32(packet.data(), t->tag);
        put_be32(packet.data() + 4, t->peer);
    }
    packet.insert(packet.end(), payload.begin(), payload.end());
    uint32_t check = crc32_calc(packet.data(), static_cast<int32_t>(packet.size()));
    packet.resize(packet.size() + PACKET_CHECK_SIZE);
    uint8_t* trailer = packet.data() + packet.size() - PACKET_CHECK_SIZE;
    if (t->framing == PACKET_TAGGED)
        put_be32(trailer, check);
    else
        put_le32(trailer, check);
    return packet;
}
