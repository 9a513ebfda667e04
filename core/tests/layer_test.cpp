#include "layer.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

void noop(layer*, mlb*) {}

TEST(layer, alloc_gives_a_zeroed_record)
{
    layer* t = layer_alloc();
    EXPECT_EQ(t->tx, nullptr);
    EXPECT_EQ(t->rx, nullptr);
    EXPECT_EQ(t->lower, nullptr);
    EXPECT_EQ(t->upper, nullptr);
    EXPECT_EQ(t->p_, nullptr);
    std::free(t);
}

TEST(layer, record_holds_five_fields_in_order)
{
    EXPECT_EQ(offsetof(layer, tx), 0 * sizeof(void*));
    EXPECT_EQ(offsetof(layer, rx), 1 * sizeof(void*));
    EXPECT_EQ(offsetof(layer, lower), 2 * sizeof(void*));
    EXPECT_EQ(offsetof(layer, upper), 3 * sizeof(void*));
    EXPECT_EQ(offsetof(layer, p_), 4 * sizeof(void*));
}

TEST(layer, init_clears_the_links_and_keeps_handlers_and_state)
{
    layer a{}, b{};
    int state = 0;
    layer t{noop, noop, &a, &b, &state};
    layer_init(&t);
    EXPECT_EQ(t.lower, nullptr);
    EXPECT_EQ(t.upper, nullptr);
    EXPECT_EQ(t.tx, noop);
    EXPECT_EQ(t.rx, noop);
    EXPECT_EQ(t.p_, &state);
}

TEST(layer, link_operations_set_and_read)
{
    layer t{}, a{}, b{};
    layer_set_upper(&t, &a);
    layer_set_lower(&t, &b);
    EXPECT_EQ(layer_upper(&t), &a);
    EXPECT_EQ(layer_lower(&t), &b);
    layer_set_upper(&t, nullptr);
    EXPECT_EQ(layer_upper(&t), nullptr);
    EXPECT_EQ(layer_lower(&t), &b);
}

TEST(layer_death, init_of_null_fails)
{
    EXPECT_DEATH(layer_init(nullptr), "t != 0");
}

}  // namespace
