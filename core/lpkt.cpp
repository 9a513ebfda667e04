#include "lpkt.h"

#include <cstdlib>

#include "layer.h"
#include "mlb.h"
#include "zassert.h"

// The 256-entry table is built by the compiler; nothing is computed at run time.
static constexpr std::array<uint32_t, 256> make_crc32_table()
{
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i)
        table[i] = crc32_byte(i, 0);
    return table;
}

constexpr std::array<uint32_t, 256> crc32_table = make_crc32_table();
static_assert(crc32_table[1] == 0x77073096u && crc32_table[255] == 0x2D02EF8Du);

uint32_t crc32_calc(const uint8_t* bytes, int32_t n)
{
    uint32_t r = 0xFFFFFFFFu;
    for (int32_t i = 0; i < n; ++i)
        r = crc32_table[(r ^ bytes[i]) & 0xFFu] ^ (r >> 8);
    return ~r;
}

uint16_t get_le16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint16_t get_be16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

uint32_t get_le32(const uint8_t* p)
{
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

uint32_t get_be32(const uint8_t* p)
{
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

void put_le16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void put_be16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

void put_le32(uint8_t* p, uint32_t v)
{
    put_le16(p, static_cast<uint16_t>(v));
    put_le16(p + 2, static_cast<uint16_t>(v >> 16));
}

void put_be32(uint8_t* p, uint32_t v)
{
    put_be16(p, static_cast<uint16_t>(v >> 16));
    put_be16(p + 2, static_cast<uint16_t>(v));
}

static lpkt* state(layer* t)
{
    return static_cast<lpkt*>(t->p_);
}

layer* lpkt_alloc()
{
    layer* t = static_cast<layer*>(std::calloc(1, sizeof(layer)));
    ZEL_ASSERT(t);
    t->p_ = std::calloc(1, sizeof(lpkt));
    ZEL_ASSERT(t->p_);
    return t;
}

void lpkt_init(layer* t)
{
    layer_init(t);
    t->tx = lpkt_tx;
    t->rx = lpkt_rx;
    state(t)->mode = LPKT_PLAIN;
}

void lpkt_set_tag(layer* t, uint32_t tag)
{
    state(t)->tag = tag;
}

void lpkt_set_peer(layer* t, uint32_t peer)
{
    state(t)->peer = peer;
}

void lpkt_tx(layer* t, mlb* m)
{
    lpkt* s = state(t);
    if (mlb_len(m) == 0)
        return;
    mlb_push_hdr(m, 0);
    mlb_push_tlr(m, LPKT_CHECK_SIZE);
    if (s->mode == LPKT_PLAIN) {
        put_le32(mlb_tlr(m), crc32_calc(mlb_hdr(m), mlb_len(m) - LPKT_CHECK_SIZE));
    } else if (s->mode == LPKT_TAGGED) {
        uint8_t* h = mlb_push_hdr(m, LPKT_HEADER_SIZE);
        put_be32(h, s->tag);
        put_be32(h + LPKT_TAG_SIZE, s->peer);
        put_be32(mlb_tlr(m), crc32_calc(mlb_hdr(m), mlb_len(m) - LPKT_CHECK_SIZE));
    }
    // Any other mode: the trailer is opened but left as the storage holds it.
    t->lower->tx(t->lower, m);
}

enum class verdict { accept, discard };

// A tagged packet right big-endian: split the tags off and check the addressee.
// A frame too short to hold both tags is dropped like any other bad packet.
static verdict take_tagged(lpkt* s, mlb* m, int32_t k)
{
    if (k - LPKT_CHECK_SIZE < LPKT_HEADER_SIZE)
        return verdict::discard;
    mlb_pull_hdr(m, LPKT_HEADER_SIZE);
    uint32_t sender = get_be32(mlb_hdr(m));
    uint32_t addressee = get_be32(mlb_hdr(m) + LPKT_TAG_SIZE);
    if (addressee != s->tag)
        return verdict::discard;
    s->peer = sender;
    return verdict::accept;
}

static verdict decide(lpkt* s, mlb* m, int32_t k)
{
    uint32_t v = crc32_calc(mlb_hdr(m), k - LPKT_CHECK_SIZE);
    uint32_t be = get_be32(mlb_tlr(m));
    uint32_t le = get_le32(mlb_tlr(m));
    if (s->mode == LPKT_PLAIN) {
        if (v == le)
            return verdict::accept;
        if (v == be) {
            s->mode = LPKT_TAGGED;
            s->switches += 1;
        }
        return verdict::discard;
    }
    if (s->mode == LPKT_TAGGED) {
        if (v == be)
            return take_tagged(s, m, k);
        if (v == le) {
            s->mode = LPKT_PLAIN;
            s->switches += 1;
        }
        return verdict::discard;
    }
    return verdict::discard;
}

uint32_t lpkt_bad_frames(layer* t)
{
    return state(t)->bad;
}

uint32_t lpkt_switches(layer* t)
{
    return state(t)->switches;
}

void lpkt_rx(layer* t, mlb* m)
{
    int32_t k = mlb_len(m);
    if (k == 0)
        return;  // nothing came
    if (k <= LPKT_CHECK_SIZE) {
        state(t)->bad += 1;
        return;
    }
    mlb_pull_tlr(m, LPKT_CHECK_SIZE);
    if (decide(state(t), m, k) == verdict::discard) {
        state(t)->bad += 1;
        mlb_reset(m, 0, 0);
        return;
    }
    if (t->upper && t->upper->rx)
        t->upper->rx(t->upper, m);
}
