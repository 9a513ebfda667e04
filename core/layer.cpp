#include "layer.h"

#include <cstdlib>

#include "zassert.h"

layer* layer_alloc()
{
    layer* t = static_cast<layer*>(std::calloc(1, sizeof(layer)));
    ZEL_ASSERT(t != 0);
    return t;
}

void layer_init(layer* t)
{
    ZEL_ASSERT(t != 0);
    t->lower = nullptr;
    t->upper = nullptr;
}

void layer_set_upper(layer* t, layer* l)
{
    t->upper = l;
}

void layer_set_lower(layer* t, layer* l)
{
    t->lower = l;
}

layer* layer_upper(layer* t)
{
    return t->upper;
}

layer* layer_lower(layer* t)
{
    return t->lower;
}
