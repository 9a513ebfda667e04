#include "plm.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "layer.h"

namespace {

// Every handler call is logged by the name kept in the layer's p_.
std::vector<std::string> calls;

void log_tx(layer* t, mlb*)
{
    calls.push_back(std::string("tx ") + static_cast<const char*>(t->p_));
}

void log_rx(layer* t, mlb*)
{
    calls.push_back(std::string("rx ") + static_cast<const char*>(t->p_));
}

struct plm_fixture : testing::Test {
    plm stack{};
    layer a{log_tx, log_rx, nullptr, nullptr, const_cast<char*>("a")};
    layer b{log_tx, log_rx, nullptr, nullptr, const_cast<char*>("b")};
    layer c{log_tx, log_rx, nullptr, nullptr, const_cast<char*>("c")};
    layer n{log_tx, log_rx, nullptr, nullptr, const_cast<char*>("n")};

    void SetUp() override { calls.clear(); }

    // Walks the chain from top, checking both directions of every link.
    std::vector<const layer*> chain()
    {
        std::vector<const layer*> out;
        const layer* above = nullptr;
        for (const layer* l = stack.top; l; l = l->lower) {
            EXPECT_EQ(l->upper, above);
            out.push_back(l);
            above = l;
        }
        EXPECT_EQ(stack.bottom, above);
        return out;
    }

    void build_abc()
    {
        plm_insert(&stack, &a, PLM_TOP, nullptr);
        plm_insert(&stack, &b, PLM_BELOW, &a);
        plm_insert(&stack, &c, PLM_BELOW, &b);
    }
};

using chain_t = std::vector<const layer*>;

TEST_F(plm_fixture, alloc_gives_an_empty_stack)
{
    plm* t = plm_alloc();
    EXPECT_EQ(t->top, nullptr);
    EXPECT_EQ(t->bottom, nullptr);
    std::free(t);
}

TEST_F(plm_fixture, empty_stack_paths_call_nothing)
{
    plm_tx(&stack, nullptr);
    plm_rx(&stack, nullptr);
    EXPECT_TRUE(calls.empty());
}

class plm_first_insert : public plm_fixture, public testing::WithParamInterface<int> {};

TEST_P(plm_first_insert, makes_the_layer_top_and_bottom_whatever_the_position)
{
    n.lower = &a;  // links carried in are discarded
    n.upper = &b;
    plm_insert(&stack, &n, GetParam(), nullptr);
    EXPECT_EQ(stack.top, &n);
    EXPECT_EQ(stack.bottom, &n);
    EXPECT_EQ(n.lower, nullptr);
    EXPECT_EQ(n.upper, nullptr);
}

INSTANTIATE_TEST_SUITE_P(plm, plm_first_insert, testing::Values(PLM_TOP, PLM_BELOW, 1, 3, -1));

TEST_F(plm_fixture, the_applications_three_inserts)
{
    build_abc();
    EXPECT_EQ(stack.top, &a);
    EXPECT_EQ(stack.bottom, &c);
    EXPECT_EQ(a.upper, nullptr);
    EXPECT_EQ(a.lower, &b);
    EXPECT_EQ(b.upper, &a);
    EXPECT_EQ(b.lower, &c);
    EXPECT_EQ(c.upper, &b);
    EXPECT_EQ(c.lower, nullptr);

    plm_tx(&stack, nullptr);
    plm_rx(&stack, nullptr);
    EXPECT_EQ(calls, (std::vector<std::string>{"tx a", "rx c"}));
}

struct insert_case {
    const char* name;
    int position;
    int existing;  // index into {a, b, c}, or -1 for null
    std::vector<int> order;  // resulting chain top to bottom; 3 stands for n
};

class plm_insert_cases : public plm_fixture, public testing::WithParamInterface<insert_case> {};

TEST_P(plm_insert_cases, links_the_layer_in)
{
    build_abc();
    layer* by_index[] = {&a, &b, &c, &n};
    const insert_case& k = GetParam();
    n.lower = &b;  // stale links that the insert must discard
    n.upper = &c;
    plm_insert(&stack, &n, k.position, k.existing < 0 ? nullptr : by_index[k.existing]);
    chain_t expected;
    for (int i : k.order)
        expected.push_back(by_index[i]);
    EXPECT_EQ(chain(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    plm, plm_insert_cases,
    testing::Values(insert_case{"top", PLM_TOP, -1, {3, 0, 1, 2}},
                    insert_case{"below_top", PLM_BELOW, 0, {0, 3, 1, 2}},
                    insert_case{"below_middle", PLM_BELOW, 1, {0, 1, 3, 2}},
                    insert_case{"below_bottom", PLM_BELOW, 2, {0, 1, 2, 3}}),
    [](const testing::TestParamInfo<insert_case>& i) { return std::string(i.param.name); });

class plm_unknown_position : public plm_fixture, public testing::WithParamInterface<int> {};

TEST_P(plm_unknown_position, leaves_the_stack_and_clears_the_layers_links)
{
    build_abc();
    n.lower = &b;
    n.upper = &a;
    plm_insert(&stack, &n, GetParam(), &b);
    EXPECT_EQ(chain(), (chain_t{&a, &b, &c}));
    EXPECT_EQ(n.lower, nullptr);
    EXPECT_EQ(n.upper, nullptr);
}

INSTANTIATE_TEST_SUITE_P(plm, plm_unknown_position, testing::Values(1, 3, -1, 1000));

using plm_death = plm_fixture;

TEST_F(plm_death, existing_given_to_an_empty_stack_fails_whatever_the_position)
{
    for (int position : {PLM_TOP, PLM_BELOW}) {
        plm empty{};
        EXPECT_DEATH(plm_insert(&empty, &n, position, &a), "existing == 0");
    }
}

TEST_F(plm_death, existing_with_top_on_a_non_empty_stack_fails)
{
    build_abc();
    EXPECT_DEATH(plm_insert(&stack, &n, PLM_TOP, &b), "existing == 0");
}

TEST_F(plm_death, below_without_existing_fails)
{
    build_abc();
    EXPECT_DEATH(plm_insert(&stack, &n, PLM_BELOW, nullptr), "existing != 0");
}

}  // namespace
