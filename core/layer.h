// Layer object: the same five-field record for every kind of protocol layer.
// A layer's behaviour lies in its two handlers and the private state behind
// p_; its links are set by the layer stack (plm).
//
// Handler contract. tx adds this layer's content to the message in place and
// calls lower->tx; the bottom layer writes mlb_len(m) bytes from mlb_hdr(m)
// to the device. rx splits this layer's header and trailer off, verifies
// them, and calls upper->rx or drops the message; the bottom layer's rx
// fills the buffer from the device first. Handlers return nothing.
#pragma once

struct mlb;
struct layer;

using layer_handler = void (*)(layer* t, mlb* m);

struct layer {
    layer_handler tx;
    layer_handler rx;
    layer* lower;  // next layer down; null for the bottom layer
    layer* upper;  // next layer up; null for the top layer
    void* p_;      // private state, owned by the module that made the layer
};

layer* layer_alloc();
void layer_init(layer* t);
