#include "plm.h"

#include <cstdlib>

#include "layer.h"
#include "zassert.h"

plm* plm_alloc()
{
    plm* t = static_cast<plm*>(std::calloc(1, sizeof(plm)));
    ZEL_ASSERT(t != 0);
    return t;
}

static void insert_below(plm* t, layer* l, layer* existing)
{
    layer* d = existing->lower;
    l->upper = existing;
    l->lower = d;
    existing->lower = l;
    if (existing == t->bottom)
        t->bottom = l;
    else
        d->upper = l;
}

void plm_insert(plm* t, layer* l, int position, layer* existing)
{
    l->lower = nullptr;
    l->upper = nullptr;
    if (t->top == nullptr) {
        ZEL_ASSERT(existing == 0);
        t->top = l;
        t->bottom = l;
        return;
    }
    switch (position) {
    case PLM_TOP:
        ZEL_ASSERT(existing == 0);
        t->top->upper = l;
        l->lower = t->top;
        t->top = l;
        break;
    case PLM_BELOW:
        ZEL_ASSERT(existing != 0);
        insert_below(t, l, existing);
        break;
    default:
        break;  // unknown position: the layer stays outside the stack
    }
}

void plm_tx(plm* t, mlb* m)
{
    if (t->top)
        t->top->tx(t->top, m);
}

void plm_rx(plm* t, mlb* m)
{
    if (t->bottom)
        t->bottom->rx(t->bottom, m);
}
