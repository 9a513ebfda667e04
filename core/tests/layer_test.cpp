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

TEST(layer_death, init_of_null_fails)
{
    EXPECT_DEATH(layer_init(nullptr), "t != 0");
}

}  // namespace
