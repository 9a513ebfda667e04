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

static void insert_above(plm* t, layer* l, layer* existing)
{
    layer* u = existing->upper;
    l->upper = u;
    l->lower = existing;
    existing->upper = l;
    if (existing == t->top)
        t->top = l;
    else
        u->lower = l;
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
    case PLM_ABOVE:
        ZEL_ASSERT(existing != 0);
        insert_above(t, l, existing);
        break;
    case PLM_BELOW:
        ZEL_ASSERT(existing != 0);
        insert_below(t, l, existing);
        break;
    default:
        break;  // unknown position: the layer stays outside the stack
    }
}

void plm_remove(plm* t, layer* l)
{
    if (l == t->top) {
        t->top = l->lower;
        if (t->top)
            t->top->upper = nullptr;
    } else {
        l->upper->lower = l->lower;
    }
    if (l == t->bottom) {
        t->bottom = l->upper;
        if (t->bottom)
            t->bottom->lower = nullptr;
    } else {
        l->lower->upper = l->upper;
    }
    l->lower = nullptr;
    l->upper = nullptr;
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
