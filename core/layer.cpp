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
