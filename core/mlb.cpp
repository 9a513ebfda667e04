#include "mlb.h"

#include <cstdlib>

#include "zassert.h"

static uint8_t* storage(mlb* t)
{
    return reinterpret_cast<uint8_t*>(t + 1);
}

int check(const mlb* t)
{
    return t->data_off >= 0 && t->hdr_off >= 0 && t->tlr_off >= 0;
}

// Region ends are computed in 64 bits so that no sum of two fields overflows.
static int within_cap(const mlb* t)
{
    int64_t cap = t->cap;
    return int64_t{t->hdr_off} + t->hdr_len <= cap && int64_t{t->data_off} + t->data_len <= cap &&
           int64_t{t->tlr_off} + t->tlr_len <= cap;
}

static void verify(const mlb* t)
{
    ZEL_ASSERT(check(t));
    ZEL_ASSERT(within_cap(t));
}

mlb* mlb_alloc(int32_t cap)
{
    mlb* t = static_cast<mlb*>(std::calloc(1, sizeof(mlb) + static_cast<size_t>(cap)));
    ZEL_ASSERT(t != 0);
    t->cap = cap;
    return t;
}

void mlb_reset(mlb* t, int32_t size, int32_t headroom)
{
    ZEL_ASSERT(t != 0);
    if (size < 0)
        size = t->cap - headroom;
    t->data_off = headroom;
    t->data_len = size;
    t->hdr_off = headroom;
    t->hdr_len = 0;
    t->tlr_off = headroom + size;
    t->tlr_len = 0;
}

uint8_t* mlb_push_hdr(mlb* t, int32_t size)
{
    t->data_off = t->data_off - t->hdr_len;
    t->data_len = t->data_len + t->hdr_len;
    t->hdr_len = size;
    t->hdr_off = t->data_off - size;
    return mlb_hdr(t);
}

uint8_t* mlb_push_tlr(mlb* t, int32_t size)
{
    t->data_len = t->data_len + t->tlr_len;
    t->tlr_len = size;
    t->tlr_off = t->data_off + t->data_len;
    return mlb_tlr(t);
}

void mlb_pull_hdr(mlb* t, int32_t size)
{
    t->hdr_off = t->data_off;
    t->hdr_len = size;
    t->data_off = t->data_off + size;
    t->data_len = t->data_len - size;
    verify(t);
}

void mlb_pull_tlr(mlb* t, int32_t size)
{
    t->data_len = t->data_len - size;
    t->tlr_off = t->data_off + t->data_len;
    t->tlr_len = size;
    verify(t);
}

uint8_t* mlb_hdr(mlb* t)
{
    verify(t);
    return storage(t) + t->hdr_off;
}

uint8_t* mlb_data(mlb* t)
{
    verify(t);
    return storage(t) + t->data_off;
}

int32_t mlb_data_off(mlb* t)
{
    verify(t);
    return t->data_off;
}

uint8_t* mlb_tlr(mlb* t)
{
    verify(t);
    return storage(t) + t->tlr_off;
}

int32_t mlb_len(mlb* t)
{
    verify(t);
    return t->hdr_len + t->data_len + t->tlr_len;
}
