// Layer stack: one chain of layers, doubly linked through lower/upper, from
// top (upper null) to bottom (lower null). The stack is empty exactly when
// top is null. It neither owns nor frees its layers; a layer belongs to at
// most one stack at a time.
#pragma once

struct layer;
struct mlb;

struct plm {
    layer* top;
    layer* bottom;
};

// Insert positions, relative to the layer `existing`.
enum plm_position : int {
    PLM_TOP = 0,    // above the current top; existing must be null
    PLM_BELOW = 2,  // directly below existing (also the way to add at the bottom)
};

plm* plm_alloc();
void plm_insert(plm* t, layer* l, int position, layer* existing);
void plm_tx(plm* t, mlb* m);  // enters at top; the top layer must have a tx
void plm_rx(plm* t, mlb* m);  // enters at bottom; the bottom layer must have an rx
