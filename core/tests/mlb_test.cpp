#include "mlb.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

struct regions {
    int32_t hdr_off, hdr_len, data_off, data_len, tlr_off, tlr_len;
    bool operator==(const regions&) const = default;
};

regions regions_of(const mlb* t)
{
    return {t->hdr_off, t->hdr_len, t->data_off, t->data_len, t->tlr_off, t->tlr_len};
}

uint8_t* storage(mlb* t)
{
    return reinterpret_cast<uint8_t*>(t + 1);
}

// One row of a worked example: the call, the regions after it, the pointer it
// returned as an offset into the storage (-1: returns nothing), mlb_len after.
struct step {
    std::string call;
    std::function<uint8_t*(mlb*)> run;
    regions after;
    int32_t returned;
    int32_t len;
};

std::function<uint8_t*(mlb*)> none(void (*f)(mlb*, int32_t, int32_t), int32_t a, int32_t b)
{
    return [=](mlb* t) { f(t, a, b); return nullptr; };
}

std::function<uint8_t*(mlb*)> none(void (*f)(mlb*, int32_t), int32_t a)
{
    return [=](mlb* t) { f(t, a); return nullptr; };
}

std::function<uint8_t*(mlb*)> ptr(uint8_t* (*f)(mlb*, int32_t), int32_t a)
{
    return [=](mlb* t) { return f(t, a); };
}

void run_steps(const std::vector<step>& steps)
{
    mlb* t = mlb_alloc(10000);
    for (const step& s : steps) {
        SCOPED_TRACE(s.call);
        uint8_t* p = s.run(t);
        EXPECT_EQ(regions_of(t), s.after);
        if (s.returned >= 0) {
            EXPECT_EQ(p, storage(t) + s.returned);
        }
        EXPECT_EQ(mlb_len(t), s.len);
    }
    std::free(t);
}

void PrintTo(const regions& r, std::ostream* os)
{
    *os << "hdr(" << r.hdr_off << "," << r.hdr_len << ") data(" << r.data_off << "," << r.data_len
        << ") tlr(" << r.tlr_off << "," << r.tlr_len << ")";
}

}  // namespace

TEST(mlb, building_an_erase_command_in_tagged_framing)
{
    run_steps({
        {"mlb_reset(t, 0, 12)", none(mlb_reset, 0, 12), {12, 0, 12, 0, 12, 0}, -1, 0},
        {"mlb_push_tlr(t, 8)", ptr(mlb_push_tlr, 8), {12, 0, 12, 0, 12, 8}, 12, 8},
        {"mlb_push_tlr(t, 4)", ptr(mlb_push_tlr, 4), {12, 0, 12, 8, 20, 4}, 20, 12},
        {"mlb_push_tlr(t, 4)", ptr(mlb_push_tlr, 4), {12, 0, 12, 12, 24, 4}, 24, 16},
        {"mlb_push_hdr(t, 0)", ptr(mlb_push_hdr, 0), {12, 0, 12, 12, 24, 4}, 12, 16},
        {"mlb_push_tlr(t, 4)", ptr(mlb_push_tlr, 4), {12, 0, 12, 16, 28, 4}, 28, 20},
        {"mlb_push_hdr(t, 8)", ptr(mlb_push_hdr, 8), {4, 8, 12, 16, 28, 4}, 4, 28},
    });
}

TEST(mlb, peeling_the_reply)
{
    run_steps({
        {"mlb_reset(t, 10000, 0)", none(mlb_reset, 10000, 0), {0, 0, 0, 10000, 10000, 0}, -1, 10000},
        {"mlb_reset(t, 28, 0)", none(mlb_reset, 28, 0), {0, 0, 0, 28, 28, 0}, -1, 28},
        {"mlb_pull_tlr(t, 4)", none(mlb_pull_tlr, 4), {0, 0, 0, 24, 24, 4}, -1, 28},
        {"mlb_pull_hdr(t, 8)", none(mlb_pull_hdr, 8), {0, 8, 8, 16, 24, 4}, -1, 28},
        {"mlb_pull_hdr(t, 0)", none(mlb_pull_hdr, 0), {8, 0, 8, 16, 24, 4}, -1, 20},
        {"mlb_pull_tlr(t, 0)", none(mlb_pull_tlr, 0), {8, 0, 8, 16, 24, 0}, -1, 16},
    });
}

TEST(mlb, fresh_buffer_is_an_empty_zeroed_message_at_offset_0)
{
    mlb* t = mlb_alloc(10000);
    EXPECT_EQ(regions_of(t), (regions{0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(t->cap, 10000);
    EXPECT_EQ(mlb_len(t), 0);
    EXPECT_EQ(mlb_hdr(t), storage(t));
    EXPECT_EQ(mlb_data(t), storage(t));
    EXPECT_EQ(mlb_tlr(t), storage(t));
    EXPECT_EQ(mlb_data_off(t), 0);
    std::vector<uint8_t> zeros(10000, 0);
    EXPECT_EQ(std::memcmp(storage(t), zeros.data(), zeros.size()), 0);
    std::free(t);
}

struct reset_case {
    int32_t size, headroom;
    regions after;
};

class mlb_reset_cases : public testing::TestWithParam<reset_case> {};

TEST_P(mlb_reset_cases, gives_the_regions)
{
    mlb* t = mlb_alloc(10000);
    mlb_push_tlr(t, 30);  // something to be replaced
    mlb_reset(t, GetParam().size, GetParam().headroom);
    EXPECT_EQ(regions_of(t), GetParam().after);
    EXPECT_EQ(mlb_len(t), GetParam().after.data_len);
    std::free(t);
}

INSTANTIATE_TEST_SUITE_P(mlb, mlb_reset_cases,
                         testing::Values(reset_case{0, 12, {12, 0, 12, 0, 12, 0}},
                                         reset_case{-1, 0, {0, 0, 0, 10000, 10000, 0}},
                                         reset_case{-7, 12, {12, 0, 12, 9988, 10000, 0}},
                                         reset_case{-2147483647 - 1, 12, {12, 0, 12, 9988, 10000, 0}},
                                         reset_case{28, 0, {0, 0, 0, 28, 28, 0}},
                                         reset_case{10000, 0, {0, 0, 0, 10000, 10000, 0}}));

TEST(mlb, reset_keeps_the_bytes_of_the_earlier_message)
{
    mlb* t = mlb_alloc(64);
    mlb_reset(t, 0, 0);
    std::memcpy(mlb_push_tlr(t, 4), "ABCD", 4);
    mlb_reset(t, 0, 0);
    EXPECT_EQ(mlb_len(t), 0);
    EXPECT_EQ(std::memcmp(mlb_push_tlr(t, 4), "ABCD", 4), 0);
    std::free(t);
}

TEST(mlb, push_hdr_of_zero)
{
    mlb* t = mlb_alloc(64);
    mlb_reset(t, 5, 10);
    EXPECT_EQ(mlb_push_hdr(t, 0), storage(t) + 10);  // empty header: nothing changes
    EXPECT_EQ(regions_of(t), (regions{10, 0, 10, 5, 15, 0}));

    mlb_push_hdr(t, 2);
    ASSERT_EQ(mlb_len(t), 7);
    mlb_push_hdr(t, 0);  // a 2-byte header joins the data
    EXPECT_EQ(regions_of(t), (regions{8, 0, 8, 7, 15, 0}));
    EXPECT_EQ(mlb_len(t), 7);
    std::free(t);
}

TEST(mlb, pulls_of_zero_leave_exactly_the_data)
{
    mlb* t = mlb_alloc(64);
    mlb_reset(t, 20, 0);
    mlb_pull_tlr(t, 4);
    mlb_pull_hdr(t, 8);
    mlb_pull_hdr(t, 0);
    mlb_pull_tlr(t, 0);
    EXPECT_EQ(mlb_len(t), t->data_len);
    EXPECT_EQ(mlb_len(t), 8);
    std::free(t);
}

TEST(mlb, pull_of_more_than_the_data_leaves_a_negative_length)
{
    mlb* t = mlb_alloc(64);
    mlb_reset(t, 5, 0);
    mlb_pull_hdr(t, 8);
    EXPECT_EQ(t->data_len, -3);
    EXPECT_EQ(t->data_off, 8);
    EXPECT_EQ(mlb_len(t), 5);
    std::free(t);
}

TEST(mlb, len_counts_header_and_trailer)
{
    mlb* t = mlb_alloc(64);
    mlb_reset(t, 28, 0);
    mlb_pull_tlr(t, 4);
    EXPECT_EQ(mlb_len(t), 28);
    std::free(t);
}

TEST(mlb, storage_never_moves)
{
    mlb* t = mlb_alloc(100);
    uint8_t* first = mlb_data(t);
    mlb_reset(t, 50, 30);
    mlb_pull_hdr(t, 10);
    mlb_reset(t, 0, 0);
    EXPECT_EQ(mlb_data(t), first);
    std::free(t);
}

using mlb_death = testing::Test;

TEST(mlb_death, header_pushed_beyond_the_headroom_fails_check)
{
    mlb* t = mlb_alloc(64);
    mlb_reset(t, 0, 4);
    EXPECT_DEATH(mlb_push_hdr(t, 8), "check\\(t\\)");
    std::free(t);
}

TEST(mlb_death, trailer_pulled_in_front_of_the_storage_fails_check)
{
    mlb* t = mlb_alloc(64);
    mlb_reset(t, 2, 0);
    EXPECT_DEATH(mlb_pull_tlr(t, 4), "check\\(t\\)");
    std::free(t);
}

TEST(mlb_death, accessors_test_before_they_read)
{
    mlb* t = mlb_alloc(64);
    t->hdr_off = -1;
    EXPECT_DEATH(mlb_hdr(t), "check\\(t\\)");
    EXPECT_DEATH(mlb_data(t), "check\\(t\\)");
    EXPECT_DEATH(mlb_data_off(t), "check\\(t\\)");
    EXPECT_DEATH(mlb_tlr(t), "check\\(t\\)");
    EXPECT_DEATH(mlb_len(t), "check\\(t\\)");
    std::free(t);
}

TEST(mlb_death, reset_of_null_fails)
{
    EXPECT_DEATH(mlb_reset(nullptr, 0, 0), "t != 0");
}

TEST(mlb_death, region_past_the_capacity_fails)
{
    mlb* t = mlb_alloc(64);
    mlb_reset(t, 60, 0);
    EXPECT_DEATH(mlb_push_tlr(t, 5), "within_cap\\(t\\)");
    mlb_reset(t, 64, 0);
    EXPECT_EQ(mlb_len(t), 64);  // ending exactly at the capacity is fine
    mlb_reset(t, 65, 0);
    EXPECT_DEATH(mlb_len(t), "within_cap\\(t\\)");
    mlb_reset(t, 10, 60);
    EXPECT_DEATH(mlb_pull_hdr(t, 2), "within_cap\\(t\\)");
    std::free(t);
}

TEST(mlb_death, failure_names_file_and_line)
{
    mlb* t = mlb_alloc(8);
    mlb_reset(t, 0, 0);
    EXPECT_DEATH(mlb_push_hdr(t, 1), "Assertion failed: check\\(t\\), file .*mlb\\.cpp, line ");
    std::free(t);
}
