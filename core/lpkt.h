// Packet layer: every message sent gets a CRC-32 trailer and, in the tagged
// framing, a header of two big-endian tags; every frame received is accepted
// only with a right check value (and, tagged, when addressed to this end).
//
//   plain:  | payload (n) | CRC-32 of payload, little-endian (4) |
//   tagged: | sender tag BE (4) | addressee tag BE (4) | payload (n) |
//           | CRC-32 of header and payload, big-endian (4) |
//
// The framing is never configured in this tool: a frame whose check value is
// right in the other byte order switches the mode (and is itself dropped).
// Also home of the CRC-32 routines and the byte-order helpers.
#pragma once

#include <array>
#include <cstdint>

struct layer;
struct mlb;

// Sizes on the wire, in bytes.
enum lpkt_size : int32_t {
    LPKT_CHECK_SIZE = 4,                   // the CRC-32 trailer
    LPKT_TAG_SIZE = 4,                     // one tag of the tagged header
    LPKT_HEADER_SIZE = 2 * LPKT_TAG_SIZE,  // sender and addressee tags
};

enum lpkt_mode_value : int32_t {
    LPKT_PLAIN = 0,
    LPKT_TAGGED = 1,
};

// Private record behind the layer's p_.
struct lpkt {
    int32_t mode;   // LPKT_PLAIN or LPKT_TAGGED
    uint32_t tag;   // this end's tag: sender word sent, addressee word required
    uint32_t peer;  // the other end's tag: addressee word sent, learnt on accept
    uint32_t bad;   // frames dropped: too short, a wrong check value, addressed elsewhere
    uint32_t switches;  // of them, packets right in the other framing, which switched the mode
};

layer* lpkt_alloc();
void lpkt_init(layer* t);
void lpkt_set_tag(layer* t, uint32_t tag);
void lpkt_set_peer(layer* t, uint32_t peer);
uint32_t lpkt_bad_frames(layer* t);
// Packets dropped because their check value was right in the other framing:
// real replies, though never passed up.
uint32_t lpkt_switches(layer* t);
void lpkt_tx(layer* t, mlb* m);
void lpkt_rx(layer* t, mlb* m);

// CRC-32 of IEEE 802.3: reflected polynomial 0xEDB88320, preset 0xFFFFFFFF,
// result complemented.
constexpr uint32_t CRC32_POLY = 0xEDB88320u;

// One byte, bit by bit; neither presets nor complements.
constexpr uint32_t crc32_byte(uint32_t crc, uint8_t b)
{
    for (int i = 0; i < 8; ++i) {
        crc = ((crc ^ b) & 1u) ? (crc >> 1) ^ CRC32_POLY : crc >> 1;
        b = static_cast<uint8_t>(b >> 1);
    }
    return crc;
}

uint32_t crc32_calc(const uint8_t* bytes, int32_t n);

// Byte-order helpers: any address, no alignment needed.
uint16_t get_le16(const uint8_t* p);
uint16_t get_be16(const uint8_t* p);
uint32_t get_le32(const uint8_t* p);
uint32_t get_be32(const uint8_t* p);
void put_le16(uint8_t* p, uint16_t v);
void put_be16(uint8_t* p, uint16_t v);
void put_le32(uint8_t* p, uint32_t v);
void put_be32(uint8_t* p, uint32_t v);

// The table behind crc32_calc, exposed so that tests can hold it against
// crc32_byte.
extern const std::array<uint32_t, 256> crc32_table;
