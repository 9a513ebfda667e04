// Message buffer: one block of storage holding one protocol message while it
// travels down or up the layer stack, never copied between layers.
//
//   storage: | headroom | header | data | trailer | free room |
//            0       hdr_off  data_off  tlr_off             cap
//
// Adjacency: every operation keeps the regions back to back, header first:
//   hdr_off + hdr_len == data_off  and  data_off + data_len == tlr_off,
// so the whole message is always the mlb_len(t) bytes from mlb_hdr(t).
// Consistency, check(t): no offset is negative. Lengths may go negative (a
// pull of more than the data holds) and are not tested by check(t).
// Bounds: no region may end past cap; the operations that apply check(t)
// also assert this.
// The storage is zeroed once by mlb_alloc and never cleared or moved after;
// operations only move region boundaries, layers write the bytes.
#pragma once

#include <cstdint>

struct mlb {
    int32_t hdr_off;
    int32_t hdr_len;
    int32_t data_off;
    int32_t data_len;
    int32_t tlr_off;
    int32_t tlr_len;
    int32_t cap;  // storage bytes, directly behind the record in one allocation
};

mlb* mlb_alloc(int32_t cap);
void mlb_reset(mlb* t, int32_t size, int32_t headroom);  // size < 0: all storage from headroom
uint8_t* mlb_push_hdr(mlb* t, int32_t size);
uint8_t* mlb_push_tlr(mlb* t, int32_t size);
void mlb_pull_hdr(mlb* t, int32_t size);
void mlb_pull_tlr(mlb* t, int32_t size);
uint8_t* mlb_hdr(mlb* t);
uint8_t* mlb_data(mlb* t);
int32_t mlb_data_off(mlb* t);
uint8_t* mlb_tlr(mlb* t);
int32_t mlb_len(mlb* t);
int check(const mlb* t);
